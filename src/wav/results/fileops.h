#pragma once

#include <QString>

class QFileDevice;

/// The file system steps of a commit. Each answers true, or false with the
/// system's reason in `reason`.
namespace resultfiles::fileops {

/// Moves `from` over `to`, replacing it.
bool rename(const QString &from, const QString &to, QString &reason);
/// Makes `to` a second name of `from`'s file.
bool link(const QString &from, const QString &to, QString &reason);
/// Removes `path`; a missing file counts as removed.
bool remove(const QString &path, QString &reason);
/// Puts the contents of `file` (open) on the disk.
bool syncFile(QFileDevice &file, QString &reason);
/// A name that the file behind `file` (open) can be opened again by while
/// it is being written, from any thread, for syncNamed(); empty where the
/// system has none before the file has its own name.
QString syncName(QFileDevice &file);
/// Puts what has been written so far to the file `name` (a syncName())
/// names on the disk.
bool syncNamed(const QString &name, QString &reason);
/// Puts the names in the folder `folder` on the disk (nothing on Windows,
/// where every rename is written through).
bool syncFolder(const QString &folder, QString &reason);
/// Writes `bytes` to a new file `path` and puts it on the disk.
bool writeSynced(const QString &path, const QByteArray &bytes, QString &reason);

} // namespace resultfiles::fileops
