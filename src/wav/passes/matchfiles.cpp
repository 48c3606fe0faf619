#include "matchfiles.h"

#include <QAudioFormat>

namespace matchfiles {

namespace {

QByteArray bytesOf(const std::string &text)
{
    return QByteArray(text.data(), static_cast<int>(text.size()));
}

} // namespace

QString matchesName(const QString &baseName)
{
    return baseName + QStringLiteral("_matches.csv");
}

QString labelsName(const QString &baseName)
{
    return baseName + QStringLiteral("_labels.txt");
}

dsp::matches::Placement placement(const QAudioFormat &format, qint64 headerBytes)
{
    dsp::matches::Placement p;
    p.headerBytes = headerBytes;
    p.channels = format.channelCount() > 0 ? format.channelCount() : 1;
    return p;
}

QByteArray csv(const dsp::matches::BlockStore &blocks, const dsp::matches::Threshold &threshold,
               const dsp::matches::Placement &placement)
{
    return bytesOf(dsp::matches::csv(dsp::matches::find(blocks, threshold), placement));
}

QByteArray labels(const dsp::matches::BlockStore &blocks,
                  const dsp::matches::Threshold &threshold,
                  const dsp::matches::Placement &placement)
{
    return bytesOf(dsp::matches::labels(dsp::matches::find(blocks, threshold), placement));
}

QString parseValue(const QString &text, dsp::matches::Statistic by, double &value)
{
    return QString::fromStdString(dsp::matches::parseThreshold(text.toStdString(), by, value));
}

} // namespace matchfiles
