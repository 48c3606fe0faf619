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
// window in a loud block) or the template's magnitudes are above the
// transform's safe range, the step sums its 1006 products directly, in the
// direct form's order, leaving out the products of zero samples (which
// change no sum). A run of such steps beside a loud stretch is first
// transformed again without it. A template whose magnitudes are all below
// 1e-290 is held times a power of two that brings it near 1: its sums are
// then the direct form's times that power bit for bit, and no arithmetic
// meets the subnormal numbers the processor handles slowly.
//
// The work goes block by block through a short ring of lanes. The pushing
// thread fills a lane with the block's words; any thread (the pushing one
// or the object's helper) forms its samples, window sums, transforms,
// coefficients, detector words and frames, which depend on that lane
// alone; the pushing thread then runs its steps in order. So the results
// never depend on which thread computed what.
//
// This file runs the stream of steps and columns. The templates are set up
// in correlationtemplates.cpp, a lane's arithmetic is lanemath.h and
// correlationsums.h (in both forms through blockmath.h), and the edge sine
// is edgesine.cpp.

#include "dsp/templateanalysis.h"

#include "dsp/analysislane.h"
#include "dsp/blockmath.h"
#include "dsp/conversions.h"
#include "dsp/correlationtemplates.h"
#include "dsp/workring.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <utility>
#include <vector>

namespace dsp {

using namespace analysis;

namespace {

/// How far the object has come.
enum class Stage { FirstLoop, SecondLoop, Finished };

/// Puts the words of the lane's steps past the output start into the block
/// values, by step mod 800, and calls `blockEnd` after each step that ends
/// a block; `run(t, n, i)` sees run i (blockRun()) of steps t .. t + n - 1
/// before it is copied.
template <typename BlockEnd, typename Run>
void copyByBlock(const Lane &lane, const std::int32_t *words, std::int32_t *values,
                 BlockEnd blockEnd, Run run)
{
    int t = firstUsed(kLastSkippedOutputStep, lane);
    for (int i = 0; t < lane.filled; ++i) {
        const auto slot = static_cast<int>((lane.start + t) % kBlock);
        const int n = blockRun(lane.start + t, lane.filled - t);
        run(t, n, i);
        std::copy(words + t, words + t + n, values + slot);
        if (slot == 0)
            blockEnd();
        t += n;
    }
}

} // namespace

struct TemplateAnalysis::Impl
{
    Impl(AnalysisObserver &o, FrameSink &f, bool wide)
        : observer(o),
          frameSink(f),
          math(blockMath(wide))
    {
    }

    AnalysisObserver &observer;
    FrameSink &frameSink;
    std::int64_t samples = 0;
    analysis::KeptRange kept = {0, 0};
    Stage stage = Stage::FirstLoop;
    /// Both loops in one pass over the words (runLoopsTogether()).
    bool together = false;

    /// The templates, read-only once set up; and the block arithmetic's
    /// form, chosen once.
    analysis::Templates templates;
    const BlockMath &math;

    /// The blocks on their way; `filling` when the next one is being filled.
    WorkRing<Lane> lanes{[this](Lane &lane, bool) { math.computeLane(templates, kept, lane); }};
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
        /// the columns wait until the first loop's have all been shown,
        /// unless the observer takes them as they end.
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
    void trackDetectorBlock(const Lane &lane, int t, const Lane::Largest &largest);
    /// The end of cumulative block `column` over `values`.
    void endCumulativeBlock(int column, const std::int32_t *values);
    void completeFirstColumn();
};

void TemplateAnalysis::Impl::setUp(const std::vector<double> &markerValues)
{
    analysis::setUpTemplates(templates, markerValues, lanes.next().fft);
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
        [this, &lane](int t, int, int run) { trackDetectorBlock(lane, t, lane.largest[run]); });
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
        [](int, int, int) {});
}

// The details of the detector block under way, with the run of steps from
// t on, where `largest` says its first largest word and |r| are: the
// block's first largest of each, a NaN giving way to any number.
void TemplateAnalysis::Impl::trackDetectorBlock(const Lane &lane, int t,
                                                const Lane::Largest &largest)
{
    DetectorBlock &b = detector.block;
    if (!detector.blockStarted) {
        detector.blockStarted = true;
        detector.largestWord = lane.detectorWords[t];
        b.maximumStep = b.peakCorrelationStep = lane.start + t;
        b.correlationAtMaximum = b.peakCorrelation = std::fabs(lane.forward[0][t]);
        b.detectorAtPeakCorrelation = lane.detectorWords[t];
    }
    const int w = t + largest.wordAt;
    if (lane.detectorWords[w] > detector.largestWord) {
        detector.largestWord = lane.detectorWords[w];
        b.maximumStep = lane.start + w;
        b.correlationAtMaximum = std::fabs(lane.forward[0][w]);
    }
    if (largest.correlationAt < 0)
        return;
    const int c = t + largest.correlationAt;
    const double r = std::fabs(lane.forward[0][c]);
    if (r > b.peakCorrelation || std::isnan(b.peakCorrelation)) {
        b.peakCorrelation = r;
        b.peakCorrelationStep = lane.start + c;
        b.detectorAtPeakCorrelation = lane.detectorWords[c];
    }
}

void TemplateAnalysis::Impl::endCumulativeBlock(int column, const std::int32_t *values)
{
    const auto [low, high] = range(values);
    if (together && !observer.takesColumnsAsTheyEnd())
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
        if (!c.waitingColumns.empty())
            std::rotate(c.waitingColumns.begin(), c.waitingColumns.end() - 1,
                        c.waitingColumns.end());
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

void TemplateAnalysis::prepare()
{
    RealTransform::prepare(analysis::kFftSize);
    RealTransform::prepare(analysis::kShortFftSize);
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
