#pragma once

#include <QByteArray>
#include <QString>

#include <functional>

class QIODevice;

/// Checked reads of recordings, processed files and templates, and the
/// system's reasons for failures as text.
namespace wavformat {

/// Reads up to `bytes` into `data` as QIODevice::read() does, answering the
/// count read. A read the system failed (not one that merely met the end)
/// answers -1, also when part of it had arrived; readFailure() then gives
/// the reason until the next read through here.
qint64 read(QIODevice &device, char *data, qint64 bytes);
/// The same into a byte array, which is empty after a failed read.
QByteArray read(QIODevice &device, qint64 bytes);

/// Why the last read of `device` failed, or an empty string when it did not.
QString readFailure(const QIODevice &device);

/// "Could not read <name>: <reason>".
QString couldNotRead(const QString &name, const QString &reason);

/// The system's text for the error number `errorNumber`, as strerror()
/// gives it, but safe to ask from any thread.
QString systemReason(int errorNumber);

/// Why `path` cannot be reached, from the system's answer when its entry is
/// looked up (after links), or an empty string when it can be.
QString lookupFailure(const QString &path);

/// For tests only: asked before each read through here; answering true
/// fails that read as an input/output error of the device would.
using ReadFault = std::function<bool(const QIODevice &device)>;
void setReadFault(ReadFault fault);

} // namespace wavformat
