#pragma once

#include "dsp/constants.h"
#include "dsp/conversions.h"
#include "dsp/widevectors.h"

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

namespace dsp {

/// Shared constants of the analysis pass.
namespace analysis {
/// Words skipped at the start of a processed file (192 bytes).
constexpr std::int64_t kLeadInWords = dsp::kLeadInWords;
/// Correlation window and template length, in steps.
constexpr int kWindow = 1006;
/// The components' delay: half a window.
constexpr int kHalfWindow = kWindow / 2;
/// Steps per block: one overview column.
constexpr int kBlock = 800;
/// Sample words and template values are divided by this before they are
/// correlated. For the words the division is an integer one on purpose:
/// every scaled sample is then an integer below 2^17, so the window sums
/// and the block energy are exact.
constexpr int kSampleScale = 20000;

/// The steps of the second loop that keep their sample: from `first` to
/// `last` inclusive; every step before or after takes the edge sine.
struct KeptRange
{
    std::int64_t first;
    std::int64_t last;
};

/// Kept range for a file of `count` words (lead-in included): from step
/// count / 15 to step count * 90 / 100. Computed in 64 bits, so any file
/// size is safe.
inline KeptRange keptRange(std::int64_t count)
{
    return {count / 15, count * 90 / 100};
}

/// The synthetic edge word of `step`: a sine of period 149.995 steps and
/// amplitude 1e9, truncated toward zero.
inline std::int32_t edgeSineWord(std::int64_t step)
{
    return toInt32(std::sin(2 * kPi * step / 149.995) * 1e9);
}

/// edgeSineWord() of the steps `first` .. `first + count - 1`, into `words`:
/// the same words, most of them without the library's sine, which costs
/// more than the rest of such a step's analysis.
void edgeSineWords(std::int64_t first, int count, std::int32_t *words);
} // namespace analysis

/// Receives the frames of the first loop, in step order.
class FrameSink
{
public:
    virtual ~FrameSink() = default;

    /// Results of `count` consecutive first-loop steps, starting where the
    /// previous call ended (the first call starts at step 48).
    /// `samples[i]` is the processed word the step read; `frames[2i]` and
    /// `frames[2i + 1]` are the asymmetrical and symmetrical components as
    /// they stood at the start of that step (the frame the step writes).
    virtual void framesReady(const std::int32_t *samples, const std::int32_t *frames,
                             std::size_t count) = 0;
};

/// One detector block in full, for finding matches: the step of the block's
/// largest detector word and the correlation there, and the block's largest
/// correlation magnitude and where it is.
///
/// Steps are numbered as the loops number them: step s reads word s of the
/// processed file, the first word after the lead-in being step 48. The
/// detector word and r of step s are formed over the window of words
/// s - 1005 .. s (the template's last value paired with word s); r of step
/// s then weights the word of step s - 502 in the components that step
/// s + 1 computes, which the frame of step s + 2 holds (frames are numbered
/// by step as well: the frame of step s is frame s - 48 of the first loop).
///
/// Block `column` ends at step 800 * (column + 4) (the first at step 3200)
/// and holds the steps past 2640 of the 800 that end there: 560 steps for
/// the first block, 800 for every later one. Only those steps take part
/// below; `maximum` alone also sees the zeros the first block's earlier
/// slots hold, as detectorColumn() does, so when every detector word of the
/// first block is below zero `maximum` is 0 and `maximumStep` is the step of
/// the largest word all the same. A NaN correlation is never the largest;
/// only when all of a block's are NaN is peakCorrelation NaN, at the block's
/// first step.
struct DetectorBlock
{
    int column = 0;                        ///< 0, 1, 2, ... as detectorColumn()
    std::int32_t maximum = 0;              ///< as detectorColumn()'s maximum
    std::int64_t maximumStep = 0;          ///< first-loop step of that word (first on ties)
    double correlationAtMaximum = 0.0;     ///< |r| at maximumStep
    double peakCorrelation = 0.0;          ///< largest |r| of the block
    std::int64_t peakCorrelationStep = 0;  ///< first-loop step of it (first on ties)
    std::int32_t detectorAtPeakCorrelation = 0; ///< detector word at peakCorrelationStep
};

/// Receives the overview's block values as each block ends, in block order.
/// The values are signal values; what they look like on screen is the
/// graph's business.
class AnalysisObserver
{
public:
    virtual ~AnalysisObserver() = default;

    /// One detector block of the first loop: column k (0, 1, 2, ...) and the
    /// largest detector word of the block.
    virtual void detectorColumn(int column, std::int32_t maximum) = 0;

    /// The same block in full; called right after detectorColumn() for it,
    /// on the same thread.
    virtual void detectorBlock(const DetectorBlock &) {}

    /// One cumulative-sum block of the second loop: column m (0, 1, 2, ...)
    /// and the largest and smallest cumulative-sum word of the block.
    virtual void cumulativeColumn(int column, std::int32_t maximum, std::int32_t minimum) = 0;

    /// With the loops together (TemplateAnalysis::runLoopsTogether()),
    /// whether the second loop's columns from 1 on may come as their blocks
    /// end, among the first loop's, with column 0 (which needs the first
    /// loop's last block) at the finish. An observer that says no gets them
    /// all at the finish, in column order, and the object holds them until
    /// then.
    virtual bool takesColumnsAsTheyEnd() const { return false; }
};

/// The template-correlation analysis as a stream of two loops over the same
/// processed samples.
///
/// Usage: construct, push every sample word after the lead-in with
/// pushFirst(), call finishFirst(), push the same words again with
/// pushSecond(), call finishSecond(); then peakBlock() and change() hold the
/// result. Pushes may be split anywhere; the results do not depend on it.
///
/// Observer calls come in step order but lag the pushes by up to about a
/// thousand steps: the correlations are formed block-wise by overlap-save
/// transforms. Memory stays under a MiB whatever the length (2 MiB with a
/// helper thread; with the loops together, 12 bytes more for each
/// second-loop column until the finish, unless the observer takes the
/// columns as they end); no sample is kept beyond the
/// blocks under way. Words pushed beyond
/// sampleCount() are ignored; words never pushed before a finish count as
/// zero words. pushSecond() or finishSecond() ends the first loop if
/// finishFirst() was not called. Distinct objects may run in distinct
/// threads; one object is not for concurrent use (its own helper thread
/// aside, see runLoopsTogether()).
class TemplateAnalysis
{
public:
    /// `markerValues`: the template as stored, oldest value first; only the
    /// first 1006 are used, and an empty template is allowed.
    /// `wordCount`: the processed file's size in bytes / 4, lead-in included
    /// (the loops' `count`); a value below 48 means no samples.
    /// `observer` gets the block values, `frames` the first loop's frames.
    /// `wide`: whether the block arithmetic takes its wide form, where the
    /// processor has it; the results are the same either way.
    TemplateAnalysis(const std::vector<double> &markerValues, std::int64_t wordCount,
                     AnalysisObserver &observer, FrameSink &frames,
                     bool wide = wideVectorsSupported());
    ~TemplateAnalysis();
    TemplateAnalysis(const TemplateAnalysis &) = delete;
    TemplateAnalysis &operator=(const TemplateAnalysis &) = delete;

    /// Number of sample words each loop expects: max(0, wordCount - 48).
    std::int64_t sampleCount() const;

    /// First loop: the next `count` processed words (step 48 onwards).
    void pushFirst(const std::int32_t *samples, std::size_t count);
    /// Ends the first loop; every framesReady() and detectorColumn() call
    /// has been made when it returns. Precondition: sampleCount() words pushed.
    void finishFirst();

    /// Second loop: the same words again, in the same order.
    void pushSecond(const std::int32_t *samples, std::size_t count);
    /// Ends the second loop; every cumulativeColumn() call has been made.
    void finishSecond();

    /// Makes this object run both loops in one pass over the words (call
    /// before any push): each word is pushed once, with pushFirst(), and
    /// finishFirst() ends both loops. The calls and results are those of
    /// the loops one after the other, but for their timing: the second
    /// loop's columns all come at the finish, after the first loop's, and
    /// a block that both loops see alike is transformed once for both.
    /// With `helperThread`, a thread of the object's own computes blocks
    /// beside the pushing one; the observer and the sink are still called
    /// on the pushing thread only.
    void runLoopsTogether(bool helperThread);

    /// Makes the transforms' plans every analysis shares and makes once per
    /// process, so that the first analysis starts at once; safe from any
    /// thread, at any time.
    static void prepare();

    /// The block that holds the detector peak (-1 when no block qualified).
    int peakBlock() const;
    /// Change of the cumulative sum: low of the last block minus low of the
    /// fifth, saturated to the int range (0 when no block ended).
    int change() const;

private:
    struct Impl;
    std::unique_ptr<Impl> d;
};

} // namespace dsp
