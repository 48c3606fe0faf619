#include "graph/seriessource.h"

#include "graph/rows.h"

#include <QFile>
#include <QFileInfo>
#include <QtEndian>

#include <algorithm>
#include <utility>

MemorySeries::MemorySeries(std::vector<int> x, std::vector<int> asym, std::vector<int> sym)
    : seriesX(std::move(x)),
      seriesAsym(std::move(asym)),
      seriesSym(std::move(sym))
{
}

std::int64_t MemorySeries::length() const
{
    return std::int64_t(std::min({seriesX.size(), seriesAsym.size(), seriesSym.size()}));
}

bool MemorySeries::read(std::int64_t start, int count, int *x, int *asym, int *sym)
{
    const auto from = static_cast<std::ptrdiff_t>(start);
    std::copy_n(seriesX.begin() + from, count, x);
    std::copy_n(seriesAsym.begin() + from, count, asym);
    std::copy_n(seriesSym.begin() + from, count, sym);
    return true;
}

namespace {

QDateTime modifiedTime(const QString &path)
{
    QFileInfo info(path);
    return info.exists() ? info.lastModified() : QDateTime();
}

} // namespace

ResultFileSeries::ResultFileSeries(const QString &processed, qint64 processedOffset,
                                   const QString &stereo, qint64 stereoOffset, std::int64_t samples,
                                   std::unique_ptr<QFileDevice> keep)
    : processedFile{processed, processedOffset, QFileInfo(processed).size(),
                    modifiedTime(processed)},
      stereoFile{stereo, stereoOffset, QFileInfo(stereo).size(), modifiedTime(stereo)},
      samples(samples),
      kept(std::move(keep))
{
}

ResultFileSeries::~ResultFileSeries() = default;

QByteArray ResultFileSeries::readUnchanged(const Watched &watched, qint64 at, qint64 bytes)
{
    QFile file(watched.path);
    if (!watched.modified.isValid() || !file.open(QIODevice::ReadOnly)
        || file.size() != watched.size
        || file.fileTime(QFileDevice::FileModificationTime) != watched.modified
        || !file.seek(watched.offset + at))
        return QByteArray();
    QByteArray data = file.read(bytes);
    return data.size() == bytes ? data : QByteArray();
}

bool ResultFileSeries::read(std::int64_t start, int count, int *x, int *asym, int *sym)
{
    if (count <= 0)
        return true;
    const QByteArray words = readUnchanged(processedFile, start * 4, qint64(count) * 4);
    const QByteArray frames = readUnchanged(stereoFile, start * 8, qint64(count) * 8);
    if (words.isEmpty() || frames.isEmpty())
        return false;
    DeviceSeries::toRows(words.constData(), frames.constData(), count, x, asym, sym);
    return true;
}

DeviceSeries::DeviceSeries(QIODevice *processed, qint64 processedOffset, QIODevice *stereo,
                           qint64 stereoOffset, std::int64_t samples)
    : processed(processed),
      processedOffset(processedOffset),
      stereo(stereo),
      stereoOffset(stereoOffset),
      samples(samples)
{
}

bool DeviceSeries::read(std::int64_t start, int count, int *x, int *asym, int *sym)
{
    if (count <= 0)
        return true;
    const qint64 wordBytes = qint64(count) * 4;
    if (!processed->seek(processedOffset + start * 4) || !stereo->seek(stereoOffset + start * 8))
        return false;
    const QByteArray words = processed->read(wordBytes);
    const QByteArray frames = stereo->read(wordBytes * 2);
    if (words.size() != wordBytes || frames.size() != wordBytes * 2)
        return false;
    toRows(words.constData(), frames.constData(), count, x, asym, sym);
    return true;
}

void DeviceSeries::toRows(const char *words, const char *frames, int count, int *x, int *asym,
                          int *sym)
{
    for (int i = 0; i < count; ++i) {
        x[i] = rows::series(rows::kBaselineX, qFromLittleEndian<qint32>(words + 4 * i));
        asym[i] = rows::series(rows::kBaselineAsym, qFromLittleEndian<qint32>(frames + 8 * i));
        sym[i] = rows::series(rows::kBaselineSym, qFromLittleEndian<qint32>(frames + 8 * i + 4));
    }
}
