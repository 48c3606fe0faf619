#include "resultfile.h"

#include "wav/results/commitguard.h"
#include "wav/results/fileops.h"
#include "wav/results/journal.h"
#include "wav/results/names.h"
#include "wav/results/resultfiles.h"

#include <QDir>
#include <QFileInfo>
#include <QRandomGenerator>

#include <array>
#include <chrono>
#include <csignal>
#include <map>
#include <mutex>
#include <new>
#include <system_error>

#ifdef Q_OS_WIN
#include <io.h>
#include <windows.h>
#else
#include <sys/stat.h>
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
/// The handles of the temporary files open now, for closeOpenFiles(). A
/// temporary file's handle lives from its open until its rename or its end.
std::mutex openMutex;
std::map<const QTemporaryFile *, HANDLE> openHandles;

void forget(const QTemporaryFile &file)
{
    std::lock_guard<std::mutex> lock(openMutex);
    openHandles.erase(&file);
}

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
        if (QFileInfo::exists(name))
            continue;
        forget(file);
        if (file.rename(name))
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
    if (!open())
        return false;
#ifdef Q_OS_WIN
    const intptr_t os = _get_osfhandle(handle());
    if (os != -1) {
        std::lock_guard<std::mutex> lock(openMutex);
        openHandles[this] = reinterpret_cast<HANDLE>(os);
    }
#endif
    return true;
}

ResultFile::~ResultFile()
{
    waitForSyncs();
#ifdef Q_OS_WIN
    forget(*this);
#endif
}

void closeOpenFiles()
{
#ifdef Q_OS_WIN
    // Held to the end: a file dropped meanwhile waits, and never closes a
    // handle twice.
    openMutex.lock();
    for (const auto &entry : openHandles)
        CloseHandle(entry.second);
    openHandles.clear();
#endif
}

qint64 ResultFile::writeData(const char *data, qint64 length)
{
    constexpr qint64 kSyncBytes = qint64(4) << 20;
    const qint64 written = QTemporaryFile::writeData(data, length);
    // What the file still holds in its own buffer goes with the next sync,
    // or with the commit's.
    if (written > 0 && (unsynced += written) >= kSyncBytes && startSync())
        unsynced = 0;
    return written;
}

void ResultFile::syncInBackground()
{
    if (!flush())
        return; // the commit tells of it
    waitForSyncs();
    unsynced = 0;
    startSync();
}

bool ResultFile::startSync()
{
    // One sync at a time.
    if (syncing.valid()) {
        if (syncing.wait_for(std::chrono::seconds(0)) != std::future_status::ready)
            return false;
        waitForSyncs();
    }
    const QString name = fileops::syncName(*this);
    if (name.isEmpty())
        return false;
    try {
        syncing = std::async(std::launch::async, [name]() -> QString {
            try {
                QString reason;
                return fileops::syncNamed(name, reason) ? QString() : reason;
            } catch (const std::bad_alloc &) {
                return QStringLiteral("not enough memory");
            }
        });
    } catch (const std::system_error &) {
        return false; // no thread to spare: the commit's sync puts it all on the disk
    }
    return true;
}

QString ResultFile::waitForSyncs()
{
    if (syncing.valid()) {
        const QString failure = syncing.get();
        if (syncFailure.isEmpty())
            syncFailure = failure;
    }
    return syncFailure;
}

void ResultFile::close()
{
    // A sync names the file by its descriptor, which must stay this file's.
    waitForSyncs();
    QTemporaryFile::close();
}

QString ResultFile::errorText(int writeErrno) const
{
    return couldNotWrite(resultName, writeFailure(*this, writeErrno));
}

namespace {

FaultPlan &faultPlan()
{
    static FaultPlan plan;
    return plan;
}

/// The removals left to run in the background, one set at a time.
std::mutex removalMutex;
std::future<void> removals;

void removeAll(const QStringList &paths, Removal when)
{
    const auto remove = [paths] {
        QString ignored;
        for (const QString &path : paths)
            fileops::remove(path, ignored);
    };
    if (when == Removal::Now || paths.isEmpty()) {
        remove();
        return;
    }
    std::lock_guard<std::mutex> lock(removalMutex);
    if (removals.valid())
        removals.get();
    try {
        removals = std::async(std::launch::async, remove);
    } catch (const std::system_error &) {
        remove(); // no thread to spare
    }
}

#ifdef Q_OS_UNIX
/// Holds SIGINT, SIGTERM and SIGHUP off while it lives, in every thread,
/// and acts on the first one that came after: a commit is never cut
/// between two renames. Signals the process ignores stay ignored; in the
/// batch program they are blocked and taken by its own thread instead.
class SignalHold
{
public:
    SignalHold()
    {
        for (std::size_t i = 0; i < kSignals.size(); ++i) {
            struct sigaction hold = {};
            hold.sa_handler = [](int signalNumber) { arrived = signalNumber; };
            sigemptyset(&hold.sa_mask);
            sigaction(kSignals[i], nullptr, &saved[i]);
            if (saved[i].sa_handler != SIG_IGN)
                sigaction(kSignals[i], &hold, nullptr);
        }
    }
    ~SignalHold()
    {
        for (std::size_t i = 0; i < kSignals.size(); ++i)
            sigaction(kSignals[i], &saved[i], nullptr);
        if (const int signalNumber = arrived) {
            arrived = 0;
            std::raise(signalNumber);
        }
    }

private:
    static constexpr std::array<int, 3> kSignals{SIGINT, SIGTERM, SIGHUP};
    static volatile std::sig_atomic_t arrived;
    std::array<struct sigaction, 3> saved{};
};
volatile std::sig_atomic_t SignalHold::arrived = 0;
#else
struct SignalHold
{
};
#endif

/// One commit's sequence of steps, each counted for the fault plan.
class Commit
{
public:
    explicit Commit(const std::vector<ResultFile *> &files) : files(files)
    {
        for (ResultFile *file : files) {
            const QFileInfo target(file->targetPath());
            entries.push_back({target.absoluteFilePath(), target.exists()});
            if (!folders.contains(target.absolutePath()))
                folders << target.absolutePath();
        }
        journals = journal::paths(entries);
    }

    /// True when the step may run; false (with a reason) when the plan fails it.
    bool step(const char *kind)
    {
        ++count;
        if (faultPlan() && faultPlan()(count, kind)) {
            reason = QStringLiteral("step %1 (%2) made to fail").arg(count).arg(kind);
            return false;
        }
        return true;
    }
    bool syncFolders(const char *kind = "folder")
    {
        for (const QString &folder : folders)
            if (!step(kind) || !fileops::syncFolder(folder, reason))
                return false;
        return true;
    }
    QString run(Removal removal);

    int count = 0;
    QString reason;

private:
    QString fail(std::size_t index);

    const std::vector<ResultFile *> &files;
    std::vector<journal::Entry> entries;
    QStringList folders;
    QStringList journals;
};

// The sequence, and what a crash at each point leaves (the next run of the
// same results puts it right, see removeLeftovers()):
//   1. the journal, synced, and a copy beside the first result in each
//      further folder, the folders synced
//                                 -> nothing moved: the journals go
//   2. a backup link of each earlier result, synced
//                                 -> all old: the backups go
//   3. each new file over its result, the folder synced
//                                 -> rolled back from the backups: all old
//   4. the first journal removed, the folder synced: the commit point
//                                 -> all new: the copies and backups go
//   5. the copies of the journal and the backups removed.
QString Commit::run(Removal removal)
{
    const QByteArray listed = journal::encode(entries);
    for (const QString &path : journals)
        if (!step("journal") || !fileops::writeSynced(path, listed, reason))
            return fail(0);
    if (!syncFolders())
        return fail(0);
    for (std::size_t i = 0; i < entries.size(); ++i) {
        if (!entries[i].hadOld)
            continue;
        // A second name keeps the earlier result in place; where the file
        // system has none, the result itself moves aside.
        QString linkReason;
        if (!step("backup")
            || (!fileops::link(entries[i].target, entries[i].backup(), linkReason)
                && !fileops::rename(entries[i].target, entries[i].backup(), reason)))
            return fail(i);
    }
    if (!syncFolders())
        return fail(0);
    for (std::size_t i = 0; i < entries.size(); ++i) {
        if (!step("rename") || !fileops::rename(files[i]->fileName(), entries[i].target, reason))
            return fail(i);
        files[i]->setAutoRemove(false);
    }
    if (!syncFolders())
        return fail(0);
    if (!step("unjournal") || !fileops::remove(journals.front(), reason))
        return fail(0);
    // Past the commit point nothing fails the set: a copy of the journal or
    // a backup left behind is removed by the next run.
    QString ignored;
    syncFolders("cleanup") && fileops::syncFolder(folders.front(), ignored);
    QStringList leftovers;
    for (int i = 1; i < journals.size(); ++i)
        if (step("cleanup"))
            leftovers << journals[i];
    for (const journal::Entry &entry : entries)
        if (entry.hadOld && step("cleanup"))
            leftovers << entry.backup();
    removeAll(leftovers, removal);
    return QString();
}

QString Commit::fail(std::size_t index)
{
    journal::rollBack(entries);
    QString ignored;
    for (const QString &folder : folders)
        fileops::syncFolder(folder, ignored);
    journal::remove(entries);
    return couldNotWrite(files[index]->name(), reason);
}

/// Readies `file` for its rename: flushed, given the permissions of the
/// result it replaces (else those of a new file), on the disk and closed.
QString ready(ResultFile &file, Commit &commit, const QString &target)
{
    if (!file.isOpen() || !file.flush())
        return file.errorText();
#ifdef Q_OS_UNIX
    struct stat st;
    const bool present = ::stat(QFile::encodeName(target).constData(), &st) == 0;
    ::fchmod(file.handle(), present ? st.st_mode & 07777 : 0666 & ~creationMask());
#else
    const QFileInfo existing(target);
    if (existing.exists())
        file.setPermissions(existing.permissions());
#endif
    // Asking for the name gives an unnamed temporary file its name.
    file.fileName();
    QString reason = file.waitForSyncs();
    if (!reason.isEmpty() || !commit.step("sync") || !fileops::syncFile(file, reason))
        return couldNotWrite(file.name(), reason.isEmpty() ? commit.reason : reason);
    file.close();
#ifdef Q_OS_WIN
    // A temporary file's close() keeps its handle open, and Windows moves
    // no file that is open without delete sharing. Renaming the temporary
    // file to a fresh temporary name closes the handle for good.
    if (!closeForGood(file))
        return file.errorText();
#endif
    return QString();
}

} // namespace

std::mutex &commitLock()
{
    static std::mutex lock;
    return lock;
}

void setFaultPlan(FaultPlan plan)
{
    faultPlan() = std::move(plan);
}

void finishRemovals()
{
    std::lock_guard<std::mutex> lock(removalMutex);
    if (removals.valid())
        removals.get();
}

QString commitAll(const std::vector<ResultFile *> &files, Removal removal)
{
    if (files.empty())
        return QString();
    Commit commit(files);
    // From here on an interrupt waits: a temporary file given its name
    // after the interrupt removed the leftovers would stay behind.
    std::lock_guard<std::mutex> lock(commitLock());
    // The last commit's backups go first: this one may make the same.
    finishRemovals();
    [[maybe_unused]] const SignalHold hold;
    for (ResultFile *file : files) {
        const QString error = ready(*file, commit, file->targetPath());
        if (!error.isEmpty())
            return error;
    }
    return commit.run(removal);
}

} // namespace resultfiles
