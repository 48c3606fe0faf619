#pragma once

// What every benchmark measures with: a monotonic clock, the process's
// processor time, best-of-N timing and the process's memory figures.

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <string>

#ifdef __GLIBC__
#include <malloc.h>
#endif

namespace bench {

using Clock = std::chrono::steady_clock;

/// Seconds from `from` until now.
inline double secondsSince(Clock::time_point from)
{
    return std::chrono::duration<double>(Clock::now() - from).count();
}

/// Seconds of processor time the process has used, all threads together.
inline double processSeconds()
{
    timespec now{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

/// Seconds one call of `run` takes.
template <typename Run>
double timed(Run &&run)
{
    const Clock::time_point start = Clock::now();
    run();
    return secondsSince(start);
}

/// The shortest of `runs` timed calls: on a shared machine the fastest run
/// is the one least disturbed.
template <typename Run>
double bestOf(int runs, Run &&run)
{
    double best = 1e300;
    for (int i = 0; i < runs; ++i)
        best = std::min(best, timed(run));
    return best;
}

/// A "Vm..." figure of /proc/self/status in KiB, or -1 where unavailable.
inline long statusKiB(const std::string &key)
{
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.compare(0, key.size() + 1, key + ":") == 0)
            return std::strtol(line.c_str() + key.size() + 1, nullptr, 10);
    }
    return -1;
}

/// Asks the kernel to restart the peak-RSS count (VmHWM) from the current
/// RSS; false where it cannot.
inline bool resetPeak()
{
    std::ofstream clear("/proc/self/clear_refs");
    clear << "5";
    clear.flush();
    return static_cast<bool>(clear);
}

/// Bytes of heap in use, or 0 where the C library does not tell.
inline std::size_t heapInUse()
{
#ifdef __GLIBC__
    const struct mallinfo2 info = mallinfo2();
    return info.uordblks + info.hblkhd;
#else
    return 0;
#endif
}

} // namespace bench
