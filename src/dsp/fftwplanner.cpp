#include "fftwplanner.h"

namespace dsp {

std::mutex &fftwPlannerMutex()
{
    static std::mutex mutex;
    return mutex;
}

} // namespace dsp
