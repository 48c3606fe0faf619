#include "widevectors.h"

namespace dsp {

bool wideVectorsSupported()
{
#if QUORVANE_WIDE_VECTORS
    // Checks the operating system's support for the wide registers too.
    static const bool supported = [] {
        __builtin_cpu_init();
        return __builtin_cpu_supports("avx2") != 0;
    }();
    return supported;
#else
    return false;
#endif
}

} // namespace dsp
