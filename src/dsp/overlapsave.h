#pragma once

#include "dsp/fftwplanner.h"

namespace dsp {

/// The spectrum of a kernel for overlap-save blocks: `count` values times
/// `scale`, zero padded to the transform's length. A `scale` of 1 / length
/// (a power of two, so exact) makes the unnormalised inverse come back
/// normalised.
FftwBuffer<fftw_complex> kernelSpectrum(RealTransform &transform, const double *values, int count,
                                        double scale);

/// One kernel of an overlap-save step and where its outputs go.
struct KernelOutput
{
    const fftw_complex *spectrum;
    double *out;
};

/// One overlap-save step over a block: `input` (the transform's length of
/// values, history first; left as it is) is transformed once, its spectrum
/// multiplied by each kernel's bin by bin into `product`, and that
/// transformed back into the kernel's `out`. Output i is then the circular
/// convolution at i; those from the kernel's length - 1 on are the block's.
/// With a single kernel `product` may be the transform's spectrum.
/// Inline, so that the wide forms (blockmath.h) take its products in.
inline void overlapSave(RealTransform &transform, double *input, const KernelOutput *kernels,
                        int count, fftw_complex *product)
{
    // Out of place, the forward transform leaves its input as it is.
    transform.forward(input, transform.spectrum());
    for (int i = 0; i < count; ++i) {
        RealTransform::multiply(transform.spectrum(), kernels[i].spectrum, product,
                                transform.bins());
        transform.backward(product, kernels[i].out);
    }
}

} // namespace dsp
