#pragma once

// Recorders of what an analysis reports. Each keeps the block values as the
// analysis hands them out and the rows the graph draws from them, so a test
// can check either against the literal reference.

#include "dsp/templateanalysis.h"
#include "graph/rows.h"

#include <array>
#include <cstdint>
#include <utility>
#include <vector>

namespace recorders {

/// The overview's block values and their rows, in call order, over any
/// interface that has the analysis's column callbacks.
template <typename Base>
struct Blocks : Base
{
    /// (column, maximum) and (column, maximum, minimum) as handed out.
    std::vector<std::pair<int, std::int32_t>> detectorValues;
    std::vector<std::array<std::int32_t, 3>> cumulativeValues;
    /// The same as overview rows: (column, y) and (column, yHigh, yLow).
    std::vector<std::pair<int, int>> detector;
    std::vector<std::array<int, 3>> cumulative;

    void detectorColumn(int column, std::int32_t maximum) override
    {
        detectorValues.emplace_back(column, maximum);
        detector.emplace_back(column, rows::detector(maximum));
    }
    void cumulativeColumn(int column, std::int32_t maximum, std::int32_t minimum) override
    {
        cumulativeValues.push_back({column, maximum, minimum});
        cumulative.push_back({column, rows::cumulative(maximum), rows::cumulative(minimum)});
    }
};

/// Everything the numeric core reports: block values and the frames.
struct Core : Blocks<dsp::AnalysisObserver>, dsp::FrameSink
{
    std::vector<std::int32_t> samples;
    std::vector<std::int32_t> frames;
    int peakBlock = -1;
    int change = 0;

    void framesReady(const std::int32_t *s, const std::int32_t *f, std::size_t count) override
    {
        samples.insert(samples.end(), s, s + count);
        frames.insert(frames.end(), f, f + 2 * count);
    }
};

} // namespace recorders
