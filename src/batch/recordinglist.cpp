#include "recordinglist.h"

#include "wav/format/reading.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <algorithm>
#include <cerrno>

QString readRecordingList(const QString &listPath, QStringList &recordings)
{
    QFile list(listPath);
    const auto failed = [&](const QString &reason) {
        return QStringLiteral("Could not read the list %1: %2").arg(listPath, reason);
    };
    if (QFileInfo(listPath).isDir())
        return failed(wavformat::systemReason(EISDIR));
    if (!list.open(QIODevice::ReadOnly)) {
        const QString lookup = wavformat::lookupFailure(listPath);
        return failed(lookup.isEmpty() ? list.errorString() : lookup);
    }
    const QByteArray bytes = list.readAll();
    if (list.error() != QFileDevice::NoError)
        return failed(list.errorString());

    // The folder without symbolic links, so that a list reached through a
    // link names its recordings the same way every time.
    const QString absolute = QFileInfo(listPath).absolutePath();
    const QString canonical = QFileInfo(absolute).canonicalFilePath();
    const QDir folder(canonical.isEmpty() ? absolute : canonical);
    for (QByteArray line : bytes.split('\n')) {
        if (line.endsWith('\r'))
            line.chop(1);
        const QByteArray trimmed = line.trimmed();
        if (trimmed.isEmpty() || trimmed.startsWith('#'))
            continue;
        const QString path = QFile::decodeName(line);
        recordings.append(QDir::isRelativePath(path) ? folder.filePath(path) : path);
    }
    return QString();
}

bool parseShard(const QString &text, Shard &shard)
{
    const QStringList parts = text.split('/');
    if (parts.size() != 2)
        return false;
    bool indexOk = false;
    bool countOk = false;
    // Digits only: toInt would also take signs and surrounding blanks.
    const auto digits = [](const QString &s) {
        return !s.isEmpty()
               && std::all_of(s.begin(), s.end(), [](QChar c) { return c >= '0' && c <= '9'; });
    };
    const int index = parts[0].toInt(&indexOk);
    const int count = parts[1].toInt(&countOk);
    if (!digits(parts[0]) || !digits(parts[1]) || !indexOk || !countOk || count < 1
        || index >= count)
        return false;
    shard.index = index;
    shard.count = count;
    return true;
}

QStringList shardOf(const QStringList &recordings, const Shard &shard)
{
    QStringList share;
    for (int i = shard.index; i < recordings.size(); i += shard.count)
        share.append(recordings[i]);
    return share;
}

bool resultsUpToDate(const QString &recording, const BatchOptions &options)
{
    const QFileInfo source(recording);
    if (!source.isFile())
        return false;
    QDateTime inputs = source.lastModified();
    if (options.draw) {
        const QFileInfo marker(options.marker);
        if (!marker.isFile())
            return false;
        inputs = std::max(inputs, marker.lastModified());
    }
    for (const QString &file : batchResultNames(recording, options)) {
        const QFileInfo result(file);
        if (!result.isFile() || result.lastModified() <= inputs)
            return false;
    }
    return true;
}

BatchResult runUnlessDone(const QString &recording, const BatchOptions &options)
{
    if (!options.skipDone || !resultsUpToDate(recording, options))
        return runBatchJob(recording, options);
    BatchResult result;
    result.path = recording;
    result.skipped = true;
    return result;
}
