#include "resultfile.h"

#include "wav/results/resultfiles.h"
#include "wav/results/names.h"

#include <QDir>
#include <QFileInfo>
#include <QRandomGenerator>

#include <cerrno>
#include <cstring>

#ifdef Q_OS_WIN
#include <windows.h>
#else
#include <cstdio>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace resultfiles {

namespace {

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

ResultFile::ResultFile(const QString &name) : resultName(name), target(resolved(name)) {}

bool ResultFile::start()
{
    // The placeholder is the last "XXXXXX" of the template, so a result
    // name that holds one keeps it.
    setFileTemplate(target + QStringLiteral(".XXXXXX"));
    setAutoRemove(true);
    return open();
}

QString ResultFile::errorText(int writeErrno) const
{
    return couldNotWrite(resultName, writeFailure(*this, writeErrno));
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
