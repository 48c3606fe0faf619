#include "dsp/overlapsave.h"

#include <algorithm>

namespace dsp {

FftwBuffer<fftw_complex> kernelSpectrum(RealTransform &transform, const double *values, int count,
                                        double scale)
{
    FftwBuffer<fftw_complex> out =
        allocateZeroed<fftw_complex>(static_cast<std::size_t>(transform.bins()));
    double *in = transform.input();
    std::fill(in, in + transform.size(), 0.0);
    for (int k = 0; k < count; ++k)
        in[k] = values[k] * scale;
    transform.forward(in, out.get());
    return out;
}

} // namespace dsp
