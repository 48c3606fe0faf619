#include "recordinglist.h"

#include "batch/numbers.h"
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
    const auto couldNotRead = [&listPath](const QString &reason) {
        return QStringLiteral("Could not read the list %1: %2").arg(listPath, reason);
    };
    if (QFileInfo(listPath).isDir())
        return couldNotRead(wavformat::systemReason(EISDIR));
    if (!list.open(QIODevice::ReadOnly)) {
        const QString lookup = wavformat::lookupFailure(listPath);
        return couldNotRead(lookup.isEmpty() ? list.errorString() : lookup);
    }
    QByteArray bytes = list.readAll();
    if (list.error() != QFileDevice::NoError)
        return couldNotRead(list.errorString());
    // A byte-order mark, as some editors save UTF-8, is not part of the
    // first name.
    if (bytes.startsWith("\xEF\xBB\xBF"))
        bytes.remove(0, 3);

    // The folder without symbolic links, so that a list reached through a
    // link names its recordings the same way every time.
    const QString absolute = QFileInfo(listPath).absolutePath();
    const QString canonical = QFileInfo(absolute).canonicalFilePath();
    const QDir folder(canonical.isEmpty() ? absolute : canonical);
    const QList<QByteArray> lines = bytes.split('\n');
    QStringList read;
    for (int number = 1; number <= lines.size(); ++number) {
        QByteArray line = lines[number - 1];
        // No name holds a NUL: such a line is damage, not a recording.
        if (line.contains('\0'))
            return couldNotRead(QStringLiteral("line %1 holds a NUL byte").arg(number));
        if (line.endsWith('\r'))
            line.chop(1);
        const QByteArray trimmed = line.trimmed();
        if (trimmed.isEmpty() || trimmed.startsWith('#'))
            continue;
        const QString path = QFile::decodeName(line);
        read.append(QDir::isRelativePath(path) ? folder.filePath(path) : path);
    }
    recordings += read;
    return QString();
}

bool parseShard(const QString &text, Shard &shard)
{
    const QStringList parts = text.split('/');
    Shard parsed;
    if (parts.size() != 2 || !parseWholeNumber(parts[0], parsed.index)
        || !parseWholeNumber(parts[1], parsed.count) || parsed.count < 1
        || parsed.index >= parsed.count)
        return false;
    shard = parsed;
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
