#include "dsp/correlationtemplates.h"

#include "dsp/constants.h"
#include "dsp/overlapsave.h"

#include <algorithm>
#include <cmath>

namespace dsp::analysis {

void Kernel::prepare()
{
    double largest = 0.0;
    bool finite = true;
    for (int k = 0; k < kWindow; ++k) {
        sy += y[k];
        syy += y[k] * y[k];
        finite = finite && std::isfinite(y[k]);
        largest = std::max(largest, std::fabs(y[k]));
    }
    dy = kWindow * syy - sy * sy;
    if (std::isnan(dy)) {
        mode = KernelMode::Undefined;
        return;
    }
    if (largest == 0.0) {
        mode = KernelMode::Zero;
        return;
    }
    // A template without shape matches every window equally well: its
    // coefficient is 0/0, which the 1e-9 under the root makes 0, as for
    // the empty template. Evaluated in doubles, though, its term under
    // the root is rounding noise, most often below zero, so that every
    // coefficient came out NaN and every component word invalid. It is
    // taken as 0 exactly, with the sums that give 0.
    if (std::all_of(y, y + kWindow, [this](double v) { return v == y[0]; })) {
        mode = KernelMode::Flat;
        sy = syy = dy = 0.0;
        return;
    }
    // Beyond 1e±290 a scaled product could still leave the range.
    if (!finite || !std::isfinite(dy) || largest > 1e290 || largest < 1e-290) {
        mode = KernelMode::Direct;
        return;
    }
    offset = sy / kWindow;
    int exponent = 0;
    std::frexp(largest, &exponent);
    const double scale = std::ldexp(1.0, -exponent);
    unscale = std::ldexp(1.0, exponent);
    double squares = 0.0;
    double top = 0.0;
    for (int k = 0; k < kWindow; ++k) {
        centred[k] = (y[k] - offset) * scale;
        squares += centred[k] * centred[k];
        top = std::max(top, std::fabs(centred[k]));
    }
    norm = std::sqrt(squares) * unscale;
    largestCentred = top * unscale;
    mode = KernelMode::Fourier;
}

void setUpTemplates(Templates &templates, const std::vector<double> &markerValues,
                    RealTransform &fft)
{
    const int n = static_cast<int>(std::min<std::size_t>(markerValues.size(), kWindow));
    double taper[kWindow] = {};
    for (int i = 0; i < n; ++i) {
        taper[i] = 1 - std::cos(2 * kPi * i / kWindow);
        const double v = markerValues[static_cast<std::size_t>(i)] / double(kSampleScale);
        templates.forward.y[n - 1 - i] = v;
        templates.reversed.y[i] = v;
        templates.taperZero = templates.taperZero && taper[i] == 0.0;
    }
    templates.forward.prepare();
    templates.reversed.prepare();

    // The inverse transform is unnormalised: fold 1 / kFftSize into the
    // kernels (a power of two, so the scaling is exact).
    for (Kernel *kernel : {&templates.forward, &templates.reversed}) {
        if (kernel->mode == KernelMode::Fourier)
            kernel->spectrum = kernelSpectrum(fft, kernel->centred, kWindow, 1.0 / kFftSize);
    }
    if (!templates.taperZero) {
        double weights[kWindow];
        for (int k = 0; k < kWindow; ++k)
            weights[k] = taper[k] / kAmplitudeScale;
        templates.taperSpectrum = kernelSpectrum(fft, weights, kWindow, 1.0 / kFftSize);
    }
}

} // namespace dsp::analysis
