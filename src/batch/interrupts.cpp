#include "batch/interrupts.h"

#include "wav/results/commitguard.h"
#include "wav/results/resultfile.h"
#include "wav/results/resultfiles.h"

#include <condition_variable>
#include <csignal>
#include <mutex>
#include <string>
#include <thread>

#ifdef Q_OS_WIN
#include <windows.h>
#else
#include <pthread.h>
#include <unistd.h>
#endif

namespace interrupts {

namespace {

std::mutex cleanupMutex;
QStringList cleanupNames;

#ifdef Q_OS_WIN
/// Runs on a thread of its own for Ctrl+C, Ctrl+Break and the console's
/// close (and a log-off or shut-down): removes the temporary files, then
/// ends the program at once with the status of an interrupted program. The
/// workers must not go on with the handles closed under them, and the
/// default handler would run the program's exit code on their heels.
BOOL WINAPI consoleInterrupt(DWORD)
{
    removeCurrentLeftovers();
    TerminateProcess(GetCurrentProcess(), kInterruptedStatus);
    return TRUE;
}
#else
/// The signal thread's own: sent by the program to itself as it ends. It is
/// numbered above SIGINT, SIGTERM and SIGHUP, and the system hands the
/// lowest pending signal out first, so one that came before (during the
/// last commit) is still acted on.
int endSignal()
{
    return SIGRTMIN;
}

std::mutex endMutex;
std::condition_variable endSeen;
bool waiting = false;
bool ended = false;
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
    resultfiles::closeOpenFiles();
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
    sigaddset(&set, endSignal());
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
    waiting = true;
    std::thread([set]() {
        int signalNumber = 0;
        if (sigwait(&set, &signalNumber) != 0)
            return;
        if (signalNumber == endSignal()) {
            std::lock_guard<std::mutex> lock(endMutex);
            ended = true;
            endSeen.notify_all();
            return;
        }
        removeCurrentLeftovers();
        std::signal(signalNumber, SIG_DFL);
        sigset_t taken;
        sigemptyset(&taken);
        sigaddset(&taken, signalNumber);
        pthread_sigmask(SIG_UNBLOCK, &taken, nullptr);
        std::raise(signalNumber);
    }).detach();
    std::signal(SIGPIPE, SIG_IGN);
    resultfiles::reportOversizeWrites();
}

int settle(int status)
{
    if (!waiting)
        return status;
    ::kill(::getpid(), endSignal());
    std::unique_lock<std::mutex> lock(endMutex);
    endSeen.wait(lock, [] { return ended; });
    return status;
}
#else
int settle(int status)
{
    return status;
}

void handleInterrupts()
{
    SetConsoleCtrlHandler(consoleInterrupt, TRUE);
    resultfiles::reportOversizeWrites();
    // For the tests, which have no console to send Ctrl+Break through: an
    // event "quorvane-batch-interrupt-<process id>" set by them runs the
    // handler as the console would.
    if (qEnvironmentVariableIsSet("QUORVANE_INTERRUPT_EVENT")) {
        const std::wstring name =
            L"Local\\quorvane-batch-interrupt-" + std::to_wstring(GetCurrentProcessId());
        if (HANDLE event = CreateEventW(nullptr, TRUE, FALSE, name.c_str())) {
            std::thread([event]() {
                if (WaitForSingleObject(event, INFINITE) == WAIT_OBJECT_0)
                    consoleInterrupt(CTRL_BREAK_EVENT);
            }).detach();
        }
    }
}
#endif

} // namespace interrupts
