#pragma once

#include <mutex>

namespace dsp {

/// The lock every FFTW plan creation and destruction takes: the FFTW
/// planner is not thread-safe, and passes may run in several threads.
std::mutex &fftwPlannerMutex();

} // namespace dsp
