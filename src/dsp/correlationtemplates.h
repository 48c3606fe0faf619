#pragma once

// The correlation templates: how each is classified, and its sums and
// spectrum.

#include "dsp/analysislane.h"
#include "dsp/fftwplanner.h"

#include <vector>

namespace dsp::analysis {

/// How the sum of products with one template is formed.
enum class KernelMode {
    Zero,      ///< all-zero template: the sum is exactly 0
    Flat,      ///< all values equal: no shape, every coefficient is 0
    Undefined, ///< the template's own term is NaN: every correlation is NaN
    Direct,    ///< magnitudes beyond the transform's safe range: direct sums
    Fourier,   ///< overlap-save transform, direct sums where it is too coarse
};

/// One correlation template with its constant sums and its spectrum.
struct Kernel
{
    double y[kWindow] = {};
    /// Sum and sum of squares, accumulated k = 0 .. 1005 as the direct form does.
    double sy = 0.0;
    double syy = 0.0;
    /// N * syy - sy * sy, the template's term under the root.
    double dy = 0.0;
    /// The template's mean, taken out before the transform: the sum of
    /// products is conv(x, y - offset) + offset * sum(x), and sum(x) is exact.
    double offset = 0.0;
    /// Euclidean norm and largest magnitude of the centred template.
    double norm = 0.0;
    double largestCentred = 0.0;
    /// The transform works on the centred template times a power of two
    /// that brings it near 1 (exact both ways), so that templates of any
    /// magnitude stay in its range; `unscale` undoes it.
    double unscale = 1.0;
    /// A template whose magnitudes are all below 1e-290 is held as `y`
    /// times 2^tinyShift (exact both ways), so that no product or sum is a
    /// subnormal number, which the processor handles slowly; 0 otherwise.
    /// Its sums of products are then those of the stored template times
    /// 2^tinyShift bit for bit (tinyCorrelation()).
    int tinyShift = 0;
    double centred[kWindow] = {};
    KernelMode mode = KernelMode::Zero;
    /// Spectrum of the scaled centred template / kFftSize, zero padded
    /// (Fourier mode only); and the same at the short length.
    FftwBuffer<fftw_complex> spectrum;
    FftwBuffer<fftw_complex> shortSpectrum;

    /// The constant sums, the mode and (Fourier mode) the centred template,
    /// from `y`.
    void prepare();
};

/// The two templates and the taper, with their spectra. Read-only once set
/// up, so any thread may compute with them.
struct Templates
{
    Kernel forward;  // newest sample paired with the last template value
    Kernel reversed; // newest sample paired with the first template value
    FftwBuffer<fftw_complex> taperSpectrum;
    bool taperZero = true;
};

/// Sets up the templates from the marker values as stored (only the first
/// 1006 are used), with `fft` for their spectra.
void setUpTemplates(Templates &templates, const std::vector<double> &markerValues,
                    RealTransform &fft);

} // namespace dsp::analysis
