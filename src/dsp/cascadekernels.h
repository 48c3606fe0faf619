#pragma once

// The band-pass cascade's kernels and constants.

#include "dsp/conversions.h"
#include "dsp/filtercascade.h"

#include <array>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace dsp::cascade {

constexpr int kLongTaps = 528;
constexpr int kShortTaps = 100;
/// A symmetric kernel of N taps delays by N / 2.
constexpr std::int64_t kHighPassDelay = kLongTaps / 2;
constexpr std::int64_t kLowPassDelay = kShortTaps / 2;
constexpr int kHighPassStages = 5;
constexpr int kLowPassStages = 4;
constexpr std::int64_t kGroupDelay =
    kHighPassStages * kHighPassDelay + kLowPassStages * kLowPassDelay;

// The weighted sums of the high-pass stages start after this index.
constexpr std::int64_t kGatedUntil = 528;

// Length of the single FIR the nine stages make once they are past their
// start-up: each high-pass stage is h - delta(n - 264) (528 taps), each
// low-pass stage is g (100 taps).
constexpr std::size_t kCombinedTaps =
    kHighPassStages * (kLongTaps - 1) + kLowPassStages * (kShortTaps - 1) + 1;

// The high-pass stages leave out their weighted sums up to index 528. What
// that changes reaches 527 words further through each later high-pass stage
// and 99 words through each low-pass stage, so from index 528 + 4 * 527 +
// 4 * 99 + 1 = 3033 on the output is the combined FIR of the input. Below
// kFirstBlock the stages are run directly; from kFirstBlock on the combined
// FIR runs in FFT blocks.
constexpr std::int64_t kFirstBlock = 4096;
static_assert(kFirstBlock >= kGatedUntil + (kHighPassStages - 1) * (kLongTaps - 1)
                                 + kLowPassStages * (kShortTaps - 1) + 1,
              "the direct start-up must cover the time-varying region");
static_assert(kFirstBlock > filter::kDampedUntil, "the FIR region is undamped");
static_assert(kFirstBlock - static_cast<std::int64_t>(kCombinedTaps) + 1 >= filter::kLeadInWords,
              "the first block's history lies within the direct start-up");

// FFT length of the overlap-save blocks and the new words each one filters.
constexpr int kFftSize = 16384;
constexpr std::size_t kBlockWords = kFftSize - (kCombinedTaps - 1);
// Blocks a helper thread may have under way.
constexpr std::size_t kSlots = 4;
static_assert(kCombinedTaps < static_cast<std::size_t>(kFftSize) / 2,
              "FFT blocks must be well longer than the kernel");

struct Kernels
{
    std::array<double, kLongTaps> longKernel;
    std::array<double, kShortTaps> shortKernel;
    // The combined FIR, convolved in extended precision and rounded once.
    std::vector<double> combined;
};

/// The kernels, made once.
const Kernels &kernels();

/// The direct start-up's rows by word index, 0 below the first sample: row
/// 0 is the input, rows 1-5 the high-pass and 6-9 the low-pass results.
using StartUpRows = std::vector<std::array<double, kFirstBlock>>;

/// outputWord() of a word past the damped start-up. Written as 0 beyond the
/// magnitude limit, not saturated; the test is false for NaN, which gives 0
/// as well. Without branches, so that a block's words are converted in a
/// vector loop.
inline std::int32_t undampedWord(double y)
{
    const double v = y * filter::kGain;
    return std::fabs(v) <= filter::kClipMagnitude ? toInt32(v) : 0;
}

/// Whether undampedWord(y) is 0 because y lies beyond the magnitude limit
/// (or is NaN): a word the output could not hold.
inline bool beyondLimit(double y)
{
    return !(std::fabs(y * filter::kGain) <= filter::kClipMagnitude);
}

/// filter::outputWord(), inline for the start-up.
inline std::int32_t outputWord(double y, std::int64_t n)
{
    if (n <= filter::kDampedUntil)
        y = y / 100000;
    return undampedWord(y);
}

} // namespace dsp::cascade
