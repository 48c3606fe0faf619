#pragma once

// The address space a test's forked child may still take, for running out
// of memory on purpose. Linux only: callers skip elsewhere.

#include <sys/resource.h>
#include <unistd.h>

#include <cstdio>

namespace testlimits {

/// Lets the process map at most `margin` bytes beyond what it maps now,
/// keeping the limit before in `old` (for putting back); false where the
/// limit could not be set.
inline bool limitAddressSpace(rlim_t margin, rlimit *old = nullptr)
{
    long pages = 0;
    if (FILE *statm = std::fopen("/proc/self/statm", "r")) {
        if (std::fscanf(statm, "%ld", &pages) != 1)
            pages = 0;
        std::fclose(statm);
    }
    rlimit limit{};
    getrlimit(RLIMIT_AS, &limit);
    if (old)
        *old = limit;
    limit.rlim_cur = rlim_t(pages) * rlim_t(sysconf(_SC_PAGESIZE)) + margin;
    return pages > 0 && setrlimit(RLIMIT_AS, &limit) == 0;
}

} // namespace testlimits
