#pragma once

// The block arithmetic of both passes, the only code with a wide form. Each
// form is one table of entry points: blockmath_narrow.cpp builds the narrow
// one, blockmath_avx2.cpp the wide one (AVX2, see widevectors.h), both from
// the same inline bodies (lanemath.h, cascademath.h). An object takes its
// table once, when it is made.

#include "dsp/cascadekernels.h"
#include "dsp/fftwplanner.h"
#include "dsp/templateanalysis.h"

#include <cstddef>
#include <cstdint>

namespace dsp {

namespace analysis {
struct Lane;
struct Templates;
} // namespace analysis

struct BlockMath
{
    /// analysis::computeLane()
    void (*computeLane)(const analysis::Templates &templates, analysis::KeptRange kept,
                        analysis::Lane &lane);
    /// cascade::runStartUp()
    void (*runStartUp)(const cascade::Kernels &k, cascade::StartUpRows &rows, std::int64_t end,
                       std::int32_t *to);
    /// cascade::filterBlock()
    std::int64_t (*filterBlock)(RealTransform &transform, const fftw_complex *kernelSpectrum,
                                double *input, std::size_t words, std::int32_t *to);
};

/// The wide forms where `wide` and the processor has them, else the narrow
/// ones; both give the same results bit for bit.
const BlockMath &blockMath(bool wide);

/// The two tables; the wide one is null where it is not built.
const BlockMath &narrowBlockMath();
const BlockMath *wideBlockMath();

} // namespace dsp
