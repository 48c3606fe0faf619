#include "dsp/matches.h"

#include "dsp/conversions.h"
#include "dsp/filtercascade.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <limits>
#include <set>

namespace dsp {
namespace matches {

namespace {

/// The last first-loop step of block `column`: the first block ends at
/// step 3200, each later one 800 steps on. Offsets from it keep a step in
/// 32 bits.
std::int64_t blockEnd(std::size_t column)
{
    return 4 * std::int64_t(analysis::kBlock) + std::int64_t(column) * analysis::kBlock;
}

/// Median of `values` (reordered) in the units of `value(u)`; the mean of
/// the middle two for an even count. Precondition: not empty.
template <typename Value>
double median(std::vector<std::uint32_t> &values, Value value)
{
    const std::size_t half = values.size() / 2;
    std::nth_element(values.begin(), values.begin() + std::ptrdiff_t(half), values.end());
    const double upper = value(values[half]);
    if (values.size() % 2 == 1)
        return upper;
    const double lower = value(*std::max_element(values.begin(), values.begin() + std::ptrdiff_t(half)));
    return lower + (upper - lower) / 2;
}

/// A block maximum as an unsigned word of the same order, and back: the
/// level's work takes four bytes a block.
std::uint32_t ordered(std::int32_t v)
{
    return static_cast<std::uint32_t>(v) ^ 0x80000000u;
}
double unordered(std::uint32_t u)
{
    return static_cast<double>(static_cast<std::int64_t>(u) - 0x80000000LL);
}

} // namespace

std::int64_t blockCount(std::int64_t wordCount)
{
    const std::int64_t lastStep = wordCount - 1;
    return lastStep < blockEnd(0) ? 0 : lastStep / analysis::kBlock - 3;
}

std::string thresholdProblem(const Threshold &threshold)
{
    if (!std::isfinite(threshold.value) || !(threshold.value > 0))
        return "the threshold must be a number above 0";
    if (threshold.by == Statistic::Correlation && !(threshold.value < 1))
        return "the correlation threshold must lie between 0 and 1";
    return std::string();
}

std::string parseThreshold(const std::string &text, Statistic by, double &value)
{
    const auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; };
    std::size_t first = 0;
    std::size_t last = text.size();
    while (first < last && blank(text[first]))
        ++first;
    while (last > first && blank(text[last - 1]))
        --last;
    const std::string trimmed = text.substr(first, last - first);
    const std::size_t from = !trimmed.empty() && trimmed[0] == '+' ? 1 : 0;
    double read = 0.0;
    const char *begin = trimmed.data() + from;
    const char *end = trimmed.data() + trimmed.size();
    const auto parsed = std::from_chars(begin, end, read);
    if (trimmed.size() == from || parsed.ec != std::errc() || parsed.ptr != end)
        return "\"" + text + "\" is not a number.";
    Threshold candidate;
    candidate.by = by;
    candidate.value = read;
    const std::string problem = thresholdProblem(candidate);
    if (!problem.empty())
        return trimmed + ": " + problem + ".";
    value = read;
    return std::string();
}

BlockStore::BlockStore() = default;
BlockStore::~BlockStore() = default;
BlockStore::BlockStore(BlockStore &&) noexcept = default;
BlockStore &BlockStore::operator=(BlockStore &&) noexcept = default;

void BlockStore::spillTo(ChunkSpill *to)
{
    spill = to;
}

void BlockStore::add(const DetectorBlock &block)
{
    if (count % kChunk == 0)
        chunks.push_back(std::make_unique<Chunk>());
    const std::int64_t end = blockEnd(count);
    (*chunks.back())[count % kChunk] = {
        block.maximum,
        saturateToInt32(end - block.maximumStep),
        static_cast<float>(block.correlationAtMaximum),
        static_cast<float>(block.peakCorrelation),
        saturateToInt32(end - block.peakCorrelationStep),
        block.detectorAtPeakCorrelation,
    };
    ++count;
    if (spill && count % kChunk == 0) {
        if (!spill->write(chunks.size() - 1, chunks.back()->data(), sizeof(Chunk)))
            spillFailed = true;
        chunks.back().reset();
    }
}

void BlockStore::clear()
{
    chunks.clear();
    count = 0;
    cache.reset();
    spillFailed = false;
}

const BlockStore::Record &BlockStore::record(std::size_t index) const
{
    const std::size_t chunk = index / kChunk;
    if (chunks[chunk])
        return (*chunks[chunk])[index % kChunk];
    if (!cache || cached != chunk) {
        if (!cache)
            cache = std::make_unique<Chunk>();
        cached = chunk;
        if (!spill->read(chunk, cache->data(), sizeof(Chunk))) {
            spillFailed = true;
            cache->fill(Record{});
        }
    }
    return (*cache)[index % kChunk];
}

DetectorBlock BlockStore::at(std::size_t index) const
{
    const Record &r = record(index);
    const std::int64_t end = blockEnd(index);
    DetectorBlock block;
    block.column = static_cast<int>(std::min<std::size_t>(index, INT32_MAX));
    block.maximum = r.maximum;
    block.maximumStep = end - r.maximumOffset;
    block.correlationAtMaximum = static_cast<double>(r.correlationAtMaximum);
    block.peakCorrelation = static_cast<double>(r.peakCorrelation);
    block.peakCorrelationStep = end - r.peakCorrelationOffset;
    block.detectorAtPeakCorrelation = r.detectorAtPeakCorrelation;
    return block;
}

std::int32_t BlockStore::maximum(std::size_t index) const
{
    return record(index).maximum;
}

double level(const BlockStore &blocks, const Threshold &threshold)
{
    if (blocks.empty())
        return std::numeric_limits<double>::infinity();
    if (threshold.by == Statistic::Correlation || threshold.absolute)
        return threshold.value;
    std::vector<std::uint32_t> values(blocks.size());
    for (std::size_t i = 0; i < values.size(); ++i)
        values[i] = ordered(blocks.maximum(i));
    const double centre = median(values, unordered);
    // The distances from a whole centre are whole; from a centre halfway
    // between two words they are all a half more than a whole number. So
    // the whole part (below 2^32) stands for each, and the half is added
    // back to their median.
    const double whole = std::floor(centre);
    const double half = centre - whole;
    for (std::uint32_t &u : values) {
        const double v = unordered(u);
        u = static_cast<std::uint32_t>(v > centre ? v - whole - (half > 0 ? 1 : 0) : whole - v);
    }
    const double distance =
        median(values, [](std::uint32_t u) { return static_cast<double>(u); }) + half;
    // The detector words are whole numbers, and in noise most block maxima
    // lie within a unit or two of each other: a deviation below one unit is
    // below the words' resolution, so the rule takes at least one unit.
    const double deviation = std::max(distance, 1.0);
    return centre + threshold.value * deviation;
}

std::vector<Match> find(const BlockStore &blocks, const Threshold &threshold)
{
    const double minimum = level(blocks, threshold);
    const bool byCorrelation = threshold.by == Statistic::Correlation;
    struct Candidate
    {
        double key;
        Match match;
    };
    std::vector<Candidate> candidates;
    for (std::size_t i = 0; i < blocks.size(); ++i) {
        const double key = byCorrelation ? blocks.at(i).peakCorrelation
                                         : static_cast<double>(blocks.maximum(i));
        if (!(key > minimum))
            continue;
        const DetectorBlock b = blocks.at(i);
        Match m;
        m.column = b.column;
        if (byCorrelation) {
            m.step = b.peakCorrelationStep;
            m.strength = b.detectorAtPeakCorrelation;
            m.correlation = b.peakCorrelation;
        } else {
            m.step = b.maximumStep;
            m.strength = b.maximum;
            m.correlation = b.correlationAtMaximum;
        }
        candidates.push_back({key, m});
    }
    std::stable_sort(candidates.begin(), candidates.end(),
                     [](const Candidate &a, const Candidate &b) {
                         return a.key > b.key || (a.key == b.key && a.match.step < b.match.step);
                     });

    // A candidate closer than one template length to a stronger match kept
    // is part of that match's peak.
    std::set<std::int64_t> kept;
    std::vector<Match> found;
    for (const Candidate &c : candidates) {
        const std::int64_t step = c.match.step;
        const auto near = kept.lower_bound(step - (analysis::kWindow - 1));
        if (near != kept.end() && *near < step + analysis::kWindow)
            continue;
        kept.insert(step);
        found.push_back(c.match);
    }
    // The detector is |r| weighted by the window's tapered amplitude, and the
    // taper pulls its peak toward where the template's energy sits mid-window:
    // by up to a period of the template's oscillation (several ms) from where
    // the template lines up. |r| itself peaks at the alignment, so a
    // detector match takes its time from the largest |r| near its peak.
    for (Match &m : found) {
        m.alignedStep = m.step;
        if (byCorrelation)
            continue;
        double best = -1.0;
        const std::size_t column = std::size_t(m.column);
        for (std::size_t c = column > 0 ? column - 1 : 0; c <= column + 1 && c < blocks.size();
             ++c) {
            const DetectorBlock b = blocks.at(c);
            const bool near = b.peakCorrelationStep > m.step - analysis::kHalfWindow
                              && b.peakCorrelationStep < m.step + analysis::kHalfWindow;
            if (near && b.peakCorrelation > best) {
                best = b.peakCorrelation;
                m.alignedStep = b.peakCorrelationStep;
            }
        }
    }
    std::sort(found.begin(), found.end(),
              [](const Match &a, const Match &b) { return a.step < b.step; });
    return found;
}

std::int64_t Placement::firstSampleWord(std::int64_t step) const
{
    // The window that ends at step s correlates steps s - 1005 .. s with the
    // template, its first value with step s - 1005. Step s is word s of the
    // processed file, and the processed file's word n is the cascade's
    // output for the recording's word n - 1520 (its group delay; the 48-word
    // lead-in is counted in both). The recording's first sample is word
    // headerBytes / 4. So the template's first value lies on the word
    //   s - 1005 - 1520 - headerBytes / 4
    // counted from the first sample.
    return step - (analysis::kWindow - 1) - FilterCascade::groupDelay() - headerBytes / 4;
}

double Placement::seconds(std::int64_t step) const
{
    // Channels are interleaved word by word: a frame of them per sample time.
    return static_cast<double>(firstSampleWord(step)) / std::max(channels, 1) / kRate;
}

double Placement::templateSeconds() const
{
    return static_cast<double>(analysis::kWindow) / std::max(channels, 1) / kRate;
}

std::string fixed6(double value)
{
    char text[400];
    const auto end = std::to_chars(text, text + sizeof text, value, std::chars_format::fixed, 6);
    return end.ec == std::errc() ? std::string(text, end.ptr) : std::string("nan");
}

std::string csv(const std::vector<Match> &found, const Placement &placement)
{
    std::string out = "time_s,sample,block,strength,correlation\n";
    for (const Match &m : found) {
        out += fixed6(placement.seconds(m.alignedStep));
        out += ',' + std::to_string(placement.firstSampleWord(m.alignedStep));
        out += ',' + std::to_string(m.column);
        out += ',' + std::to_string(m.strength);
        out += ',' + fixed6(m.correlation);
        out += '\n';
    }
    return out;
}

std::string labels(const std::vector<Match> &found, const Placement &placement)
{
    std::string out;
    for (std::size_t i = 0; i < found.size(); ++i) {
        const double start = placement.seconds(found[i].alignedStep);
        out += fixed6(start) + '\t' + fixed6(start + placement.templateSeconds()) + "\tmatch "
               + std::to_string(i + 1) + '\n';
    }
    return out;
}

} // namespace matches
} // namespace dsp
