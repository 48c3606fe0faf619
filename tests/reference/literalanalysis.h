#pragma once

#include <array>
#include <cstdint>
#include <utility>
#include <vector>

namespace reference {

/// Everything one analysis run produces.
struct AnalysisRecord
{
    /// Two words per step: asymmetrical, then symmetrical component.
    std::vector<std::int32_t> frames;
    std::vector<int> seriesX;
    std::vector<int> seriesAsym;
    std::vector<int> seriesSym;
    /// By first-loop step (index step - 48): the correlation with the
    /// template, and |r| times the tapered amplitude as a word.
    std::vector<double> correlations;
    std::vector<std::int32_t> detectorWords;
    /// (column, y) of every detector column, in call order.
    std::vector<std::pair<int, int>> detectorCalls;
    /// (column, yHigh, yLow) of every cumulative-sum column, in call order.
    std::vector<std::array<int, 3>> graph2Calls;
    int peakBlock = -1;
    int change = 0;
};

/// The analysis pass written out literally: both loops with 1006-term direct
/// sums at every step. `fileWords` are the processed file's whole words, the
/// 48-word lead-in included; `markerValues` the template as stored (only the
/// first 1006 are used). Slow on purpose.
AnalysisRecord literalAnalysis(const std::vector<std::int32_t> &fileWords,
                               const std::vector<double> &markerValues);

} // namespace reference
