#pragma once

// Folders of awkward entries (links, FIFOs, planted files), their state seen
// without following a link or opening a FIFO, and a watchdog that frees a
// program stuck on a FIFO. POSIX only: callers skip on Windows.

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QString>

#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <thread>

#ifdef Q_OS_UNIX
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace fileentries {

/// Creates one entry in `dir`: "name" holds `content`, "name:text" holds the
/// text, "name->target" is a link to target, "name|" is a FIFO.
inline bool create(const QDir &dir, const QString &entry, const QByteArray &content)
{
#ifdef Q_OS_UNIX
    if (entry.endsWith('|'))
        return mkfifo(QFile::encodeName(dir.filePath(entry.chopped(1))).constData(), 0600) == 0;
    if (entry.contains(QStringLiteral("->")))
        return QFile::link(entry.section(QStringLiteral("->"), 1),
                           dir.filePath(entry.section(QStringLiteral("->"), 0, 0)));
#endif
    QFile file(dir.filePath(entry.section(':', 0, 0)));
    const QByteArray bytes = entry.contains(':') ? entry.section(':', 1).toUtf8() : content;
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

/// Every entry of `dir`: "link:<target>", "fifo", "dir", "other" or the bytes.
inline std::map<QString, QByteArray> state(const QDir &dir)
{
    std::map<QString, QByteArray> entries;
    for (const QString &name :
         dir.entryList(QDir::AllEntries | QDir::System | QDir::Hidden | QDir::NoDotAndDotDot)) {
        const QString path = dir.filePath(name);
        QByteArray &entry = entries[name];
#ifdef Q_OS_UNIX
        struct stat st;
        if (lstat(QFile::encodeName(path).constData(), &st) != 0) {
            entry = "gone";
        } else if (S_ISLNK(st.st_mode)) {
            char target[4096];
            const ssize_t n = readlink(QFile::encodeName(path).constData(), target, sizeof target);
            entry = "link:" + QByteArray(target, int(qMax<ssize_t>(0, n)));
        } else if (S_ISFIFO(st.st_mode)) {
            entry = "fifo";
        } else if (S_ISDIR(st.st_mode)) {
            entry = "dir";
        } else if (!S_ISREG(st.st_mode)) {
            entry = "other";
        } else
#endif
        {
            QFile file(path);
            entry = file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("unreadable");
        }
    }
    return entries;
}

/// While it lives: once `limit` has passed, opens and closes every FIFO in
/// `dir`, which lets a reader blocked in open() go on to an empty read, so a
/// test of something that would hang fails instead of hanging.
class FifoWatchdog
{
public:
    FifoWatchdog(const QDir &dir, std::chrono::milliseconds limit)
        : worker([this, dir, limit]() {
              std::unique_lock<std::mutex> lock(mutex);
              if (wake.wait_for(lock, limit, [this]() { return done; }))
                  return;
              fired = true;
#ifdef Q_OS_UNIX
              for (const auto &entry : state(dir)) {
                  if (entry.second != "fifo")
                      continue;
                  const QByteArray path = QFile::encodeName(dir.filePath(entry.first));
                  const int fd = ::open(path.constData(), O_RDWR | O_NONBLOCK);
                  std::this_thread::sleep_for(std::chrono::milliseconds(100));
                  if (fd >= 0)
                      ::close(fd);
              }
#endif
          })
    {
    }
    ~FifoWatchdog()
    {
        {
            std::lock_guard<std::mutex> lock(mutex);
            done = true;
        }
        wake.notify_all();
        worker.join();
    }
    /// True when the limit passed before the watchdog was dropped.
    bool hasFired()
    {
        std::lock_guard<std::mutex> lock(mutex);
        return fired;
    }

private:
    std::mutex mutex;
    std::condition_variable wake;
    bool done = false;
    bool fired = false;
    std::thread worker;
};

} // namespace fileentries
