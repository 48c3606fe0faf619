#include "batch/interrupts.h"

#include "wav/results/commitguard.h"
#include "wav/results/resultfiles.h"

#include <csignal>
#include <mutex>
#include <thread>

#ifdef Q_OS_WIN
#include <windows.h>
#else
#include <pthread.h>
#endif

namespace interrupts {

namespace {

std::mutex cleanupMutex;
QStringList cleanupNames;

#ifdef Q_OS_WIN
BOOL WINAPI consoleInterrupt(DWORD)
{
    removeCurrentLeftovers();
    return FALSE; // the default handler ends the program
}
#endif

} // namespace

void setCleanupNames(const QStringList &names)
{
    std::lock_guard<std::mutex> lock(cleanupMutex);
    cleanupNames = names;
}

/// Waits for a commit under way, which then never starts again.
void removeCurrentLeftovers()
{
    resultfiles::commitLock().lock();
    std::lock_guard<std::mutex> lock(cleanupMutex);
    resultfiles::removeLeftovers(cleanupNames);
}

#ifdef Q_OS_UNIX
// SIGINT, SIGTERM and SIGHUP are taken by one thread, which waits for a
// commit under way, removes the temporary files and then ends the program by
// the same signal.
void handleInterrupts()
{
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGHUP);
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
    std::thread([set]() {
        int signalNumber = 0;
        if (sigwait(&set, &signalNumber) != 0)
            return;
        removeCurrentLeftovers();
        std::signal(signalNumber, SIG_DFL);
        pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
        std::raise(signalNumber);
    }).detach();
    std::signal(SIGPIPE, SIG_IGN);
}
#else
void handleInterrupts()
{
    SetConsoleCtrlHandler(consoleInterrupt, TRUE);
}
#endif

} // namespace interrupts
