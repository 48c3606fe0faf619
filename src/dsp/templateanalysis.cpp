// The template-correlation analysis.
//
// Step t (t >= 48) reads the processed word w(t) and scales it to the
// integer x(t) = w(t) / 20000 (truncated). Its window is x(t - 1005) ..
// x(t), and with a template y of N = 1006 values (marker / 20000.0) the
// correlation coefficient is
//
//     r(t) = (N Sxy - Sx Sy) / sqrt((N Sxx - Sx^2) (N Syy - Sy^2) + 1e-9)
//
// with Sxy = sum_k x(t - k) y[k] and the plain sums and sums of squares of
// the window and of the template. Two templates are used: the forward one
// pairs the newest sample with the last template value, the time-reversed
// one with the first.
//
// First loop, over the words as stored: r is taken with the forward
// template, and after step 2640
//   - the detector word is |r| times the tapered amplitude
//     A(t) = sum_k |x(t - k)| (1 - cos(2 pi k / 1006)) / 200000;
//     each block of 800 steps reports its largest, and the block with the
//     largest of all (the first block aside) is the peak;
//   - the components of the word d delayed by 503 steps use the previous
//     step's r: asymmetrical 2 r^2 d, symmetrical (1 - r^2) d. Each step's
//     frame holds the components as they stood when the step began.
// Second loop, over the same words with those outside the kept range
// replaced by the edge sine: after step 2000 the cumulative sum grows by
// 2.5 (r_forward - r_reversed); after step 2640 each block reports its
// largest and smallest value. The change is the smallest of the last block
// minus the smallest of the fifth.
//
// The window sums Sx and Sxx are sums of integers below 2^17, kept as exact
// running sums, so the order of accumulation never matters. Sxy comes from
// an overlap-save transform with the template's mean taken out; where its
// rounding could move r by more than 3e-14 (a near-constant window, a quiet
// window in a loud block) or the template's magnitudes are outside the
// transform's safe range, the step sums its 1006 products directly, in the
// direct form's order. A run of such steps beside a loud stretch is first
// transformed again without it.
//
// The work goes block by block through a short ring of lanes. The pushing
// thread fills a lane with the block's words; any thread (the pushing one
// or the object's helper) forms its samples, window sums, transforms,
// coefficients, detector words and frames, which depend on that lane
// alone; the pushing thread then runs its steps in order. So the results
// never depend on which thread computed what.

#include "dsp/templateanalysis.h"

#include "dsp/conversions.h"
#include "dsp/fftwplanner.h"
#include "dsp/widevectors.h"
#include "dsp/workring.h"

#include <algorithm>
#include <array>
#include <cfloat>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <utility>

namespace dsp {

namespace {

using analysis::kBlock;
using analysis::kHalfWindow;
using analysis::kSampleScale;
using analysis::kWindow;

/// Earlier samples each correlation output needs besides its own.
constexpr int kHistory = kWindow - 1;
/// Overlap-save transform length and the outputs one transform yields
/// (4096 points: about three outputs per template tap).
constexpr int kFftSize = 4096;
constexpr int kHop = kFftSize - kHistory;
constexpr int kSpectrum = kFftSize / 2 + 1;

/// The last step whose correlation feeds neither the detector nor the
/// components; the frames of steps up to it stay zero.
constexpr std::int64_t kLastSkippedOutputStep = 2640;
/// The last step whose correlations stay out of the cumulative sum.
constexpr std::int64_t kLastSkippedCumulativeStep = 2000;
/// The tapered amplitude is divided by this.
constexpr double kAmplitudeScale = 200000;
/// Weight of each step's correlation difference in the cumulative sum.
constexpr double kCumulativeWeight = 2.5;
/// The block whose smallest cumulative value the change starts from.
constexpr int kChangeFromColumn = 5;

/// Rounding error of one transformed correlation output, as a multiple of
/// DBL_EPSILON * |block input| * |centred template| (Euclidean norms).
/// Measured errors on noise reach about 8 at this transform length; the
/// estimate only has to be a safe bound.
constexpr double kFourierErrorScale = 16.0;
/// Largest estimated correlation error accepted from the transform. A step
/// whose estimate is larger (a near-constant window or template) sums its
/// products directly instead.
constexpr double kMaxCorrelationError = 3e-14;
/// A block's loud samples (clicks) are taken out of its transform and added
/// as direct products, so that they do not swamp the quiet windows around
/// them. At most this many: a loud sample's square exceeds the block's
/// energy / kMaxLoud.
constexpr int kMaxLoud = 32;
/// Runs of at least this many neighbouring steps that need direct sums are
/// transformed once more on their own first.
constexpr int kMinRetriedRun = 48;
/// Steps whose direct sums are formed side by side.
constexpr int kDirectTile = 16;

/// The correlation coefficient from its five sums, evaluated exactly as the
/// direct form evaluates it (same operations, same order).
inline double correlation(double sxy, double sx, double sxx, double sy, double syy)
{
    return (kWindow * sxy - sx * sy)
           / std::sqrt((kWindow * sxx - sx * sx) * (kWindow * syy - sy * sy) + 1e-9);
}

/// How the sum of products with one template is formed.
enum class KernelMode {
    Zero,      ///< all-zero template: the sum is exactly 0
    Flat,      ///< all values equal: no shape, every coefficient is 0
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
    double centred[kWindow] = {};
    KernelMode mode = KernelMode::Zero;
    /// Spectrum of the scaled centred template / kFftSize, zero padded
    /// (Fourier mode only).
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
};

/// Which of the two loops over the samples a push belongs to.
enum class Loop { First, Second };

/// How far the object has come.
enum class Stage { FirstLoop, SecondLoop, Finished };

/// The smallest and the largest of a block's values.
std::pair<std::int32_t, std::int32_t> range(const std::int32_t *values)
{
    std::int32_t low = values[0];
    std::int32_t high = values[0];
    for (int i = 1; i < kBlock; ++i) {
        low = std::min(low, values[i]);
        high = std::max(high, values[i]);
    }
    return {low, high};
}

/// The samples one loop sees over a block, and the exact window sums at
/// each of its steps; made from the words by computeLane().
struct LoopInput
{
    /// kHistory earlier scaled samples, then the block's, then zeros.
    /// Aligned as FFTW's own buffers, so that the transform reads it in place.
    alignas(64) double x[kFftSize] = {};
    double sumAt[kHop] = {};
    double squaresAt[kHop] = {};
};

/// One block on its way through the analysis. The pushing thread fills in
/// its words; whichever thread takes it then forms everything that depends
/// on the block alone (computeLane(), which reads only the lane and the
/// templates); last, the pushing thread runs the block's steps in order
/// (detectorSteps(), cumulativeSteps()).
struct Lane
{
    /// Which loops run over the block. When both do and the second sees the
    /// first one's samples throughout (no edge sine in reach), one
    /// transform serves both: the coefficients are the same bit for bit.
    bool first = false;
    bool second = false;
    bool shared = false;
    std::int64_t start = analysis::kLeadInWords;
    int filled = 0;
    /// The words as pushed, kHistory earlier ones first (zeros before step
    /// 48); and the frames the first loop's steps write.
    std::int32_t words[kHistory + kHop] = {};
    std::int32_t frames[2 * kHop] = {};
    /// By loop.
    LoopInput input[2];

    /// Coefficients by step of the block: with the forward template by
    /// loop, with the reversed one in the second loop; and the first loop's
    /// detector words, |r| times the tapered amplitude.
    double forward[2][kHop] = {};
    double reversed[kHop] = {};
    std::int32_t detectorWords[kHop] = {};

    /// The transform with its buffers: the block goes in, its spectrum
    /// times a kernel's is `product`, and each kernel's outputs come back
    /// into a buffer of their own (the forward template's into the
    /// transform's output).
    RealTransform fft{kFftSize};
    FftwBuffer<fftw_complex> product = allocateZeroed<fftw_complex>(kSpectrum);
    FftwBuffer<double> reversedOut = allocateZeroed<double>(kFftSize);
    FftwBuffer<double> amplitudeOut = allocateZeroed<double>(kFftSize);
    /// A second transform's outputs for some of the steps (retryRun()).
    FftwBuffer<double> retryOut = allocateZeroed<double>(kFftSize);

    /// Sum of squares of the transformed samples and its root.
    double energy = 0.0;
    double norm = 0.0;
    /// The block's loud samples, left out of its transform: their block
    /// positions, the norm of what the transform took in, and per step the
    /// magnitudes of the loud samples in its window.
    struct Loud
    {
        int at[kMaxLoud] = {};
        int count = 0;
        double transformNorm = 0.0;
        double inWindow[kHop] = {};
    } loud;
};

/// The components of a frame: `word` weighted by 2 r^2 and by 1 - r^2,
/// given as |r| and 1 - r^2.
inline void setFrame(double absCorr, double residualWeight, std::int32_t word,
                     std::int32_t *frame)
{
    frame[0] = toInt32(2 * absCorr * absCorr * word);
    frame[1] = toInt32(word * residualWeight);
}

/// The frame of step `s`: the components as step s - 1 left them. Step
/// s - 1 weights the word of step s - 504, `delayed`, with r of step s - 2,
/// `before`: by 2 r^2 and by 1 - r^2. Before the output start the components
/// are 0, and so are r and the word where their steps are that early.
void frameOf(std::int64_t s, double before, std::int32_t delayed, std::int32_t *frame)
{
    const std::int64_t last = s - 1;
    if (last <= kLastSkippedOutputStep) {
        frame[0] = frame[1] = 0;
        return;
    }
    const bool counted = last - 1 > kLastSkippedOutputStep;
    setFrame(counted ? std::fabs(before) : 0.0, counted ? 1 - before * before : 0.0,
             last - kHalfWindow > kLastSkippedOutputStep ? delayed : 0, frame);
}

/// The first step from which frameOf() counts r and the word in full.
constexpr std::int64_t kFirstFullFrame = kLastSkippedOutputStep + kHalfWindow + 2;

/// frameOf() for `count` steps from kFirstFullFrame on: `before` and
/// `delayed` are the steps' r and words, `frames` their frames.
void fullFrames(const double *before, const std::int32_t *delayed, int count,
                std::int32_t *frames)
{
    for (int i = 0; i < count; ++i)
        setFrame(std::fabs(before[i]), 1 - before[i] * before[i], delayed[i], frames + 2 * i);
}

/// The first step of a block whose coefficient is used, as a block index.
int firstUsed(std::int64_t lastSkipped, const Lane &lane)
{
    return static_cast<int>(std::clamp<std::int64_t>(lastSkipped + 1 - lane.start, 0, lane.filled));
}

/// Puts the words of the lane's steps past the output start into the block
/// values, by step mod 800, and calls `blockEnd` after each step that ends
/// a block; `run(t, n)` sees each run of steps t .. t + n - 1 of one block
/// before it is copied.
template <typename BlockEnd, typename Run>
void copyByBlock(const Lane &lane, const std::int32_t *words, std::int32_t *values,
                 BlockEnd blockEnd, Run run)
{
    int t = firstUsed(kLastSkippedOutputStep, lane);
    int slot = static_cast<int>((lane.start + t) % kBlock);
    while (t < lane.filled) {
        const int n = slot == 0 ? 1 : std::min(lane.filled - t, kBlock - slot);
        run(t, n);
        std::copy(words + t, words + t + n, values + slot);
        if (slot == 0)
            blockEnd();
        t += n;
        slot = (slot + n) % kBlock;
    }
}

/// Two doubles side by side: a block's steps are checked two at a time,
/// with the same correctly rounded operations as one at a time.
using Pair = double __attribute__((vector_size(16)));
using PairBits = std::int64_t __attribute__((vector_size(16)));

inline Pair loadPair(const double *from)
{
    Pair v;
    std::memcpy(&v, from, sizeof v);
    return v;
}

inline double magnitude(double v)
{
    return std::fabs(v);
}

inline Pair magnitude(Pair v)
{
    return reinterpret_cast<Pair>(reinterpret_cast<PairBits>(v) & INT64_MAX);
}

/// What the check of a transformed sum needs of a Fourier-mode kernel and
/// the transform: `base` is kFourierErrorScale times the norm of what the
/// transform took in times the kernel's norm.
struct FourierTerms
{
    double offset;
    double dy;
    double largestCentred;
    double unscale;
    double base;

    FourierTerms(const Kernel &kernel, double transformNorm)
        : offset(kernel.offset), dy(kernel.dy), largestCentred(kernel.largestCentred),
          unscale(kernel.unscale), base(kFourierErrorScale * transformNorm * kernel.norm)
    {
    }
};

/// The sum of products of a step (or a Pair of steps) from the transform's
/// output `transformed`, into `sum`; false where its error could move the
/// coefficient too far, and the step needs a direct sum. `sx` and `sxx` are
/// the window's exact sums, `loud` the magnitudes of its samples that the
/// transform left out. Without branches, so that it runs on Pairs.
template <typename Value>
inline auto fourierSum(const FourierTerms &k, Value sx, Value sxx, Value loud, Value transformed,
                       Value &sum)
{
    const Value dx = kWindow * sxx - sx * sx;
    const Value mean = k.offset * sx;
    const Value under = dx * k.dy + 1e-9;
    const Value error = DBL_EPSILON * (k.base + 2 * loud * k.largestCentred + magnitude(mean));
    // |r error| ~ N * error / sqrt(under), compared without the root.
    const Value scaled = kWindow * error;
    // Every product of a zero window is exactly zero. A term under the root
    // that rounding made negative (a template of almost no shape) makes the
    // coefficient NaN whatever the sum.
    const auto zero = (sxx == 0.0) | (under < 0.0);
    const auto fine =
        (under > 0.0) & (scaled * scaled <= kMaxCorrelationError * kMaxCorrelationError * under);
    sum = zero ? Value{} : transformed * k.unscale + mean;
    return zero | fine;
}

} // namespace

struct TemplateAnalysis::Impl
{
    Impl(AnalysisObserver &o, FrameSink &f, bool wide)
        : observer(o), frameSink(f), wide(wide && wideVectorsSupported())
    {
    }

    AnalysisObserver &observer;
    FrameSink &frameSink;
    std::int64_t samples = 0;
    analysis::KeptRange kept = {0, 0};
    Stage stage = Stage::FirstLoop;
    /// Both loops in one pass over the words (runLoopsTogether()).
    bool together = false;

    /// The two templates and the taper, with their spectra. Read-only once
    /// set up, so any thread may compute with them.
    struct Templates
    {
        Kernel forward;  // newest sample paired with the last template value
        Kernel reversed; // newest sample paired with the first template value
        FftwBuffer<fftw_complex> taperSpectrum;
        bool taperZero = true;
    } templates;

    /// The blocks on their way; `filling` when the next one is being filled.
    WorkRing<Lane> lanes{[this](Lane &lane, bool) { computeLane(lane); }};
    bool filling = false;
    /// Where the next block starts, and whether its history is zero (the
    /// start of a loop) rather than the previous block's samples.
    std::int64_t nextStart = analysis::kLeadInWords;
    bool freshHistory = true;
    std::int64_t pushed = 0;

    /// The last 800 detector or cumulative words, by step mod 800. Both
    /// loops write the same slots: the second loop's first block still holds
    /// the first loop's last values where it has not written yet.
    std::int32_t blockValues[kBlock] = {};

    /// First-loop state.
    struct Detector
    {
        /// r of the last and the last but one step before the next block.
        double rBefore[2] = {};
        int peak = -10000;
        int peakBlock = -1;
        int columns = 0;
        /// The block under way in full (trackDetectorBlock()).
        DetectorBlock block;
        bool blockStarted = false;
        std::int32_t largestWord = 0;
    } detector;

    /// Second-loop state.
    struct Cumulative
    {
        double sum = 0.0;
        /// The sum's word after each step of the block being run.
        std::int32_t words[kHop] = {};
        int columns = 0;
        int firstLow = 0;    // smallest value of the fifth block
        int lastLow = 0;     // smallest value of the last block
        int lastColumn = -1; // the column lastLow is from
        /// With the loops together, the second loop's block values are its
        /// own, and its first block waits for the first loop's leftovers;
        /// the columns wait until the first loop's have all been shown.
        std::int32_t values[kBlock] = {};
        bool firstWaiting = false;
        std::int32_t waitingValues[kBlock] = {};
        std::vector<std::array<std::int32_t, 3>> waitingColumns;
    } cumulative;

    void setUp(const std::vector<double> &markerValues);
    void push(const std::int32_t *words, std::size_t count, Loop loop);
    void finish(Loop loop);

    // The pushing thread's part.
    Lane &fillingLane(Loop loop);
    void submit(Lane &lane);
    /// Runs the steps of the oldest lane in flight, computing lanes on this
    /// thread while it waits for it.
    void retireOldest();
    void detectorSteps(Lane &lane);
    void cumulativeSteps(Lane &lane);
    void trackDetectorBlock(const Lane &lane, int t, int n);
    /// The end of cumulative block `column` over `values`.
    void endCumulativeBlock(int column, const std::int32_t *values);
    void completeFirstColumn();

    // The numeric part, on any thread.
    /// Whether computeLane() takes the wide form.
    const bool wide;
    void computeLane(Lane &lane) const;
    void computeLaneBody(Lane &lane) const;
#if QUORVANE_WIDE_VECTORS
    QUORVANE_WIDE void computeLaneWide(Lane &lane) const { computeLaneBody(lane); }
#endif
    /// The samples `loop` sees over the lane's block, from its words.
    void scaleWords(Lane &lane, Loop loop) const;
    static void windowSums(LoopInput &in, int filled);
    /// The block's energy, and the transformed sums of products of `in`
    /// with the wanted kernels.
    void transformBlock(Lane &lane, LoopInput &in, bool withReversed,
                        bool withAmplitude) const;
    /// Transforms again, for a run of steps that needed direct sums, only
    /// the samples their windows reach: without the loud stretch beside
    /// them (a ping) the transform may be fine enough. Fills `values` of
    /// the steps it can and leaves the rest in `steps`, returning their count.
    int retryRun(const Kernel &kernel, Lane &lane, const LoopInput &in, int *steps, int count,
                 double *values) const;
    /// Direct sums of products for the steps listed in `steps`, into `sums`.
    void directSums(const Kernel &kernel, const LoopInput &in, const int *steps, int count,
                    double *sums) const;
    /// Finds the block's loud samples; when they are worth leaving out, makes
    /// `fftIn` the block without them and returns true.
    bool takeOutLoudSamples(Lane &lane, const LoopInput &in, double *fftIn) const;
    /// Adds the loud samples' products with `kernel` to the transform's `out`.
    void addLoudProducts(const Kernel &kernel, const Lane &lane, const LoopInput &in,
                         double *out) const;
    /// The coefficients with `kernel` of steps from .. filled - 1, into
    /// `values`: sums of products first (a step may need a direct sum),
    /// then, in a branch-free loop that vectorises, the coefficients, with
    /// the same correctly rounded operations in the same order.
    void coefficients(const Kernel &kernel, Lane &lane, const LoopInput &in, const double *out,
                      int from, double *values) const;
};

void TemplateAnalysis::Impl::setUp(const std::vector<double> &markerValues)
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

    RealTransform &fft = lanes.next().fft;
    auto transformKernel = [&fft](const double *values, double scale) {
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
    for (Kernel *kernel : {&templates.forward, &templates.reversed}) {
        if (kernel->mode == KernelMode::Fourier)
            kernel->spectrum = transformKernel(kernel->centred, 1.0 / kFftSize);
    }
    if (!templates.taperZero) {
        double weights[kWindow];
        for (int k = 0; k < kWindow; ++k)
            weights[k] = taper[k] / kAmplitudeScale;
        templates.taperSpectrum = transformKernel(weights, 1.0 / kFftSize);
    }
}

Lane &TemplateAnalysis::Impl::fillingLane(Loop loop)
{
    if (filling)
        return lanes.next();
    if (lanes.full())
        retireOldest();
    const Lane &previous = lanes.previous();
    Lane &lane = lanes.next();
    // The history first: with one lane, the previous block is this one.
    if (freshHistory)
        std::fill(lane.words, lane.words + kHistory, 0);
    else
        std::memmove(lane.words, previous.words + previous.filled, kHistory * sizeof(std::int32_t));
    filling = true;
    lane.first = loop == Loop::First;
    lane.second = together || loop == Loop::Second;
    lane.start = nextStart;
    lane.filled = 0;
    // The second loop sees the first one's samples when the whole reach of
    // the block's windows keeps its samples.
    const std::int64_t reachStart = std::max(analysis::kLeadInWords, lane.start - kHistory);
    lane.shared = lane.first && lane.second && reachStart >= kept.first
                  && lane.start + kHop - 1 <= kept.last;
    freshHistory = false;
    return lane;
}

void TemplateAnalysis::Impl::push(const std::int32_t *words, std::size_t count, Loop loop)
{
    while (count > 0 && pushed < samples) {
        Lane &lane = fillingLane(loop);
        const std::int64_t room = std::min<std::int64_t>(kHop - lane.filled, samples - pushed);
        const int take =
            static_cast<int>(std::min<std::int64_t>(room, static_cast<std::int64_t>(count)));
        std::copy(words, words + take, lane.words + kHistory + lane.filled);
        lane.filled += take;
        words += take;
        count -= static_cast<std::size_t>(take);
        pushed += take;
        if (lane.filled == kHop)
            submit(lane);
    }
}

void TemplateAnalysis::Impl::submit(Lane &lane)
{
    filling = false;
    nextStart += lane.filled;
    lanes.submit();
    // With a helper, the lane's steps run when the ring is full or at the
    // finish; the columns still reach the observer block by block.
    if (!lanes.hasHelper())
        retireOldest();
}

void TemplateAnalysis::Impl::retireOldest()
{
    Lane &lane = lanes.waitOldest();
    if (lane.first)
        detectorSteps(lane);
    if (lane.second)
        cumulativeSteps(lane);
    lanes.releaseOldest();
}

void TemplateAnalysis::Impl::finish(Loop loop)
{
    // Words never pushed count as zero words.
    static const std::int32_t zeros[256] = {};
    while (pushed < samples)
        push(zeros, static_cast<std::size_t>(std::min<std::int64_t>(256, samples - pushed)), loop);
    if (filling && lanes.next().filled > 0)
        submit(lanes.next());
    filling = false;
    while (!lanes.empty())
        retireOldest();
    if (together)
        completeFirstColumn();
    // The next loop starts from zero history before step 48.
    freshHistory = true;
    nextStart = analysis::kLeadInWords;
    pushed = 0;
}

void TemplateAnalysis::Impl::scaleWords(Lane &lane, Loop loop) const
{
    double *x = lane.input[loop == Loop::First ? 0 : 1].x;
    const int used = kHistory + lane.filled;
    if (loop == Loop::First) {
        for (int i = 0; i < used; ++i)
            x[i] = lane.words[i] / kSampleScale;
    } else {
        // The second loop's steps outside the kept range take the edge sine;
        // before step 48 its history is zero.
        const std::int64_t firstStep = lane.start - kHistory;
        const auto at = [&](std::int64_t step, int from) {
            return static_cast<int>(std::clamp<std::int64_t>(step - firstStep, from, used));
        };
        const int lead = at(analysis::kLeadInWords, 0);
        const int keptFrom = at(kept.first, lead);
        const int keptEnd = at(kept.last + 1, keptFrom);
        std::int32_t words[kHistory + kHop];
        std::fill(words, words + lead, 0);
        analysis::edgeSineWords(firstStep + lead, keptFrom - lead, words + lead);
        std::copy(lane.words + keptFrom, lane.words + keptEnd, words + keptFrom);
        analysis::edgeSineWords(firstStep + keptEnd, used - keptEnd, words + keptEnd);
        for (int i = 0; i < used; ++i)
            x[i] = words[i] / kSampleScale;
    }
    std::fill(x + used, x + kFftSize, 0.0);
}

// The exact sums over each step's window, block positions t .. t + 1005:
// the first step's formed whole, each later one by taking in the new
// sample and dropping the oldest. Integers below 2^17 throughout, so the
// order never matters.
void TemplateAnalysis::Impl::windowSums(LoopInput &in, int filled)
{
    std::int64_t sum = 0;
    std::int64_t squares = 0;
    for (int i = 0; i < kWindow; ++i) {
        const auto x = static_cast<std::int64_t>(in.x[i]);
        sum += x;
        squares += x * x;
    }
    for (int t = 0; t < filled; ++t) {
        if (t > 0) {
            const auto x = static_cast<std::int64_t>(in.x[t + kHistory]);
            const auto old = static_cast<std::int64_t>(in.x[t - 1]);
            sum += x - old;
            squares += x * x - old * old;
        }
        in.sumAt[t] = static_cast<double>(sum);
        in.squaresAt[t] = static_cast<double>(squares);
    }
}

void TemplateAnalysis::Impl::computeLane(Lane &lane) const
{
#if QUORVANE_WIDE_VECTORS
    if (wide) {
        computeLaneWide(lane);
        return;
    }
#endif
    computeLaneBody(lane);
}

void TemplateAnalysis::Impl::computeLaneBody(Lane &lane) const
{
    const int fromFirst = firstUsed(kLastSkippedOutputStep, lane);
    const int fromSecond = firstUsed(kLastSkippedCumulativeStep, lane);
    if (lane.first) {
        LoopInput &in = lane.input[0];
        scaleWords(lane, Loop::First);
        windowSums(in, lane.filled);
        transformBlock(lane, in, lane.shared, !templates.taperZero);
        // Shared, the forward coefficients serve the second loop's earlier
        // start as well.
        const int from = lane.shared ? fromSecond : fromFirst;
        coefficients(templates.forward, lane, in, lane.fft.output(), from, lane.forward[0]);
        const bool amplitudes = lane.energy > 0.0 && !templates.taperZero;
        for (int t = fromFirst; t < lane.filled; ++t) {
            const double amplitude = amplitudes ? lane.amplitudeOut[kHistory + t] : 0.0;
            lane.detectorWords[t] = toInt32(std::fabs(lane.forward[0][t]) * amplitude);
        }
        // The block's first two frames take r from the block before.
        const int full = static_cast<int>(std::min<std::int64_t>(
            std::max<std::int64_t>(kFirstFullFrame - lane.start, 2), lane.filled));
        for (int t = 2; t < full; ++t)
            frameOf(lane.start + t, lane.forward[0][t - 2],
                    lane.words[kHistory + t - 1 - kHalfWindow], lane.frames + 2 * t);
        if (full < lane.filled)
            fullFrames(lane.forward[0] + full - 2,
                       lane.words + kHistory + full - 1 - kHalfWindow, lane.filled - full,
                       lane.frames + 2 * full);
        if (lane.shared) {
            std::copy(lane.forward[0] + from, lane.forward[0] + lane.filled,
                      lane.forward[1] + from);
            coefficients(templates.reversed, lane, in, lane.reversedOut.get(), fromSecond,
                         lane.reversed);
        }
    }
    if (lane.second && !lane.shared) {
        LoopInput &in = lane.input[1];
        scaleWords(lane, Loop::Second);
        windowSums(in, lane.filled);
        transformBlock(lane, in, true, false);
        coefficients(templates.forward, lane, in, lane.fft.output(), fromSecond,
                     lane.forward[1]);
        coefficients(templates.reversed, lane, in, lane.reversedOut.get(), fromSecond,
                     lane.reversed);
    }
}

void TemplateAnalysis::Impl::directSums(const Kernel &kernel, const LoopInput &in,
                                        const int *steps, int count, double *sums) const
{
    // The direct form's order for each step: newest sample with y[0],
    // k = 0 .. 1005, from 0. A tile of neighbouring steps runs side by side,
    // each in its own accumulator, so the sums vectorise and every one is
    // rounded exactly as alone.
    int i = 0;
    while (i < count) {
        const int first = steps[i];
        int n = 1;
        while (n < kDirectTile && i + n < count && steps[i + n] == first + n)
            ++n;
        const double *x = in.x + kHistory + first;
        if (n == kDirectTile) {
            double acc[kDirectTile] = {};
            for (int k = 0; k < kWindow; ++k) {
                const double yk = kernel.y[k];
                for (int j = 0; j < kDirectTile; ++j)
                    acc[j] += x[j - k] * yk;
            }
            std::copy(acc, acc + kDirectTile, sums + first);
        } else {
            for (int j = 0; j < n; ++j) {
                double sum = 0.0;
                for (int k = 0; k < kWindow; ++k)
                    sum += x[j - k] * kernel.y[k];
                sums[first + j] = sum;
            }
        }
        i += n;
    }
}

bool TemplateAnalysis::Impl::takeOutLoudSamples(Lane &lane, const LoopInput &in,
                                                double *fftIn) const
{
    Lane::Loud &loud = lane.loud;
    loud.count = 0;
    loud.transformNorm = lane.norm;
    const double limit = lane.energy / kMaxLoud;
    int over = 0;
    for (int i = 0; i < kFftSize; ++i)
        over += in.x[i] * in.x[i] > limit;
    if (over == 0)
        return false;
    double loudEnergy = 0.0;
    for (int i = 0; i < kFftSize && loud.count < kMaxLoud; ++i) {
        const double x = in.x[i];
        if (x * x > limit) {
            loud.at[loud.count++] = i;
            loudEnergy += x * x;
        }
    }
    // Only worth it when the rest is much quieter. The energies are exact
    // integers, so is their difference.
    if ((lane.energy - loudEnergy) * 16 > lane.energy) {
        loud.count = 0;
        return false;
    }
    std::copy(in.x, in.x + kFftSize, fftIn);
    for (int i = 0; i < loud.count; ++i) {
        const int p = loud.at[i];
        fftIn[p] = 0.0;
        // Step t's window covers block positions t .. t + 1005.
        for (int t = std::max(0, p - kHistory); t <= std::min(p, lane.filled - 1); ++t)
            loud.inWindow[t] += std::fabs(in.x[p]);
    }
    loud.transformNorm = std::sqrt(lane.energy - loudEnergy);
    return true;
}

void TemplateAnalysis::Impl::addLoudProducts(const Kernel &kernel, const Lane &lane,
                                             const LoopInput &in, double *out) const
{
    // out holds the convolution with the scaled centred template.
    const int endOut = kHistory + lane.filled;
    for (int i = 0; i < lane.loud.count; ++i) {
        const int p = lane.loud.at[i];
        const double v = in.x[p];
        for (int index = std::max(p, kHistory); index < std::min(p + kWindow, endOut); ++index)
            out[index] += v * kernel.centred[index - p];
    }
}

int TemplateAnalysis::Impl::retryRun(const Kernel &kernel, Lane &lane, const LoopInput &in,
                                     int *steps, int count, double *values) const
{
    // Steps lo .. hi - 1 reach block positions lo .. hi - 1 + 1005; the
    // transform sees those alone, in place, so its outputs keep their index.
    const int lo = steps[0];
    const int end = steps[count - 1] + kWindow;
    RealTransform &fft = lane.fft;
    double *fftIn = fft.input();
    std::fill(fftIn, fftIn + kFftSize, 0.0);
    std::copy(in.x + lo, in.x + end, fftIn + lo);
    double energy = 0.0; // exact, as in transformBlock()
    for (int i = lo; i < end; ++i)
        energy += in.x[i] * in.x[i];
    fft.forward(fftIn, fft.spectrum());
    RealTransform::multiply(fft.spectrum(), kernel.spectrum.get(), lane.product.get(), kSpectrum);
    fft.backward(lane.product.get(), lane.retryOut.get());
    const FourierTerms terms(kernel, std::sqrt(energy));
    const double *out = lane.retryOut.get() + kHistory;
    int left = 0;
    for (int i = 0; i < count; ++i) {
        const int t = steps[i];
        if (!fourierSum(terms, in.sumAt[t], in.squaresAt[t], 0.0, out[t], values[t]))
            steps[left++] = t;
    }
    return left;
}

void TemplateAnalysis::Impl::coefficients(const Kernel &kernel, Lane &lane,
                                          const LoopInput &in, const double *out, int from,
                                          double *values) const
{
    // The steps that need a direct sum, in order.
    int direct[kHop];
    int directCount = 0;
    const int filled = lane.filled;
    switch (kernel.mode) {
    case KernelMode::Zero:
    case KernelMode::Flat:
    case KernelMode::Undefined:
        // Every product is exactly zero, or the sum does not matter.
        std::fill(values + from, values + filled, 0.0);
        break;
    case KernelMode::Direct:
        for (int t = from; t < filled; ++t) {
            values[t] = 0.0;
            direct[directCount] = t;
            directCount += in.squaresAt[t] != 0.0;
        }
        break;
    case KernelMode::Fourier: {
        const FourierTerms terms(kernel, lane.loud.transformNorm);
        const double *transformed = out + kHistory;
        const double *loud = lane.loud.inWindow;
        int t = from;
        for (; t + 2 <= filled; t += 2) {
            Pair sums;
            const auto fine = fourierSum(terms, loadPair(in.sumAt + t), loadPair(in.squaresAt + t),
                                         loadPair(loud + t), loadPair(transformed + t), sums);
            std::memcpy(values + t, &sums, sizeof sums);
            direct[directCount] = t;
            directCount += !fine[0];
            direct[directCount] = t + 1;
            directCount += !fine[1];
        }
        for (; t < filled; ++t) {
            direct[directCount] = t;
            directCount += !fourierSum(terms, in.sumAt[t], in.squaresAt[t], loud[t],
                                       transformed[t], values[t]);
        }
        break;
    }
    }
    // Runs of neighbouring steps, each tried again on its own.
    int kept = 0;
    for (int i = 0; i < directCount;) {
        int n = 1;
        while (i + n < directCount && direct[i + n] == direct[i] + n)
            ++n;
        std::memmove(direct + kept, direct + i, std::size_t(n) * sizeof(int));
        if (n >= kMinRetriedRun && kernel.mode == KernelMode::Fourier)
            kept += retryRun(kernel, lane, in, direct + kept, n, values);
        else
            kept += n;
        i += n;
    }
    directSums(kernel, in, direct, kept, values);

    const double sy = kernel.sy;
    const double syy = kernel.syy;
    for (int t = from; t < lane.filled; ++t)
        values[t] = correlation(values[t], in.sumAt[t], in.squaresAt[t], sy, syy);
}

void TemplateAnalysis::Impl::transformBlock(Lane &lane, LoopInput &in, bool withReversed,
                                            bool withAmplitude) const
{
    // Squares of integers below 2^17, at most 2048 of them: every partial sum
    // is an exact integer, so the order of accumulation does not matter.
    double partial[4] = {};
    for (int i = 0; i < kFftSize; i += 4) {
        for (int k = 0; k < 4; ++k)
            partial[k] += in.x[i + k] * in.x[i + k];
    }
    lane.energy = (partial[0] + partial[1]) + (partial[2] + partial[3]);
    lane.norm = std::sqrt(lane.energy);
    lane.loud.count = 0;
    lane.loud.transformNorm = 0.0;
    std::fill(lane.loud.inWindow, lane.loud.inWindow + lane.filled, 0.0);
    if (lane.energy == 0.0)
        return;

    RealTransform &fft = lane.fft;
    const bool needForward = templates.forward.mode == KernelMode::Fourier;
    const bool needReversed = withReversed && templates.reversed.mode == KernelMode::Fourier;
    auto apply = [&](const FftwBuffer<fftw_complex> &kernelSpectrum, double *out) {
        RealTransform::multiply(fft.spectrum(), kernelSpectrum.get(), lane.product.get(),
                                kSpectrum);
        fft.backward(lane.product.get(), out);
    };
    if (needForward || needReversed) {
        // Out of place, the forward transform leaves its input as it is.
        fft.forward(takeOutLoudSamples(lane, in, fft.input()) ? fft.input() : in.x,
                    fft.spectrum());
        if (needForward) {
            apply(templates.forward.spectrum, fft.output());
            addLoudProducts(templates.forward, lane, in, fft.output());
        }
        if (needReversed) {
            apply(templates.reversed.spectrum, lane.reversedOut.get());
            addLoudProducts(templates.reversed, lane, in, lane.reversedOut.get());
        }
    }
    if (withAmplitude) {
        double *fftIn = fft.input();
        for (int i = 0; i < kFftSize; ++i)
            fftIn[i] = std::fabs(in.x[i]);
        fft.forward();
        apply(templates.taperSpectrum, lane.amplitudeOut.get());
    }
}

// The block's first two frames, then its detector words into the block
// values and the detector columns, step by step; the position step mod 800
// is carried along instead of divided out.
void TemplateAnalysis::Impl::detectorSteps(Lane &lane)
{
    // The first two frames take r from the block before; computeLane() made
    // the others.
    for (int t = 0; t < std::min(2, lane.filled); ++t) {
        const double before = t == 0 ? detector.rBefore[1] : detector.rBefore[0];
        frameOf(lane.start + t, before, lane.words[kHistory + t - 1 - kHalfWindow],
                lane.frames + 2 * t);
    }
    if (lane.filled >= 2)
        detector.rBefore[1] = lane.forward[0][lane.filled - 2];
    else
        detector.rBefore[1] = detector.rBefore[0];
    detector.rBefore[0] = lane.forward[0][lane.filled - 1];

    copyByBlock(
        lane, lane.detectorWords, blockValues,
        [this] {
            const int peak = range(blockValues).second;
            observer.detectorColumn(detector.columns, peak);
            detector.block.column = detector.columns;
            detector.block.maximum = peak;
            detector.blockStarted = false;
            observer.detectorBlock(detector.block);
            ++detector.columns;
            if (detector.columns != 1 && peak > detector.peak) {
                detector.peak = peak;
                detector.peakBlock = detector.columns;
            }
        },
        [this, &lane](int t, int n) { trackDetectorBlock(lane, t, n); });
    frameSink.framesReady(lane.words + kHistory, lane.frames,
                          static_cast<std::size_t>(lane.filled));
}

// The cumulative sum and its columns, step by step.
void TemplateAnalysis::Impl::cumulativeSteps(Lane &lane)
{
    // The sum step by step, in order; then its words by block.
    double sum = cumulative.sum;
    for (int t = firstUsed(kLastSkippedCumulativeStep, lane); t < lane.filled; ++t) {
        sum = sum + kCumulativeWeight * (lane.forward[1][t] - lane.reversed[t]);
        cumulative.words[t] = toInt32(sum);
    }
    cumulative.sum = sum;
    std::int32_t *values = together ? cumulative.values : blockValues;
    copyByBlock(
        lane, cumulative.words, values,
        [this, values] {
            if (together && cumulative.columns == 0) {
                std::copy(values, values + kBlock, cumulative.waitingValues);
                cumulative.firstWaiting = true;
                ++cumulative.columns;
            } else {
                endCumulativeBlock(cumulative.columns++, values);
            }
        },
        [](int, int) {});
}

// The details of the detector block under way, over steps t .. t + n - 1:
// the first largest word and the first largest |r|, a NaN giving way to any
// number.
void TemplateAnalysis::Impl::trackDetectorBlock(const Lane &lane, int t, int n)
{
    DetectorBlock &b = detector.block;
    for (int i = t; i < t + n; ++i) {
        const std::int64_t step = lane.start + i;
        const std::int32_t word = lane.detectorWords[i];
        const double r = std::fabs(lane.forward[0][i]);
        if (!detector.blockStarted) {
            detector.blockStarted = true;
            detector.largestWord = word;
            b.maximumStep = b.peakCorrelationStep = step;
            b.correlationAtMaximum = b.peakCorrelation = r;
            b.detectorAtPeakCorrelation = word;
            continue;
        }
        if (word > detector.largestWord) {
            detector.largestWord = word;
            b.maximumStep = step;
            b.correlationAtMaximum = r;
        }
        if (r > b.peakCorrelation || (std::isnan(b.peakCorrelation) && !std::isnan(r))) {
            b.peakCorrelation = r;
            b.peakCorrelationStep = step;
            b.detectorAtPeakCorrelation = word;
        }
    }
}

void TemplateAnalysis::Impl::endCumulativeBlock(int column, const std::int32_t *values)
{
    const auto [low, high] = range(values);
    if (together)
        cumulative.waitingColumns.push_back({column, high, low});
    else
        observer.cumulativeColumn(column, high, low);
    if (column + 1 == kChangeFromColumn)
        cumulative.firstLow = low;
    if (column > cumulative.lastColumn) {
        cumulative.lastLow = low;
        cumulative.lastColumn = column;
    }
}

// With the loops together, after both: the second loop's first block takes
// the block values the first loop left, and then every waiting column is
// shown, in order.
void TemplateAnalysis::Impl::completeFirstColumn()
{
    Cumulative &c = cumulative;
    if (c.firstWaiting) {
        c.firstWaiting = false;
        // The second loop's first block ends at the first multiple of the
        // block past the output start; before it the loop wrote the slots of
        // the steps from the output start on, the rest are the first loop's.
        const std::int64_t end = (kLastSkippedOutputStep / kBlock + 1) * kBlock;
        std::int32_t values[kBlock];
        std::copy(blockValues, blockValues + kBlock, values);
        for (std::int64_t step = kLastSkippedOutputStep + 1; step <= end; ++step) {
            const auto slot = static_cast<std::size_t>(step % kBlock);
            values[slot] = c.waitingValues[slot];
        }
        endCumulativeBlock(0, values);
        // Column 0 came last: it goes first.
        std::rotate(c.waitingColumns.begin(), c.waitingColumns.end() - 1, c.waitingColumns.end());
    }
    for (const auto &column : c.waitingColumns)
        observer.cumulativeColumn(column[0], column[1], column[2]);
    c.waitingColumns.clear();
}

TemplateAnalysis::TemplateAnalysis(const std::vector<double> &markerValues, std::int64_t wordCount,
                                   AnalysisObserver &observer, FrameSink &frames, bool wide)
    : d(std::make_unique<Impl>(observer, frames, wide))
{
    d->kept = analysis::keptRange(wordCount);
    d->samples = std::max<std::int64_t>(0, wordCount - analysis::kLeadInWords);
    d->setUp(markerValues);
}

TemplateAnalysis::~TemplateAnalysis() = default;

std::int64_t TemplateAnalysis::sampleCount() const
{
    return d->samples;
}

void TemplateAnalysis::runLoopsTogether(bool helperThread)
{
    if (d->stage != Stage::FirstLoop || d->pushed > 0 || d->filling || d->together)
        return;
    d->together = true;
    // Three lanes: one computed by each thread while the next is filled.
    if (helperThread)
        d->lanes.startHelper(3);
}

void TemplateAnalysis::pushFirst(const std::int32_t *samples, std::size_t count)
{
    if (d->stage == Stage::FirstLoop)
        d->push(samples, count, Loop::First);
}

void TemplateAnalysis::finishFirst()
{
    if (d->stage != Stage::FirstLoop)
        return;
    d->finish(Loop::First);
    d->stage = d->together ? Stage::Finished : Stage::SecondLoop;
    d->lanes.stopHelper();
}

void TemplateAnalysis::pushSecond(const std::int32_t *samples, std::size_t count)
{
    finishFirst();
    if (d->stage == Stage::SecondLoop)
        d->push(samples, count, Loop::Second);
}

void TemplateAnalysis::finishSecond()
{
    finishFirst();
    if (d->stage != Stage::SecondLoop)
        return;
    d->finish(Loop::Second);
    d->stage = Stage::Finished;
}

int TemplateAnalysis::peakBlock() const
{
    return d->detector.peakBlock;
}

int TemplateAnalysis::change() const
{
    return saturateToInt32(static_cast<std::int64_t>(d->cumulative.lastLow)
                           - d->cumulative.firstLow);
}

} // namespace dsp
