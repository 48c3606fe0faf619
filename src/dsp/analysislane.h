#pragma once

// The analysis's blocks: the constants of its block arithmetic, the lane a
// block travels in, and how a step's frame is formed.

#include "dsp/conversions.h"
#include "dsp/fftwplanner.h"
#include "dsp/templateanalysis.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <utility>

namespace dsp::analysis {

/// Earlier samples each correlation output needs besides its own.
constexpr int kHistory = kWindow - 1;
/// Overlap-save transform length and the outputs one transform yields
/// (4096 points: about three outputs per template tap).
constexpr int kFftSize = 4096;
constexpr int kHop = kFftSize - kHistory;
constexpr int kSpectrum = kFftSize / 2 + 1;
/// The length of the transform that steps needing direct sums are tried
/// again with (retryBySpan()), a span of the block at a time: the steps of
/// a span reach kShortFftSize block positions.
constexpr int kShortFftSize = 2048;
constexpr int kSpanSteps = kShortFftSize - kHistory;
constexpr int kSpans = (kHop + kSpanSteps - 1) / kSpanSteps;

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
/// Steps of one span and level that need direct sums are transformed once
/// more on their own first when they are at least this many.
constexpr int kMinRetried = 48;
/// Steps whose direct sums are formed side by side.
constexpr int kDirectTile = 16;
/// Levels of loudness that direct sums are tried again at, each a factor
/// 2^kLevelBits above the last (retryBySpan()); 2^18 is above every
/// sample.
constexpr int kLevelBits = 3;
constexpr int kLevels = 18 / kLevelBits + 1;

/// Runs of one block (blockRun()) that a lane's steps make at the most.
constexpr int kMaxRuns = 2 * (kHop / kBlock + 2);

/// Which of the two loops over the samples a push belongs to.
enum class Loop { First, Second };

/// The smallest and the largest of a block's values.
inline std::pair<std::int32_t, std::int32_t> range(const std::int32_t *values)
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
    std::int64_t start = kLeadInWords;
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
    /// Where the first largest detector word and the first largest |r| are
    /// in each run of the first loop's steps past the output start, the
    /// runs split as blockRun() splits them; -1 for |r| when all of a run's
    /// are NaN.
    struct Largest
    {
        int wordAt = 0;
        int correlationAt = -1;
    } largest[kMaxRuns];

    /// The transform with its buffers: the block goes in, its spectrum
    /// times a kernel's is `product`, and each kernel's outputs come back
    /// into a buffer of their own (the forward template's into the
    /// transform's output).
    RealTransform fft{kFftSize};
    FftwBuffer<fftw_complex> product = allocateZeroed<fftw_complex>(kSpectrum);
    FftwBuffer<double> reversedOut = allocateZeroed<double>(kFftSize);
    FftwBuffer<double> amplitudeOut = allocateZeroed<double>(kFftSize);
    /// The short transform that steps are tried again with (retryBySpan()),
    /// and by span and level of loudness the spectrum of the block's
    /// samples up to `limit` over positions lo .. end - 1, with their
    /// energy; valid until the lane's next samples.
    RealTransform shortFft{kShortFftSize};
    struct LevelSpectrum
    {
        bool valid = false;
        int lo = 0;
        int end = 0;
        double limit = 0.0;
        double energy = 0.0;
        FftwBuffer<fftw_complex> spectrum = allocateZeroed<fftw_complex>(kShortFftSize / 2 + 1);
    } levels[kSpans][kLevels];

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
inline void setFrame(double absCorr, double residualWeight, std::int32_t word, std::int32_t *frame)
{
    frame[0] = toInt32(2 * absCorr * absCorr * word);
    frame[1] = toInt32(word * residualWeight);
}

/// The frame of step `s`: the components as step s - 1 left them. Step
/// s - 1 weights the word of step s - 504, `delayed`, with r of step s - 2,
/// `before`: by 2 r^2 and by 1 - r^2. Before the output start the components
/// are 0, and so are r and the word where their steps are that early.
inline void frameOf(std::int64_t s, double before, std::int32_t delayed, std::int32_t *frame)
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
inline void fullFrames(const double *before, const std::int32_t *delayed, int count,
                       std::int32_t *frames)
{
    for (int i = 0; i < count; ++i)
        setFrame(std::fabs(before[i]), 1 - before[i] * before[i], delayed[i], frames + 2 * i);
}

/// How many steps from `step` on, `left` at most, form one run of a block:
/// a step that ends a block (step mod 800 = 0) is a run of its own.
inline int blockRun(std::int64_t step, int left)
{
    const auto slot = static_cast<int>(step % kBlock);
    return slot == 0 ? 1 : std::min(left, kBlock - slot);
}

/// The first step of a block whose coefficient is used, as a block index.
inline int firstUsed(std::int64_t lastSkipped, const Lane &lane)
{
    return static_cast<int>(std::clamp<std::int64_t>(lastSkipped + 1 - lane.start, 0, lane.filled));
}

} // namespace dsp::analysis
