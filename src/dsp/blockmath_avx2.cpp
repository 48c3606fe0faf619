// The wide forms of the block arithmetic: the same bodies as the narrow
// ones, each entry compiled for AVX2 with every call inside it inlined
// (QUORVANE_WIDE), so that the loops it reaches vectorise for AVX2 while
// no code shared with the narrow forms is built for it.

#include "dsp/blockmath.h"

#include "dsp/cascademath.h"
#include "dsp/lanemath.h"
#include "dsp/widevectors.h"

namespace dsp {

#if QUORVANE_WIDE_VECTORS

namespace {

QUORVANE_WIDE void computeLane(const analysis::Templates &templates, analysis::KeptRange kept,
                               analysis::Lane &lane)
{
    analysis::computeLane(templates, kept, lane);
}

QUORVANE_WIDE void runStartUp(const cascade::Kernels &k, cascade::StartUpRows &rows,
                              std::int64_t end, std::int32_t *to)
{
    cascade::runStartUp(k, rows, end, to);
}

QUORVANE_WIDE std::int64_t filterBlock(RealTransform &transform, const fftw_complex *kernelSpectrum,
                                       double *input, std::size_t words, std::int32_t *to)
{
    return cascade::filterBlock(transform, kernelSpectrum, input, words, to);
}

} // namespace

const BlockMath *wideBlockMath()
{
    static constexpr BlockMath forms{computeLane, runStartUp, filterBlock};
    return &forms;
}

#else

const BlockMath *wideBlockMath()
{
    return nullptr;
}

#endif

} // namespace dsp
