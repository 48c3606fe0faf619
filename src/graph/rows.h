#pragma once

#include "dsp/conversions.h"

#include <cstdint>
#include <vector>

/// Where signal values land on the graph display, in pixel rows (y grows
/// downwards). The analysis hands out words and block values; this is the
/// one place that turns them into rows.
namespace rows {

/// Baselines of the three close-up series: the row a zero word sits on.
constexpr int kBaselineX = 60;
constexpr int kBaselineAsym = 250;
constexpr int kBaselineSym = 330;
/// Words per pixel of the close-up series; the division truncates toward
/// zero, so words within one scale step of zero stay on the baseline.
constexpr int kSeriesScale = 20000000;
/// The row a detector block value of zero maps to.
constexpr int kDetectorZero = 600;
/// The row a cumulative-sum block value of zero maps to.
constexpr int kCumulativeZero = 800;

/// A sample or component word as a close-up row.
inline int series(int baseline, std::int32_t word)
{
    return baseline - word / kSeriesScale;
}

/// Turns a series of words into rows on `baseline`, in place.
inline void toSeries(std::vector<int> &words, int baseline)
{
    for (int &word : words)
        word = series(baseline, word);
}

/// The overview row of a detector block maximum, saturated to the int range.
inline int detector(std::int32_t maximum)
{
    return dsp::saturateToInt32(std::int64_t{kDetectorZero} - maximum);
}

/// The overview row of a cumulative-sum block value, saturated.
inline int cumulative(std::int32_t value)
{
    return dsp::saturateToInt32(std::int64_t{kCumulativeZero} - value);
}

} // namespace rows
