#pragma once

#include "wav/format/regularfile.h"

#include <QString>
#include <QStringList>

class QIODevice;

/// Where results may be written, and what a failed write tells the user.
namespace resultfiles {

/// The file `path` reaches: the end of its chain of links, else `path`.
QString resolved(const QString &path);

/// True when `path` (after links) is a regular file. False when it is
/// missing, a folder, a device, a FIFO or a socket.
inline bool isRegular(const QString &path)
{
    return wavformat::isRegularFile(path);
}

/// Equal for two names of the same file, also one that does not exist yet:
/// the device and inode where there are such, else the canonical folder and
/// the name.
QString identity(const QString &path);

/// Why `result` must not be written, as "Could not write <result>: <why>",
/// or an empty string. A result may be written when it is absent (and no
/// link to a missing file) or reaches a regular file that is none of
/// `inputs`, and when its name leaves room for the temporary name beside it.
QString refusal(const QString &result, const QStringList &inputs);

/// The reason a write to `device` failed, found without writing: the
/// device's error, else `writeErrno` (errno as the failed write left it:
/// a write the system cut short sets no error of the device's), else a
/// full file system, else that the write was cut short.
QString writeFailure(const QIODevice &device, int writeErrno);

/// Tells the file system that `device`, a file being written, will grow to
/// `bytes`, so that it can place the data at once: on Linux a file placed
/// late is flushed when it replaces another, which costs more than the
/// writing. Changes neither the size nor the contents, and a failure changes
/// nothing (a full disk still fails the write that meets it).
void reserveSpace(QIODevice &device, qint64 bytes);

/// The one line a user is shown when `name` could not be written: "Could
/// not write <name>: <reason>", the name with the system's separators.
QString couldNotWrite(const QString &name, const QString &reason);

/// Makes a write past the file size limit (ulimit -f) fail with its own
/// error, "File too large", instead of ending the program by SIGXFSZ.
/// Called once at the start of a program.
void reportOversizeWrites();

/// Puts right what an interrupted write of any of `results` left beside it.
/// A commit cut short (its journal "<name>.commit" is there) is rolled back
/// to the earlier set; then the regular files named "<name>.XXXXXX" (six
/// letters or digits: temporary files, backups) next to the file each
/// result reaches are removed. Each folder is listed once. Answers the count
/// removed.
int removeLeftovers(const QStringList &results);

} // namespace resultfiles
