#include "fftwplanner.h"

#include <map>

namespace dsp {

namespace detail {
std::atomic<TransformWatch *> transformWatch{nullptr};
}

void watchTransforms(TransformWatch *watch)
{
    detail::transformWatch.store(watch);
}

std::mutex &fftwPlannerMutex()
{
    static std::mutex mutex;
    return mutex;
}

const RealTransform::Plans &RealTransform::plansFor(int size)
{
    // Made once per length on buffers of their own, from fftw_malloc as
    // every buffer the plans run on, and kept for the process: executing a
    // plan needs no lock, so every transform of a length shares one pair.
    struct Kept
    {
        std::map<int, Plans> bySize;
        ~Kept()
        {
            for (const auto &entry : bySize) {
                fftw_destroy_plan(entry.second.forward);
                fftw_destroy_plan(entry.second.backward);
            }
        }
    };
    static Kept kept;
    std::map<int, Plans> &plans = kept.bySize;
    std::lock_guard<std::mutex> lock(fftwPlannerMutex());
    auto found = plans.find(size);
    if (found == plans.end()) {
        const FftwBuffer<double> in = allocateZeroed<double>(std::size_t(size));
        const FftwBuffer<fftw_complex> bins =
            allocateZeroed<fftw_complex>(std::size_t(size / 2 + 1));
        const FftwBuffer<double> out = allocateZeroed<double>(std::size_t(size));
        const Plans made{fftw_plan_dft_r2c_1d(size, in.get(), bins.get(), FFTW_ESTIMATE),
                         fftw_plan_dft_c2r_1d(size, bins.get(), out.get(), FFTW_ESTIMATE)};
        found = plans.emplace(size, made).first;
    }
    return found->second;
}

RealTransform::RealTransform(int size)
    : length(size),
      in(allocateZeroed<double>(std::size_t(size))),
      bins_(allocateZeroed<fftw_complex>(std::size_t(size / 2 + 1))),
      out(allocateZeroed<double>(std::size_t(size))),
      plans(plansFor(size))
{
}

} // namespace dsp
