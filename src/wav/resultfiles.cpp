#include "resultfiles.h"

#include <QDir>
#include <QFileInfo>
#include <QHash>
#include <QRandomGenerator>
#include <QSet>

#include <cerrno>
#include <cstring>

#ifdef Q_OS_WIN
#include <windows.h>
#else
#include <cstdio>
#include <sys/stat.h>
#include <unistd.h>
#endif
#ifdef Q_OS_LINUX
#include <fcntl.h>
#endif

namespace resultfiles {

namespace {

/// The longest file name the file systems we write to take: 255 bytes on
/// POSIX systems, 255 UTF-16 units on Windows.
constexpr int kNameMax = 255;
/// What a temporary name adds to the result's: "." and six characters.
constexpr int kTemporarySuffix = 7;

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

#ifdef Q_OS_UNIX
/// The process's file creation mask, read once (reading it means setting it).
mode_t creationMask()
{
    static const mode_t mask = [] {
        const mode_t m = ::umask(022);
        ::umask(m);
        return m;
    }();
    return mask;
}
#endif

#ifdef Q_OS_WIN
/// Renames a closed temporary file to another temporary name beside it (of
/// the leftovers' form), which really closes its handle.
bool closeForGood(QTemporaryFile &file)
{
    const QString stem = file.fileName().chopped(kTemporarySuffix - 1);
    static const char letters[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
    for (int attempt = 0; attempt < 16; ++attempt) {
        QString name = stem;
        for (int i = 1; i < kTemporarySuffix; ++i)
            name += QLatin1Char(letters[QRandomGenerator::global()->bounded(62)]);
        if (!QFileInfo::exists(name) && file.rename(name))
            return true;
    }
    return false;
}
#endif

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

bool isRegular(const QString &path)
{
#ifdef Q_OS_WIN
    return QFileInfo(path).isFile();
#else
    struct stat st;
    return ::stat(QFile::encodeName(path).constData(), &st) == 0 && S_ISREG(st.st_mode);
#endif
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
        return QString();
    if (target.isDir())
        return refuse(QStringLiteral("it is a folder"));
    if (!isRegular(target.filePath()))
        return refuse(QStringLiteral("not a regular file"));
    const QString key = identity(result);
    for (const QString &input : inputs)
        if (!input.isEmpty() && identity(input) == key)
            return refuse(QStringLiteral("it is the same file as %1").arg(input));
    return QString();
}

QString writeFailure(QIODevice &device)
{
    auto *file = qobject_cast<QFileDevice *>(&device);
    if (file && file->isOpen() && file->error() == QFileDevice::NoError) {
        file->write("", 1);
        file->flush();
    }
    return device.errorString();
}

QString couldNotWrite(const QString &name, const QString &reason)
{
    return QStringLiteral("Could not write %1: %2").arg(name, reason);
}

int removeLeftovers(const QStringList &results)
{
    // Per folder, the names whose leftovers go.
    QHash<QString, QSet<QString>> names;
    for (const QString &result : results) {
        const QFileInfo target(resolved(result));
        names[target.absolutePath()].insert(nameKey(target.fileName()));
    }
    int removed = 0;
    for (auto folder = names.cbegin(); folder != names.cend(); ++folder) {
        const QDir dir(folder.key());
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

ResultFile::ResultFile(const QString &name) : resultName(name), target(resolved(name)) {}

bool ResultFile::start()
{
    // The placeholder is the last "XXXXXX" of the template, so a result
    // name that holds one keeps it.
    setFileTemplate(target + QStringLiteral(".XXXXXX"));
    setAutoRemove(true);
    return open();
}

QString ResultFile::errorText()
{
    return couldNotWrite(resultName, writeFailure(*this));
}

QString commitAll(const std::vector<ResultFile *> &files)
{
    for (ResultFile *file : files) {
        if (!file->isOpen() || !file->flush())
            return file->errorText();
    }
    for (ResultFile *file : files) {
#ifndef Q_OS_WIN
        const QString temporary = file->fileName();
#endif
        // The permissions an earlier result had, else those a new file gets.
#ifdef Q_OS_UNIX
        struct stat st;
        const bool present = ::stat(QFile::encodeName(file->target).constData(), &st) == 0;
        ::fchmod(file->handle(), present ? st.st_mode & 07777 : 0666 & ~creationMask());
#else
        const QFileInfo existing(file->target);
        if (existing.exists())
            file->setPermissions(existing.permissions());
#endif
        file->close();
#ifdef Q_OS_WIN
        // A temporary file's close() keeps its handle open, and Windows moves
        // no file that is open without delete sharing. Renaming the temporary
        // file to a fresh temporary name closes the handle for good.
        if (!closeForGood(*file))
            return file->errorText();
        const QString temporary = file->fileName();
        const bool moved = MoveFileExW(
            reinterpret_cast<const wchar_t *>(QDir::toNativeSeparators(temporary).utf16()),
            reinterpret_cast<const wchar_t *>(QDir::toNativeSeparators(file->target).utf16()),
            MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH);
        const QString reason = moved ? QString() : qt_error_string(int(GetLastError()));
#else
        const bool moved = std::rename(QFile::encodeName(temporary).constData(),
                                       QFile::encodeName(file->target).constData())
                           == 0;
        const QString reason = moved ? QString() : QString::fromLocal8Bit(std::strerror(errno));
#endif
        if (!moved)
            return couldNotWrite(file->resultName, reason);
        file->setAutoRemove(false);
    }
    return QString();
}

} // namespace resultfiles
