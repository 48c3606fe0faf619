#pragma once

#include <QString>
#include <QStringList>
#include <QTemporaryFile>

#include <vector>

/// Where results may be written, and how a set of them is written so that
/// either all of them reach their names or none does.
namespace resultfiles {

/// The file `path` reaches: the end of its chain of links, else `path`.
QString resolved(const QString &path);

/// True when `path` (after links) is a regular file. False when it is
/// missing, a folder, a device, a FIFO or a socket.
bool isRegular(const QString &path);

/// Equal for two names of the same file, also one that does not exist yet:
/// the device and inode where there are such, else the canonical folder and
/// the name.
QString identity(const QString &path);

/// Why `result` must not be written, as "Could not write <result>: <why>",
/// or an empty string. A result may be written when it is absent or reaches
/// a regular file that is none of `inputs`, and when its name leaves room
/// for the temporary name beside it.
QString refusal(const QString &result, const QStringList &inputs);

/// The reason a write to `device` failed. A write the system cut short
/// (a full disk) sets no error; one more write then meets the reason.
QString writeFailure(QIODevice &device);

/// Tells the file system that `device`, a file being written, will grow to
/// `bytes`, so that it can place the data at once: on Linux a file placed
/// late is flushed when it replaces another, which costs more than the
/// writing. Changes neither the size nor the contents, and a failure changes
/// nothing (a full disk still fails the write that meets it).
void reserveSpace(QIODevice &device, qint64 bytes);

/// The one line a user is shown when `name` could not be written: "Could
/// not write <name>: <reason>".
QString couldNotWrite(const QString &name, const QString &reason);

/// Removes what an interrupted write of any of `results` left beside it: the
/// regular files named "<name>.XXXXXX" (six letters or digits) next to the
/// file each result reaches. Each folder is listed once. Answers the count.
int removeLeftovers(const QStringList &results);

/// One result file being written: a temporary file "<name>.XXXXXX" beside
/// the file the result reaches, open for reading and writing, that becomes
/// the result only through commitAll(). Removed when dropped uncommitted.
class ResultFile : public QTemporaryFile
{
public:
    explicit ResultFile(const QString &name);
    /// The result's name as given, for messages.
    QString name() const { return resultName; }
    /// Creates the temporary file; false with errorText() set otherwise.
    bool start();
    /// "Could not write <name>: <reason>".
    QString errorText();

private:
    friend QString commitAll(const std::vector<ResultFile *> &files);
    QString resultName;
    QString target;
};

/// Gives every file its result name once all of them are written: flushes
/// each (a late write error fails the whole set with nothing renamed), then
/// moves each over its result. Answers the first failure's message.
QString commitAll(const std::vector<ResultFile *> &files);

} // namespace resultfiles
