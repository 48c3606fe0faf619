#include "reading.h"

#include "wav/format/displayname.h"

#include <QFile>
#include <QFileDevice>
#include <QVariant>

#include <cerrno>
#include <cstring>
#include <type_traits>

#ifdef Q_OS_WIN
#include <QFileInfo>
#else
#include <sys/stat.h>
#endif

namespace wavformat {

namespace {

const char *const kFailureProperty = "quorvaneReadFailure";

ReadFault &readFault()
{
    static ReadFault fault;
    return fault;
}

// strerror_r comes in two forms; each overload takes one.
[[maybe_unused]] QString fromStrerror(int result, const char *buffer)
{
    return result == 0 ? QString::fromLocal8Bit(buffer) : QString();
}
[[maybe_unused]] QString fromStrerror(const char *text, const char *)
{
    return QString::fromLocal8Bit(text);
}

} // namespace

qint64 read(QIODevice &device, char *data, qint64 bytes)
{
    if (device.property(kFailureProperty).isValid())
        device.setProperty(kFailureProperty, QVariant());
    if (readFault() && readFault()(device)) {
        device.setProperty(kFailureProperty, systemReason(EIO));
        return -1;
    }
    const qint64 got = device.read(data, bytes);
    const auto *file = qobject_cast<const QFileDevice *>(&device);
    if (got < 0 || (file && file->error() == QFileDevice::ReadError)) {
        device.setProperty(kFailureProperty, device.errorString());
        return -1;
    }
    return got;
}

QByteArray read(QIODevice &device, qint64 bytes)
{
    QByteArray data(int(qMax<qint64>(0, qMin<qint64>(bytes, device.size() - device.pos()))),
                    Qt::Uninitialized);
    const qint64 got = read(device, data.data(), data.size());
    data.resize(int(qMax<qint64>(got, 0)));
    return data;
}

QString readFailure(const QIODevice &device)
{
    return device.property(kFailureProperty).toString();
}

QString couldNotRead(const QString &name, const QString &reason)
{
    return QStringLiteral("Could not read %1: %2").arg(displayName(name), reason);
}

QString systemReason(int errorNumber)
{
#ifdef Q_OS_WIN
    char buffer[256] = {};
    strerror_s(buffer, sizeof buffer, errorNumber);
    return QString::fromLocal8Bit(buffer);
#else
    char buffer[256] = {};
    return fromStrerror(strerror_r(errorNumber, buffer, sizeof buffer), buffer);
#endif
}

QString lookupFailure(const QString &path)
{
#ifdef Q_OS_WIN
    return QFileInfo::exists(path) ? QString() : systemReason(ENOENT);
#else
    struct stat st;
    if (::stat(QFile::encodeName(path).constData(), &st) == 0)
        return QString();
    return systemReason(errno);
#endif
}

void setReadFault(ReadFault fault)
{
    readFault() = std::move(fault);
}

} // namespace wavformat
