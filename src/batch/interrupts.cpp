#include "batch/interrupts.h"

#include "wav/resultfiles.h"

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

void removeCurrentLeftovers()
{
    std::lock_guard<std::mutex> lock(cleanupMutex);
    resultfiles::removeLeftovers(cleanupNames);
}

#ifdef Q_OS_UNIX
// SIGINT and SIGTERM are taken by one thread, which removes the temporary
// files and then ends the program by the same signal.
void handleInterrupts()
{
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
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
