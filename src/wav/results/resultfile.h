#pragma once

#include "wav/results/resultfiles.h"

#include <QString>
#include <QTemporaryFile>

#include <future>
#include <vector>

namespace resultfiles {

/// One result file being written: a temporary file "<name>.XXXXXX" beside
/// the file the result reaches, open for reading and writing, that becomes
/// the result only through commitAll(). Removed when dropped uncommitted.
class ResultFile : public QTemporaryFile
{
public:
    explicit ResultFile(const QString &name);
    ~ResultFile() override;
    /// The result's name as given, for messages.
    QString name() const { return resultName; }
    /// Creates the temporary file; false with errorText() set otherwise.
    bool start();
    /// "Could not write <name>: <reason>", after a failed write that left
    /// `writeErrno` (see writeFailure()).
    QString errorText(int writeErrno = 0) const;

    /// The file the result reaches (after links), which the commit replaces.
    QString targetPath() const { return target; }

    /// Puts everything written so far on the disk in the background, for a
    /// result written in full that waits for others before its commit.
    void syncInBackground();
    /// Waits for the background syncs; the first one's failure, if any, as
    /// a reason (empty when none failed).
    QString waitForSyncs();
    void close() override;

protected:
    /// Writes as the file does, and every few megabytes puts what has been
    /// written so far on the disk in the background, so that the commit
    /// waits for the last of it alone.
    qint64 writeData(const char *data, qint64 length) override;

private:
    QString resultName;
    QString target;
    /// Starts a background sync, unless one is running; false when none
    /// can be started.
    bool startSync();
    /// Bytes written since the last background sync started, the sync
    /// running (answering its failure's reason) and the first failure.
    qint64 unsynced = 0;
    std::future<QString> syncing;
    QString syncFailure;
};

/// When commitAll() removes the earlier results it kept aside, once the new
/// ones are in place: before it returns, or in a thread of its own while
/// the program goes on (freeing a long recording's blocks takes a while).
/// The next commit, removeLeftovers() and finishRemovals() wait for that.
enum class Removal { Now, InBackground };

/// Gives every file its result name once all of them are written, all of
/// them or none: flushes each and puts it on the disk (a late write error
/// fails the whole set with nothing renamed), then keeps the earlier
/// results aside as backups, moves each new file over its result and
/// removes the backups; a failed step takes back every result moved so far.
/// SIGINT, SIGTERM and SIGHUP wait for the end. Answers the first failure's
/// message, naming the file and why.
QString commitAll(const std::vector<ResultFile *> &files, Removal removal = Removal::Now);

/// Waits for the removals a commitAll() left to run in the background; a
/// program that asked for them calls it before it ends.
void finishRemovals();

/// Closes the handles of every result file still being written, so that an
/// interrupt can remove their temporary files on Windows, where a file open
/// without delete sharing cannot be removed. The program must end right
/// after, without touching those files again. Nothing to do elsewhere.
void closeOpenFiles();

} // namespace resultfiles
