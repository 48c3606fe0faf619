#include "fftwplanner.h"

namespace dsp {

std::mutex &fftwPlannerMutex()
{
    static std::mutex mutex;
    return mutex;
}

RealTransform::RealTransform(int size)
    : length(size),
      in(allocateZeroed<double>(std::size_t(size))),
      bins_(allocateZeroed<fftw_complex>(std::size_t(size / 2 + 1))),
      out(allocateZeroed<double>(std::size_t(size)))
{
    std::lock_guard<std::mutex> lock(fftwPlannerMutex());
    forwardPlan = fftw_plan_dft_r2c_1d(size, in.get(), bins_.get(), FFTW_ESTIMATE);
    backwardPlan = fftw_plan_dft_c2r_1d(size, bins_.get(), out.get(), FFTW_ESTIMATE);
}

RealTransform::~RealTransform()
{
    std::lock_guard<std::mutex> lock(fftwPlannerMutex());
    fftw_destroy_plan(forwardPlan);
    fftw_destroy_plan(backwardPlan);
}

} // namespace dsp
