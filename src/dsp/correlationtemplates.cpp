#include "dsp/correlationtemplates.h"

#include "dsp/constants.h"
#include "dsp/overlapsave.h"

#include <algorithm>
#include <cmath>

namespace dsp::analysis {

void Kernel::prepare()
{
    // The sums in the direct form's order, k = 0 .. 1005, from 0.
    const auto sums = [this] {
        sy = syy = 0.0;
        for (int k = 0; k < kWindow; ++k) {
            sy += y[k];
            syy += y[k] * y[k];
        }
        dy = kWindow * syy - sy * sy;
    };
    sums();
    double largest = 0.0;
    bool finite = true;
    for (int k = 0; k < kWindow; ++k) {
        finite = finite && std::isfinite(y[k]);
        largest = std::max(largest, std::fabs(y[k]));
    }
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
    if (finite && largest < 1e-290 && dy == 0.0) {
        // Every double is a multiple of 2^-1074, and so is every product of
        // one with an integer sample and every sum of such products. Where
        // the direct form's result is subnormal it is therefore exact, and
        // where it is normal it is rounded to 53 bits; scaled by 2^shift
        // (all normal, far below overflow) every result is the same one
        // times 2^shift, rounded the same way. So direct sums, the window's
        // sums with the template's and the numerator of the coefficient
        // come out as the direct form's times 2^shift, bit for bit. The
        // template's own term under the root is exactly 0 in the direct
        // form (every square, and sy^2, is below half the least subnormal).
        int exponent = 0;
        std::frexp(largest, &exponent);
        tinyShift = -exponent;
        for (double &v : y)
            v = std::ldexp(v, tinyShift);
        sums();
        largest = std::ldexp(largest, tinyShift);
    }
    // Beyond 1e290 a scaled product could still leave the range.
    if (!finite || !std::isfinite(dy) || largest > 1e290) {
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
    RealTransform shortFft(kShortFftSize);
    for (Kernel *kernel : {&templates.forward, &templates.reversed}) {
        if (kernel->mode == KernelMode::Fourier) {
            kernel->spectrum = kernelSpectrum(fft, kernel->centred, kWindow, 1.0 / kFftSize);
            kernel->shortSpectrum =
                kernelSpectrum(shortFft, kernel->centred, kWindow, 1.0 / kShortFftSize);
        }
    }
    if (!templates.taperZero) {
        double weights[kWindow];
        for (int k = 0; k < kWindow; ++k)
            weights[k] = taper[k] / kAmplitudeScale;
        templates.taperSpectrum = kernelSpectrum(fft, weights, kWindow, 1.0 / kFftSize);
    }
}

} // namespace dsp::analysis
