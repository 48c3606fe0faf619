#include "dsp/templateanalysis.h"

#include "dsp/conversions.h"
#include "dsp/fftwplanner.h"

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstring>

namespace dsp {

namespace {

constexpr int kWindow = analysis::kWindow;
/// Earlier samples each correlation output needs besides its own.
constexpr int kHistory = kWindow - 1;
/// Overlap-save transform length and the outputs one transform yields
/// (4096 points: about three outputs per template tap).
constexpr int kFftSize = 4096;
constexpr int kHop = kFftSize - kHistory;
constexpr int kSpectrum = kFftSize / 2 + 1;

/// First step whose correlation feeds the detector and the components.
constexpr std::int64_t kOutputStart = 2640;
/// First step whose correlations feed the cumulative sum.
constexpr std::int64_t kCumulativeStart = 2000;

/// Rounding error of one transformed correlation output, as a multiple of
/// DBL_EPSILON * |block input| * |centred template| (Euclidean norms).
/// Measured errors on noise reach about 8 at this transform length; the
/// estimate only has to be a safe bound.
constexpr double kFourierErrorScale = 16.0;
/// Largest estimated correlation error accepted from the transform. A step
/// whose estimate is larger (a near-constant window or template, a quiet
/// window in a loud block) sums its products directly instead.
constexpr double kMaxCorrelationError = 3e-14;

/// The correlation coefficient from its five sums, evaluated exactly as the
/// direct form evaluates it (same operations, same order).
inline double correlation(double sxy, double sx, double sxx, double sy, double syy)
{
    return (1006 * sxy - sx * sy)
           / std::sqrt((1006 * sxx - sx * sx) * (1006 * syy - sy * sy) + 1e-9);
}

/// How the sum of products with one template is formed.
enum class KernelMode {
    Zero,      ///< all-zero template: the sum is exactly 0
    Undefined, ///< the template's own term is NaN: every correlation is NaN
    Direct,    ///< magnitudes outside the transform's safe range: direct sums
    Fourier,   ///< overlap-save transform, direct sums where it is too coarse
};

/// One correlation template with its constant sums and its spectrum.
struct Kernel
{
    double y[kWindow] = {};
    /// Sum and sum of squares, accumulated k = 0 .. 1005 as the direct form does.
    double sy = 0.0;
    double syy = 0.0;
    /// 1006 * syy - sy * sy, the template's term under the root.
    double dy = 0.0;
    /// The template's mean, taken out before the transform: the sum of
    /// products is conv(x, y - offset) + offset * sum(x), and sum(x) is exact.
    double offset = 0.0;
    /// Euclidean norm of the centred template y - offset.
    double norm = 0.0;
    KernelMode mode = KernelMode::Zero;
    /// Spectrum of (y - offset) / kFftSize, zero padded (Fourier mode only).
    FftwBuffer<fftw_complex> spectrum;

    void prepare()
    {
        double largest = 0.0;
        bool finite = true;
        for (int k = 0; k < kWindow; ++k) {
            sy += y[k];
            syy += y[k] * y[k];
            finite = finite && std::isfinite(y[k]);
            largest = std::max(largest, std::fabs(y[k]));
        }
        dy = 1006 * syy - sy * sy;
        if (std::isnan(dy)) {
            mode = KernelMode::Undefined;
            return;
        }
        if (largest == 0.0) {
            mode = KernelMode::Zero;
            return;
        }
        if (!finite || !std::isfinite(dy) || largest > 1e140 || largest < 1e-140) {
            mode = KernelMode::Direct;
            return;
        }
        offset = sy / kWindow;
        double squares = 0.0;
        for (int k = 0; k < kWindow; ++k)
            squares += (y[k] - offset) * (y[k] - offset);
        norm = std::sqrt(squares);
        mode = KernelMode::Fourier;
    }
};

} // namespace

struct TemplateAnalysis::Impl
{
    Impl(AnalysisObserver &o, FrameSink &f) : observer(o), frameSink(f) {}

    AnalysisObserver &observer;
    FrameSink &frameSink;
    std::int64_t wordCount = 0;
    std::int64_t samples = 0;
    analysis::KeptRange kept = {0, 0};

    Kernel marker;   // newest sample paired with the last template value
    Kernel mirrored; // newest sample paired with the first template value
    FftwBuffer<fftw_complex> taperSpectrum;
    bool taperZero = true;

    // The transform with its buffers, made once per object: the block goes
    // in, its spectrum times a kernel's is `product`, and each kernel's
    // correlations come back into a buffer of their own.
    RealTransform fft{kFftSize};
    FftwBuffer<fftw_complex> product = allocateZeroed<fftw_complex>(kSpectrum);
    FftwBuffer<double> markerOut = allocateZeroed<double>(kFftSize);
    FftwBuffer<double> mirroredOut = allocateZeroed<double>(kFftSize);
    FftwBuffer<double> amplitudeOut = allocateZeroed<double>(kFftSize);

    // The current block: kHistory earlier scaled samples, then `filled` new
    // ones for steps blockStart, blockStart + 1, ...
    double blockX[kFftSize] = {};
    std::int32_t blockWords[kHop] = {};
    std::int32_t blockFrames[2 * kHop] = {};
    // Per step of the block: the window's sum and sum of squares, and the
    // correlations with the two templates.
    double windowSum[kHop] = {};
    double windowSquares[kHop] = {};
    double markerCorr[kHop] = {};
    double mirroredCorr[kHop] = {};
    int filled = 0;
    std::int64_t blockStart = analysis::kLeadInWords;
    std::int64_t pushed = 0;
    /// 0: first loop running, 1: first loop finished, 2: both finished.
    int phase = 0;

    // Loop state, as the direct form keeps it. The ring of scaled samples
    // is shared by both loops and kept as exact integer running sums.
    std::int32_t sampleRing[kWindow] = {};
    std::int64_t sumX = 0;
    std::int64_t sumXX = 0;
    std::int32_t delayLine[kWindow] = {};
    std::int32_t asymWord = 0;
    std::int32_t symWord = 0;
    double absCorr = 0.0;
    double residualWeight = 0.0;
    double cumulativeSum = 0.0;
    std::int32_t blockValues[analysis::kBlock] = {};
    int detectorPeak = -10000;
    int detectorPeakBlock = -1;
    int detectorColumns = 0;
    int cumulativeColumns = 0;
    int cumulativeFirst = 0; // low of the fifth block of the second loop
    int cumulativeLast = 0;  // low of the last block

    void setUp(const std::vector<double> &markerValues);
    void push(const std::int32_t *words, std::size_t count, bool second);
    void finish(bool second);
    void processBlock(bool second);
    double productSum(const Kernel &kernel, const double *transformed, int index, double blockNorm,
                      double sx, double dx) const;
    double directSum(const Kernel &kernel, int index) const;
    /// Turns the sums of products in `values` (steps from .. filled - 1 of
    /// the block) into correlation coefficients with `kernel`, in place.
    void correlations(double *values, const Kernel &kernel, int from) const;
};

void TemplateAnalysis::Impl::setUp(const std::vector<double> &markerValues)
{
    const double pi = 3.14159265356;
    const int n = static_cast<int>(std::min<std::size_t>(markerValues.size(), kWindow));
    double taper[kWindow] = {};
    for (int i = 0; i < n; ++i) {
        taper[i] = 1 - std::cos(2 * pi * i / 1006);
        const double v = markerValues[static_cast<std::size_t>(i)] / 20000.0;
        marker.y[n - 1 - i] = v;
        mirrored.y[i] = v;
        taperZero = taperZero && taper[i] == 0.0;
    }
    marker.prepare();
    mirrored.prepare();

    auto transformKernel = [this](const double *values, double scale) {
        FftwBuffer<fftw_complex> out = allocateZeroed<fftw_complex>(kSpectrum);
        double *in = fft.input();
        std::fill(in, in + kFftSize, 0.0);
        for (int k = 0; k < kWindow; ++k)
            in[k] = values[k] * scale;
        fft.forward(in, out.get());
        return out;
    };
    // The inverse transform is unnormalised: fold 1 / kFftSize into the
    // kernels (a power of two, so the scaling is exact).
    for (Kernel *kernel : {&marker, &mirrored}) {
        if (kernel->mode == KernelMode::Fourier) {
            double centred[kWindow];
            for (int k = 0; k < kWindow; ++k)
                centred[k] = kernel->y[k] - kernel->offset;
            kernel->spectrum = transformKernel(centred, 1.0 / kFftSize);
        }
    }
    if (!taperZero) {
        double weights[kWindow];
        for (int k = 0; k < kWindow; ++k)
            weights[k] = taper[k] / 200000;
        taperSpectrum = transformKernel(weights, 1.0 / kFftSize);
    }
}

double TemplateAnalysis::Impl::productSum(const Kernel &kernel, const double *transformed,
                                          int index, double blockNorm, double sx, double dx) const
{
    switch (kernel.mode) {
    case KernelMode::Zero:
    case KernelMode::Undefined:
        return 0.0;
    case KernelMode::Fourier: {
        if (blockNorm == 0.0)
            return 0.0; // an all-zero block: every product is exactly zero
        const double mean = kernel.offset * sx;
        const double under = dx * kernel.dy + 1e-9;
        const double error =
            DBL_EPSILON * (kFourierErrorScale * blockNorm * kernel.norm + std::fabs(mean));
        // |r error| ~ 1006 * error / sqrt(under), compared without the root.
        const double scaled = 1006 * error;
        if (under > 0.0 && scaled * scaled <= kMaxCorrelationError * kMaxCorrelationError * under)
            return transformed[index] + mean;
        return directSum(kernel, index);
    }
    case KernelMode::Direct:
        break;
    }
    return directSum(kernel, index);
}

double TemplateAnalysis::Impl::directSum(const Kernel &kernel, int index) const
{
    // The direct form's order: newest sample with y[0], k = 0 .. 1005.
    double sum = 0.0;
    for (int k = 0; k < kWindow; ++k)
        sum += blockX[index - k] * kernel.y[k];
    return sum;
}

void TemplateAnalysis::Impl::correlations(double *values, const Kernel &kernel, int from) const
{
    const double sy = kernel.sy;
    const double syy = kernel.syy;
    for (int t = from; t < filled; ++t)
        values[t] = correlation(values[t], windowSum[t], windowSquares[t], sy, syy);
}

void TemplateAnalysis::Impl::push(const std::int32_t *words, std::size_t count, bool second)
{
    while (count > 0 && pushed < samples) {
        const std::int64_t room = std::min<std::int64_t>(kHop - filled, samples - pushed);
        const int take =
            static_cast<int>(std::min<std::int64_t>(room, static_cast<std::int64_t>(count)));
        for (int i = 0; i < take; ++i) {
            std::int32_t w = words[i];
            if (second) {
                const std::int64_t step = blockStart + filled;
                if (step < kept.first || step > kept.last)
                    w = analysis::edgeSineWord(step);
            }
            blockWords[filled] = w;
            blockX[kHistory + filled] = w / 20000;
            ++filled;
        }
        words += take;
        count -= static_cast<std::size_t>(take);
        pushed += take;
        if (filled == kHop)
            processBlock(second);
    }
}

void TemplateAnalysis::Impl::finish(bool second)
{
    // Words never pushed count as zero words.
    static const std::int32_t zeros[256] = {};
    while (pushed < samples)
        push(zeros, static_cast<std::size_t>(std::min<std::int64_t>(256, samples - pushed)),
             second);
    if (filled > 0)
        processBlock(second);
    // The next loop starts from zero history before step 48.
    std::fill(blockX, blockX + kFftSize, 0.0);
    blockStart = analysis::kLeadInWords;
    pushed = 0;
}

void TemplateAnalysis::Impl::processBlock(bool second)
{
    const int used = kHistory + filled;
    std::fill(blockX + used, blockX + kFftSize, 0.0);
    // Squares of integers below 2^17, at most 2048 of them: every partial sum
    // is an exact integer, so the order of accumulation does not matter.
    double partial[4] = {};
    for (int i = 0; i < kFftSize; i += 4) {
        for (int lane = 0; lane < 4; ++lane)
            partial[lane] += blockX[i + lane] * blockX[i + lane];
    }
    const double energy = (partial[0] + partial[1]) + (partial[2] + partial[3]);
    const double blockNorm = std::sqrt(energy);

    if (energy > 0.0) {
        const bool needMarker = marker.mode == KernelMode::Fourier;
        const bool needMirrored = second && mirrored.mode == KernelMode::Fourier;
        if (needMarker || needMirrored) {
            std::copy(blockX, blockX + kFftSize, fft.input());
            fft.forward();
            auto applyKernel = [this](const FftwBuffer<fftw_complex> &kernelSpectrum,
                                      FftwBuffer<double> &out) {
                RealTransform::multiply(fft.spectrum(), kernelSpectrum.get(), product.get(),
                                        kSpectrum);
                fft.backward(product.get(), out.get());
            };
            if (needMarker)
                applyKernel(marker.spectrum, markerOut);
            if (needMirrored)
                applyKernel(mirrored.spectrum, mirroredOut);
        }
        if (!second && !taperZero) {
            double *in = fft.input();
            for (int i = 0; i < kFftSize; ++i)
                in[i] = std::fabs(blockX[i]);
            fft.forward();
            RealTransform::multiply(fft.spectrum(), taperSpectrum.get(), product.get(), kSpectrum);
            fft.backward(product.get(), amplitudeOut.get());
        }
    }

    // Phase 1: the ring's exact running sums, step by step.
    int slot = static_cast<int>(blockStart % kWindow);
    for (int t = 0; t < filled; ++t) {
        const std::int64_t x = blockWords[t] / 20000;
        const std::int64_t old = sampleRing[slot];
        sumX += x - old;
        sumXX += x * x - old * old;
        sampleRing[slot] = static_cast<std::int32_t>(x);
        slot = slot + 1 == kWindow ? 0 : slot + 1;
        windowSum[t] = static_cast<double>(sumX);
        windowSquares[t] = static_cast<double>(sumXX);
    }

    // Phase 2: the correlations of the steps whose results are used. The
    // sums of products come first (a step may need a direct sum); the
    // coefficients then follow in a branch-free loop that vectorises, with
    // the same correctly rounded operations in the same order.
    const std::int64_t lastUnused = second ? kCumulativeStart : kOutputStart;
    const int from =
        static_cast<int>(std::clamp<std::int64_t>(lastUnused + 1 - blockStart, 0, filled));
    for (int t = from; t < filled; ++t) {
        const int index = kHistory + t;
        const double sx = windowSum[t];
        const double dx = 1006 * windowSquares[t] - sx * sx;
        markerCorr[t] = productSum(marker, markerOut.get(), index, blockNorm, sx, dx);
        if (second)
            mirroredCorr[t] = productSum(mirrored, mirroredOut.get(), index, blockNorm, sx, dx);
    }
    correlations(markerCorr, marker, from);
    if (second)
        correlations(mirroredCorr, mirrored, from);

    // Phase 3: components, block values and columns, step by step. The
    // positions step mod 1006, (step - 503) mod 1006 and step mod 800 are
    // carried along instead of divided out.
    int ringSlot = static_cast<int>(blockStart % kWindow);
    int blockSlot = static_cast<int>(blockStart % analysis::kBlock);
    for (int t = 0; t < filled; ++t, ringSlot = ringSlot + 1 == kWindow ? 0 : ringSlot + 1,
             blockSlot = blockSlot + 1 == analysis::kBlock ? 0 : blockSlot + 1) {
        const std::int64_t step = blockStart + t;
        if (!second) {
            blockFrames[2 * t] = asymWord;
            blockFrames[2 * t + 1] = symWord;
            if (step <= kOutputStart)
                continue;
            const double r = markerCorr[t];
            const double amplitude = energy > 0.0 && !taperZero ? amplitudeOut[kHistory + t] : 0.0;
            delayLine[ringSlot] = blockWords[t];
            const std::int32_t H = delayLine[ringSlot >= 503 ? ringSlot - 503 : ringSlot + 503];
            asymWord = toInt32(2 * absCorr * absCorr * H);
            symWord = toInt32(H * residualWeight);
            absCorr = std::fabs(r);
            residualWeight = 1 - r * r;
            blockValues[blockSlot] = toInt32(std::fabs(r) * amplitude);
            if (blockSlot == 0) {
                const int peak = *std::max_element(blockValues, blockValues + analysis::kBlock);
                observer.detectorColumn(detectorColumns, peak);
                ++detectorColumns;
                if (detectorColumns != 1 && peak > detectorPeak) {
                    detectorPeak = peak;
                    detectorPeakBlock = detectorColumns;
                }
            }
        } else {
            if (step > kCumulativeStart)
                cumulativeSum = cumulativeSum + 2.5 * (markerCorr[t] - mirroredCorr[t]);
            if (step > kOutputStart) {
                blockValues[blockSlot] = toInt32(cumulativeSum);
                if (blockSlot == 0) {
                    const auto range =
                        std::minmax_element(blockValues, blockValues + analysis::kBlock);
                    const int hi = *range.second;
                    const int lo = *range.first;
                    observer.cumulativeColumn(cumulativeColumns, hi, lo);
                    ++cumulativeColumns;
                    if (cumulativeColumns == 5)
                        cumulativeFirst = lo;
                    if (step / analysis::kBlock + 4 >= wordCount / analysis::kBlock)
                        cumulativeLast = lo;
                }
            }
        }
    }
    if (!second)
        frameSink.framesReady(blockWords, blockFrames, static_cast<std::size_t>(filled));

    std::memmove(blockX, blockX + filled, kHistory * sizeof(double));
    blockStart += filled;
    filled = 0;
}

TemplateAnalysis::TemplateAnalysis(const std::vector<double> &markerValues, std::int64_t wordCount,
                                   AnalysisObserver &observer, FrameSink &frames)
    : d(std::make_unique<Impl>(observer, frames))
{
    d->wordCount = wordCount;
    d->kept = analysis::keptRange(wordCount);
    d->samples = std::max<std::int64_t>(0, wordCount - analysis::kLeadInWords);
    d->setUp(markerValues);
}

TemplateAnalysis::~TemplateAnalysis() = default;

std::int64_t TemplateAnalysis::sampleCount() const
{
    return d->samples;
}

void TemplateAnalysis::pushFirst(const std::int32_t *samples, std::size_t count)
{
    if (d->phase == 0)
        d->push(samples, count, false);
}

void TemplateAnalysis::finishFirst()
{
    if (d->phase != 0)
        return;
    d->finish(false);
    d->phase = 1;
}

void TemplateAnalysis::pushSecond(const std::int32_t *samples, std::size_t count)
{
    finishFirst();
    if (d->phase == 1)
        d->push(samples, count, true);
}

void TemplateAnalysis::finishSecond()
{
    finishFirst();
    if (d->phase != 1)
        return;
    d->finish(true);
    d->phase = 2;
}

int TemplateAnalysis::peakBlock() const
{
    return d->detectorPeakBlock;
}

int TemplateAnalysis::change() const
{
    return saturateToInt32(static_cast<std::int64_t>(d->cumulativeLast) - d->cumulativeFirst);
}

} // namespace dsp
