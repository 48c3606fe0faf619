#include "fuzzentries.h"

#include "wav/format/header.h"
#include "wav/passes/wavfile.h"

#include <QAudioFormat>
#include <QBuffer>

#include <vector>

namespace fuzzentries {

namespace {

QByteArray view(const std::uint8_t *data, std::size_t size)
{
    return QByteArray::fromRawData(reinterpret_cast<const char *>(data), int(size));
}

/// Input bytes as a device open for reading, without a copy.
struct Input
{
    Input(const std::uint8_t *data, std::size_t size) : bytes(view(data, size)), device(&bytes)
    {
        device.open(QIODevice::ReadOnly);
    }
    QByteArray bytes;
    QBuffer device;
};

/// Checks the calls the analysis makes: columns counted from 0 without a
/// gap, then the end once, with the number of samples analysed.
class Checker : public AnalysisListener
{
public:
    void detectorColumn(int x, std::int32_t) override
    {
        if (x != detectorColumns++)
            fault = QStringLiteral("detector column %1 out of order").arg(x);
    }
    void cumulativeColumn(int x, std::int32_t, std::int32_t) override
    {
        if (x != cumulativeColumns++)
            fault = QStringLiteral("cumulative column %1 out of order").arg(x);
    }
    void finished(std::int64_t analysed, int block, int) override
    {
        ++finishedCalls;
        samples = analysed;
        if (block < -1)
            fault = QStringLiteral("peak block %1").arg(block);
    }

    int detectorColumns = 0;
    int cumulativeColumns = 0;
    int finishedCalls = 0;
    qint64 samples = -1;
    QString fault;
};

} // namespace

QString parseHeader(const std::uint8_t *data, std::size_t size)
{
    if (size > kMaxHeaderInput)
        return QString();
    Input header(data, size);
    QAudioFormat format;
    qint64 headerBytes = -1;
    const bool accepted = wavformat::parseHeader(header.device, format, headerBytes);
    if (headerBytes > qint64(size))
        return QStringLiteral("header size %1 beyond the %2 bytes").arg(headerBytes).arg(size);
    if (accepted) {
        if (headerBytes < 44 || headerBytes != header.device.pos())
            return QStringLiteral("accepted header of %1 bytes").arg(headerBytes);
        if (format.sampleRate() < -1 || format.sampleSize() < 0 || format.channelCount() < 0)
            return QStringLiteral("negative format field");
    }
    return QString();
}

QString processing(const std::uint8_t *data, std::size_t size)
{
    if (size > kMaxProcessingInput)
        return QString();
    Input recording(data, size);
    QBuffer *in = &recording.device;
    QBuffer out;
    out.open(QIODevice::WriteOnly);

    WavFile wav;
    int expected = 0;
    QString fault;
    wav.prepareFilter(in, &out);
    if (out.size() != 192)
        return QStringLiteral("lead-in of %1 bytes").arg(out.size());
    const bool ok = wav.filterSignal(in, &out, [&](int percent) {
        if (percent != expected++ || percent > 99)
            fault = QStringLiteral("progress %1 out of order").arg(percent);
    });
    if (!ok)
        return QStringLiteral("filter failed in memory: ") + wav.lastError();
    const qint64 samples = qMax<qint64>(0, qint64(size) / 4 - 48);
    if (out.size() != 192 + 4 * samples)
        return QStringLiteral("%1 bytes written for %2 samples").arg(out.size()).arg(samples);
    return fault;
}

QString analysis(const std::uint8_t *data, std::size_t size)
{
    if (size > kMaxAnalysisInput || size < 2)
        return QString();
    const std::size_t rest = size - 2;
    const std::size_t markerBytes = qMin<std::size_t>(rest, data[0] | (data[1] << 8));
    Input marker(data + 2, markerBytes);
    Input processed(data + 2 + markerBytes, rest - markerBytes);
    QBuffer frames;
    frames.open(QIODevice::WriteOnly);

    WavFile wav;
    Checker checker;
    if (!wav.analyse(&processed.device, &frames, &marker.device, checker))
        return QStringLiteral("analysis failed in memory: ") + wav.lastError();
    if (!checker.fault.isEmpty())
        return checker.fault;
    if (checker.finishedCalls != 1)
        return QStringLiteral("finished %1 times").arg(checker.finishedCalls);
    const qint64 samples = qMax<qint64>(0, processed.bytes.size() / 4 - 48);
    if (checker.samples != samples)
        return QStringLiteral("%1 samples reported for %2").arg(checker.samples).arg(samples);
    if (frames.size() != wavformat::frameBytes(processed.bytes.size()))
        return QStringLiteral("%1 frame bytes for %2 samples").arg(frames.size()).arg(samples);
    return QString();
}

QByteArray analysisInput(const QByteArray &processed, const QByteArray &marker)
{
    const int length = qMin(marker.size(), 0xFFFF);
    QByteArray input;
    input.append(char(length & 0xFF));
    input.append(char(length >> 8));
    input += marker.left(length);
    input += processed;
    return input;
}

QString run(const QByteArray &entry, const QByteArray &bytes)
{
    const auto *data = reinterpret_cast<const std::uint8_t *>(bytes.constData());
    const auto size = std::size_t(bytes.size());
    if (entry == "header")
        return parseHeader(data, size);
    if (entry == "processing")
        return processing(data, size);
    if (entry == "analysis")
        return analysis(data, size);
    return QStringLiteral("no entry named ") + QString::fromLatin1(entry);
}

} // namespace fuzzentries
