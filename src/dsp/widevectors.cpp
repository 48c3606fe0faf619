#include "widevectors.h"

#include <atomic>

namespace dsp {

namespace {

bool supported()
{
#if QUORVANE_WIDE_VECTORS
    // Checks the operating system's support for the wide registers too.
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx2");
#else
    return false;
#endif
}

std::atomic<bool> &enabled()
{
    static std::atomic<bool> on{supported()};
    return on;
}

} // namespace

bool wideVectors()
{
    return enabled().load(std::memory_order_relaxed);
}

void setWideVectors(bool on)
{
    enabled().store(on && supported(), std::memory_order_relaxed);
}

} // namespace dsp
