// Times the streaming analysis against the literal one on a deterministic
// 10-minute processed recording and prints the speed ratio, the mismatch
// counts and the memory the streaming form uses beyond its inputs.
//
// The literal form costs about 1.5e11 multiply-adds on 10 minutes, so it is
// timed on the first 30 seconds and scaled linearly (its cost per sample is
// constant); the mismatch counts compare both forms on that slice.

#include "dsp/templateanalysis.h"

#include "common.h"

#include "common/signals.h"
#include "dsp/conversions.h"
#include "graph/rows.h"
#include "reference/literalanalysis.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <utility>
#include <vector>

namespace {

constexpr std::int64_t kRate = 16384;
constexpr std::int64_t kLeadIn = 48;

using bench::heapInUse;

/// Band-limited noise of about 1e8 rms with a template-shaped event of
/// 3e8 .. 1e9 every two seconds on average; a silent lead-in in front.
std::vector<std::int32_t> recording(std::int64_t samples)
{
    return testsignals::recording(samples + kLeadIn, 20240611, 1e8, samples / (2 * kRate), true);
}

/// Keeps what the comparison needs, or only a checksum and the heap peak.
struct Collector : dsp::AnalysisObserver, dsp::FrameSink
{
    Collector(bool keep, bool trackHeap) : keep(keep), trackHeap(trackHeap) {}
    bool keep;
    bool trackHeap;
    std::vector<std::int32_t> frames;
    std::vector<std::pair<int, int>> detectorCalls;
    std::vector<std::array<int, 3>> graph2Calls;
    std::uint64_t checksum = 0;
    std::size_t heapPeak = 0;

    void framesReady(const std::int32_t *, const std::int32_t *f, std::size_t count) override
    {
        if (keep)
            frames.insert(frames.end(), f, f + 2 * count);
        for (std::size_t i = 0; i < 2 * count; ++i)
            checksum = checksum * 31 + std::uint32_t(f[i]);
        if (trackHeap)
            heapPeak = std::max(heapPeak, heapInUse());
    }
    void detectorColumn(int column, std::int32_t maximum) override
    {
        const int y = rows::detector(maximum);
        if (keep)
            detectorCalls.emplace_back(column, y);
        checksum = checksum * 37 + std::uint32_t(y);
    }
    void cumulativeColumn(int column, std::int32_t maximum, std::int32_t minimum) override
    {
        const int yHigh = rows::cumulative(maximum);
        const int yLow = rows::cumulative(minimum);
        if (keep)
            graph2Calls.push_back({column, yHigh, yLow});
        checksum = checksum * 41 + std::uint32_t(yHigh) * 3 + std::uint32_t(yLow);
        if (trackHeap)
            heapPeak = std::max(heapPeak, heapInUse());
    }
};

struct FastRun
{
    double seconds = 0;
    int peakBlock = -1;
    int change = 0;
    std::size_t heapBefore = 0;
    std::size_t heapPeak = 0;
    std::size_t heapAfter = 0;
};

FastRun runFast(const std::vector<std::int32_t> &words, const std::vector<double> &marker,
                Collector &collector)
{
    FastRun run;
    const auto count = std::int64_t(words.size());
    const std::size_t chunk = 16384; // pushed as a reader would, a second at a time
    run.heapBefore = heapInUse();
    collector.heapPeak = run.heapBefore;
    const bench::Clock::time_point start = bench::Clock::now();
    {
        dsp::TemplateAnalysis analysis(marker, count, collector, collector);
        const std::int32_t *data = words.data() + kLeadIn;
        const auto n = std::size_t(analysis.sampleCount());
        for (std::size_t at = 0; at < n; at += chunk)
            analysis.pushFirst(data + at, std::min(chunk, n - at));
        analysis.finishFirst();
        for (std::size_t at = 0; at < n; at += chunk)
            analysis.pushSecond(data + at, std::min(chunk, n - at));
        analysis.finishSecond();
        run.peakBlock = analysis.peakBlock();
        run.change = analysis.change();
        run.heapAfter = heapInUse();
    }
    run.seconds = bench::secondsSince(start);
    run.heapPeak = std::max(collector.heapPeak, run.heapAfter);
    return run;
}

} // namespace

int main()
{
    const std::int64_t fullSamples = 600 * kRate;
    const std::int64_t sliceSamples = 30 * kRate;
    const std::vector<std::int32_t> words = recording(fullSamples);
    const std::vector<double> marker = testsignals::shapedTemplate(1006);

    std::printf("analysis benchmark: %lld samples (10 min at 16384 Hz), template of 1006 values\n",
                static_cast<long long>(fullSamples));

    // The first run samples the heap at every observer call; it is not
    // timed. The machine may be shared: the best of three further runs counts.
    Collector fullCollector(false, true);
    FastRun full = runFast(words, marker, fullCollector);
    full.seconds = 1e300;
    for (int again = 0; again < 3; ++again) {
        Collector collector(false, false);
        const FastRun run = runFast(words, marker, collector);
        full.seconds = std::min(full.seconds, run.seconds);
    }
    std::printf("streaming, 10 min:      %8.3f s  best of 3 (peak block %d, change %d)\n",
                full.seconds, full.peakBlock, full.change);

    const std::vector<std::int32_t> slice(words.begin(), words.begin() + kLeadIn + sliceSamples);
    reference::AnalysisRecord literal;
    const double literalSlice =
        bench::bestOf(2, [&]() { literal = reference::literalAnalysis(slice, marker); });
    const double literalScaled = literalSlice * double(fullSamples) / double(sliceSamples);
    std::printf("literal, first 30 s:    %8.3f s  best of 2\n", literalSlice);
    std::printf("literal, 10 min:        %8.1f s  (scaled linearly from the 30 s slice, not run)\n",
                literalScaled);
    std::printf("speed ratio:            %8.0fx\n", literalScaled / full.seconds);

    Collector sliceCollector(true, false);
    const FastRun fastSlice = runFast(slice, marker, sliceCollector);
    const testsignals::Mismatch frames =
        testsignals::compareWords(literal.frames, sliceCollector.frames);
    const std::size_t frameMismatch = frames.differing, frameBeyondOne = frames.beyondOne;
    std::size_t detectorMismatch = 0, cumulativeMismatch = 0;
    for (std::size_t i = 0; i < literal.detectorCalls.size(); ++i)
        detectorMismatch += literal.detectorCalls[i] != sliceCollector.detectorCalls[i];
    for (std::size_t i = 0; i < literal.graph2Calls.size(); ++i)
        cumulativeMismatch += literal.graph2Calls[i] != sliceCollector.graph2Calls[i];
    std::printf(
        "mismatches on 30 s:     frames %zu of %zu (beyond +-1: %zu), detector columns %zu of %zu,"
        " cumulative columns %zu of %zu, peak block %d/%d, change %d/%d\n",
        frameMismatch, literal.frames.size(), frameBeyondOne, detectorMismatch,
        literal.detectorCalls.size(), cumulativeMismatch, literal.graph2Calls.size(),
        fastSlice.peakBlock, literal.peakBlock, fastSlice.change, literal.change);

    std::printf(
        "streaming memory beyond its inputs, 10 min: peak %.1f KiB, held at the end %.1f KiB\n",
        double(full.heapPeak - full.heapBefore) / 1024.0,
        double(full.heapAfter - full.heapBefore) / 1024.0);
    std::printf("(checksum %016llx)\n", static_cast<unsigned long long>(fullCollector.checksum));
    return 0;
}
