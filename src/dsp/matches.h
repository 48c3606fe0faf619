#pragma once

#include "dsp/templateanalysis.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace dsp {

/// Every occurrence of the template, not only the best one: the detector
/// blocks of an analysis, kept compactly, and the matches found in them at
/// a threshold that may change without a new analysis.
namespace matches {

/// Which per-block statistic a match is a peak of.
enum class Statistic { Detector, Correlation };

/// The threshold a match must exceed.
struct Threshold
{
    Statistic by = Statistic::Detector;
    /// For the detector: false takes `value` as the multiple k of the
    /// median absolute deviation above the median of the block maxima;
    /// true takes it as the detector word itself. The correlation
    /// threshold is always a magnitude of |r|.
    bool absolute = false;
    double value = 8.0;

    static constexpr double kDefaultMultiple = 8.0;
    static constexpr double kDefaultCorrelation = 0.7;
};

/// Empty when `threshold` can be used, else why not: the value must be a
/// finite number above 0, and a correlation threshold below 1.
std::string thresholdProblem(const Threshold &threshold);

/// Reads a threshold value typed as text ("8", " 0.75 ", "1e6"; '.' as the
/// decimal point whatever the locale) into `value`. Empty when it is a
/// usable value for `by`, else why not, as a sentence ending in a period:
/// no number at all, 0, negative, NaN, infinite, or a correlation of 1 or
/// more. `value` is left alone then.
std::string parseThreshold(const std::string &text, Statistic by, double &value);

/// Where a BlockStore puts the chunks it has filled, so that its memory
/// stays bounded whatever the length (a file beside the results, say).
/// Each chunk is written once, in order, and read back by its number.
class ChunkSpill
{
public:
    virtual ~ChunkSpill() = default;
    /// Keeps chunk `index` of `bytes` bytes; false when it could not.
    virtual bool write(std::size_t index, const void *data, std::size_t bytes) = 0;
    /// Reads chunk `index` back into `data`; false when it could not.
    virtual bool read(std::size_t index, void *data, std::size_t bytes) = 0;
};

/// The detector blocks of one analysis in the order they came, 24 bytes
/// each (about 11 MB for six hours), in chunks, so that storing them never
/// copies those already stored. With a spill, only the chunk being filled
/// and the one last read stay in memory.
class BlockStore
{
public:
    BlockStore();
    ~BlockStore();
    BlockStore(BlockStore &&) noexcept;
    BlockStore &operator=(BlockStore &&) noexcept;

    /// Hands every filled chunk to `spill` from now on (call before the
    /// first add(); null keeps them in memory). The spill must outlive the
    /// store's use. A store that spills is not for reading from two threads.
    void spillTo(ChunkSpill *spill);
    /// Whether the spill failed to keep or give back a chunk; the blocks of
    /// such a chunk read as zeros then.
    bool failed() const { return spillFailed; }

    /// Appends the next block (its column is the number of blocks added
    /// before it).
    void add(const DetectorBlock &block);
    void clear();
    std::size_t size() const { return count; }
    bool empty() const { return count == 0; }
    /// Block `index` (0 <= index < size()), correlations in single precision.
    DetectorBlock at(std::size_t index) const;
    /// The block maximum of block `index`, cheaper than at().
    std::int32_t maximum(std::size_t index) const;

private:
    struct Record
    {
        std::int32_t maximum;
        std::int32_t maximumOffset;
        float correlationAtMaximum;
        float peakCorrelation;
        std::int32_t peakCorrelationOffset;
        std::int32_t detectorAtPeakCorrelation;
    };
    static constexpr std::size_t kChunk = 4096;
    using Chunk = std::array<Record, kChunk>;

    const Record &record(std::size_t index) const;

    /// The chunks in memory; a spilled chunk's entry is null.
    std::vector<std::unique_ptr<Chunk>> chunks;
    std::size_t count = 0;
    ChunkSpill *spill = nullptr;
    /// The spilled chunk read last, and its number.
    mutable std::unique_ptr<Chunk> cache;
    mutable std::size_t cached = 0;
    mutable bool spillFailed = false;
};

/// Detector blocks the analysis of a processed file of `wordCount` words
/// (lead-in included) ends: one each 800 steps from step 3200 on.
std::int64_t blockCount(std::int64_t wordCount);

/// One match: a peak of the chosen statistic above the threshold.
struct Match
{
    /// First-loop step of the peak.
    std::int64_t step = 0;
    /// Step at which the template lines up with the recording: the largest
    /// |r| within half a template length of the peak (see find()). The
    /// match's time is derived from it.
    std::int64_t alignedStep = 0;
    /// Overview column of its block.
    int column = 0;
    /// The detector word at the peak.
    std::int32_t strength = 0;
    /// |r| at the peak.
    double correlation = 0.0;
};

/// The level a block's statistic must exceed at `threshold`. For the
/// detector's default rule it is median + k * MAD of the block maxima
/// (the median of an even count is the mean of the middle two; MAD is the
/// median of the distances from the median, taken as at least 1, the
/// resolution of the detector's whole-number words). No blocks: the level
/// is +inf.
double level(const BlockStore &blocks, const Threshold &threshold);

/// The matches at `threshold`, in step order. Each block whose statistic
/// (its maximum, or its peak |r|) exceeds the level is a candidate at the
/// step of that peak; from the strongest on (the earlier on ties), a
/// candidate is kept when it is at least one template length (1006 steps)
/// from every stronger match kept. A detector match is aligned at the
/// largest block |r| of its own and its neighbouring blocks that lies
/// within 503 steps of its peak (its own step when none does).
std::vector<Match> find(const BlockStore &blocks, const Threshold &threshold);

/// Where the steps of an analysis lie in the recording it came from.
struct Placement
{
    /// Bytes before the recording's first sample (its header).
    std::int64_t headerBytes = 44;
    /// Channels of the recording (filtered and analysed interleaved).
    int channels = 1;
    static constexpr int kRate = 16384;

    /// Word index, from the recording's first sample, of the recording word
    /// that lines up with the template's first value when the correlation
    /// window ends at `step`.
    std::int64_t firstSampleWord(std::int64_t step) const;
    /// That word's time in seconds from the recording's first sample.
    double seconds(std::int64_t step) const;
    /// The template's length in seconds.
    double templateSeconds() const;
};

/// `value` in fixed notation with six decimals and a '.' whatever the
/// locale: "12.345679", "-0.500000".
std::string fixed6(double value);

/// The match file: "time_s,sample,block,strength,correlation", then one
/// row per match.
std::string csv(const std::vector<Match> &found, const Placement &placement);

/// The label file: one line per match, "start TAB end TAB label" in
/// seconds, spanning the template's length; the label is "match N".
std::string labels(const std::vector<Match> &found, const Placement &placement);

} // namespace matches
} // namespace dsp
