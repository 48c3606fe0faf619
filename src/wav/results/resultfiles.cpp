#include "resultfiles.h"

#include "wav/format/reading.h"
#include "wav/results/journal.h"
#include "wav/results/names.h"
#include "wav/results/resultfile.h"

#include <QDir>
#include <QFileInfo>
#include <QHash>
#include <QSet>

#include <cerrno>
#include <csignal>

#ifndef Q_OS_WIN
#include <sys/stat.h>
#include <sys/statvfs.h>
#endif
#ifdef Q_OS_LINUX
#include <fcntl.h>
#endif

namespace resultfiles {

namespace {

/// The longest file name the file systems we write to take: 255 bytes on
/// POSIX systems, 255 UTF-16 units on Windows.
constexpr int kNameMax = 255;

int nameLength(const QString &fileName)
{
#ifdef Q_OS_WIN
    return fileName.size();
#else
    return QFile::encodeName(fileName).size();
#endif
}

bool isLeftoverSuffix(const QStringRef &suffix)
{
    if (suffix.size() != kTemporarySuffix || suffix.at(0) != QLatin1Char('.'))
        return false;
    for (int i = 1; i < suffix.size(); ++i) {
        const ushort c = suffix.at(i).unicode();
        if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')))
            return false;
    }
    return true;
}

/// The key of a file name within its folder: case-blind where the file
/// system is.
QString nameKey(const QString &fileName)
{
#ifdef Q_OS_WIN
    return fileName.toLower();
#else
    return fileName;
#endif
}

} // namespace

QString resolved(const QString &path)
{
    QFileInfo info(path);
    // As the toolkit's own save file does: follow the chain, give up on a
    // loop.
    for (int depth = 128; depth > 0 && info.isSymLink(); --depth)
        info.setFile(info.symLinkTarget());
    return info.isSymLink() ? path : info.filePath();
}

QString identity(const QString &path)
{
    const QFileInfo info(resolved(path));
#ifndef Q_OS_WIN
    struct stat st;
    if (::stat(QFile::encodeName(info.filePath()).constData(), &st) == 0)
        return QStringLiteral("%1:%2").arg(qulonglong(st.st_dev)).arg(qulonglong(st.st_ino));
#endif
    if (info.exists())
        return nameKey(info.canonicalFilePath());
    const QString folder = QFileInfo(info.absolutePath()).canonicalFilePath();
    return nameKey((folder.isEmpty() ? info.absolutePath() : folder) + QLatin1Char('/')
                   + info.fileName());
}

QString refusal(const QString &result, const QStringList &inputs)
{
    const auto refuse = [&](const QString &why) { return couldNotWrite(result, why); };
    const QFileInfo target(resolved(result));
    if (nameLength(target.fileName()) + kTemporarySuffix > kNameMax)
        return refuse(QStringLiteral("file name too long to replace safely"));
    if (target.isSymLink())
        return refuse(QStringLiteral("too many levels of links"));
    if (!target.exists())
        // A link to nothing would put the result wherever it points.
        return QFileInfo(result).isSymLink() ? refuse(QStringLiteral("it is a link to a missing file"))
                                             : QString();
    if (target.isDir())
        return refuse(QStringLiteral("it is a folder"));
    if (!isRegular(target.filePath()))
        return refuse(QStringLiteral("not a regular file"));
    const QString key = identity(result);
    for (const QString &input : inputs)
        if (!input.isEmpty() && identity(input) == key)
            return refuse(QStringLiteral("it is the same file as %1").arg(displayName(input)));
    return QString();
}

QString writeFailure(const QIODevice &device, int writeErrno)
{
    const auto *file = qobject_cast<const QFileDevice *>(&device);
    if (!file || file->error() != QFileDevice::NoError)
        return device.errorString();
    if (writeErrno != 0)
        return wavformat::systemReason(writeErrno);
#ifdef Q_OS_UNIX
    struct statvfs fs;
    if (file->handle() >= 0 && ::fstatvfs(file->handle(), &fs) == 0 && fs.f_bavail == 0)
        return wavformat::systemReason(ENOSPC);
#endif
    return QStringLiteral("the write was cut short");
}

QString couldNotWrite(const QString &name, const QString &reason)
{
    return QStringLiteral("Could not write %1: %2").arg(displayName(name), reason);
}

int removeLeftovers(const QStringList &results)
{
    finishRemovals();
    // Per folder, the names whose leftovers go.
    QHash<QString, QSet<QString>> names;
    QHash<QString, QStringList> targets;
    for (const QString &result : results) {
        const QFileInfo target(resolved(result));
        names[target.absolutePath()].insert(nameKey(target.fileName()));
        targets[target.absolutePath()] << target.absoluteFilePath();
    }
    int removed = 0;
    for (auto folder = names.cbegin(); folder != names.cend(); ++folder) {
        const QDir dir(folder.key());
        // A commit cut short is put right first: its journal says which
        // backups go back.
        journal::recover(folder.key(), targets.value(folder.key()));
        const QStringList entries =
            dir.entryList(QDir::Files | QDir::Hidden | QDir::System | QDir::NoSymLinks);
        for (const QString &entry : entries) {
            if (entry.size() <= kTemporarySuffix
                || !isLeftoverSuffix(entry.midRef(entry.size() - kTemporarySuffix))
                || !folder.value().contains(nameKey(entry.left(entry.size() - kTemporarySuffix))))
                continue;
            const QString path = dir.filePath(entry);
            if (isRegular(path) && !QFileInfo(path).isSymLink() && QFile::remove(path))
                ++removed;
        }
    }
    return removed;
}

void reportOversizeWrites()
{
#ifdef SIGXFSZ
    std::signal(SIGXFSZ, SIG_IGN);
#endif
}

void reserveSpace(QIODevice &device, qint64 bytes)
{
#ifdef Q_OS_LINUX
    auto *file = qobject_cast<QFileDevice *>(&device);
    if (file && file->handle() >= 0 && bytes > 0)
        ::fallocate(file->handle(), FALLOC_FL_KEEP_SIZE, 0, bytes); // only a hint
#else
    Q_UNUSED(device)
    Q_UNUSED(bytes)
#endif
}

} // namespace resultfiles
