#include "fileops.h"

#include "wav/format/reading.h"

#include <QDir>
#include <QFile>
#include <QFileDevice>

#include <cerrno>
#include <cstdio>

#ifdef Q_OS_WIN
#include <windows.h>
#else
#include <fcntl.h>
#include <unistd.h>
#endif

namespace resultfiles::fileops {

namespace {

#ifdef Q_OS_WIN
const wchar_t *wide(const QString &native)
{
    return reinterpret_cast<const wchar_t *>(native.utf16());
}

bool answer(bool ok, QString &reason)
{
    if (!ok)
        reason = qt_error_string(int(GetLastError()));
    return ok;
}
#else
bool answer(bool ok, QString &reason)
{
    if (!ok)
        reason = wavformat::systemReason(errno);
    return ok;
}
#endif

} // namespace

bool rename(const QString &from, const QString &to, QString &reason)
{
#ifdef Q_OS_WIN
    const QString source = QDir::toNativeSeparators(from);
    const QString target = QDir::toNativeSeparators(to);
    return answer(MoveFileExW(wide(source), wide(target),
                              MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH),
                  reason);
#else
    return answer(std::rename(QFile::encodeName(from).constData(),
                              QFile::encodeName(to).constData())
                      == 0,
                  reason);
#endif
}

bool link(const QString &from, const QString &to, QString &reason)
{
#ifdef Q_OS_WIN
    // A second name of a file that another program holds open without
    // delete sharing could not be removed again: on Windows the earlier
    // result moves aside instead, which fails at once for such a file.
    Q_UNUSED(from)
    Q_UNUSED(to)
    reason = QStringLiteral("no second names here");
    return false;
#else
    return answer(::link(QFile::encodeName(from).constData(), QFile::encodeName(to).constData())
                      == 0,
                  reason);
#endif
}

bool remove(const QString &path, QString &reason)
{
#ifdef Q_OS_WIN
    const QString native = QDir::toNativeSeparators(path);
    return DeleteFileW(wide(native)) || GetLastError() == ERROR_FILE_NOT_FOUND
           || answer(false, reason);
#else
    return ::unlink(QFile::encodeName(path).constData()) == 0 || errno == ENOENT
           || answer(false, reason);
#endif
}

bool syncFile(QFileDevice &file, QString &reason)
{
#ifdef Q_OS_WIN
    // The toolkit's handle is no system handle; the file is opened again.
    return syncNamed(file.fileName(), reason);
#else
    return answer(::fsync(file.handle()) == 0, reason);
#endif
}

QString syncName(QFileDevice &file)
{
#if defined(Q_OS_WIN)
    return file.fileName();
#elif defined(Q_OS_LINUX)
    // The descriptor's own entry opens an unnamed temporary file too.
    return QStringLiteral("/proc/self/fd/%1").arg(file.handle());
#else
    Q_UNUSED(file)
    return QString();
#endif
}

bool syncNamed(const QString &name, QString &reason)
{
#ifdef Q_OS_WIN
    const QString native = QDir::toNativeSeparators(name);
    const HANDLE handle =
        CreateFileW(wide(native), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                    nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE)
        return answer(false, reason);
    const bool ok = answer(FlushFileBuffers(handle), reason);
    CloseHandle(handle);
    return ok;
#else
    // A descriptor of its own: an error it is told of is still told to the
    // writer's descriptor when that one is synced.
    const int fd = ::open(QFile::encodeName(name).constData(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return answer(false, reason);
#ifdef Q_OS_LINUX
    const bool ok = answer(::fdatasync(fd) == 0, reason);
#else
    const bool ok = answer(::fsync(fd) == 0, reason);
#endif
    ::close(fd);
    return ok;
#endif
}

bool syncFolder(const QString &folder, QString &reason)
{
#ifdef Q_OS_WIN
    Q_UNUSED(folder)
    Q_UNUSED(reason)
    return true;
#else
    const int fd = ::open(QFile::encodeName(folder).constData(), O_RDONLY | O_DIRECTORY);
    if (fd < 0)
        return answer(false, reason);
    const bool ok = answer(::fsync(fd) == 0, reason);
    ::close(fd);
    return ok;
#endif
}

bool writeSynced(const QString &path, const QByteArray &bytes, QString &reason)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::NewOnly) || file.write(bytes) != bytes.size()
        || !file.flush()) {
        reason = file.errorString();
        return false;
    }
    return syncFile(file, reason);
}

} // namespace resultfiles::fileops
