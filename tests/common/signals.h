#pragma once

// Signals the suites and benchmarks feed the analysis, and the comparison of
// word sequences that may differ by one rounding step.

#include "dsp/conversions.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <random>
#include <vector>

namespace testsignals {

/// A shaped marker event: a Gaussian-windowed oscillation, `n` values.
inline std::vector<double> shapedTemplate(int n, double scale = 1e4)
{
    std::vector<double> t(static_cast<std::size_t>(n));
    for (int i = 0; i < n; ++i) {
        const double u = (i - n / 2.0) / (n / 6.0);
        t[static_cast<std::size_t>(i)] =
            scale * std::exp(-u * u) * std::sin(2 * M_PI * i / 57.0 + 0.3);
    }
    return t;
}

/// A processed recording of `count` words: band-limited noise of about
/// `noise` rms (a resonator around 1/40 of the rate) plus `events`
/// template-shaped events of 3e8 to 1e9 at seeded places after the lead-in.
/// With `silentLeadIn` the first 48 words are zero and draw no noise.
inline std::vector<std::int32_t> recording(std::int64_t count, std::uint64_t seed,
                                           double noise = 1e8, std::int64_t events = 4,
                                           bool silentLeadIn = false)
{
    std::vector<std::int32_t> words(static_cast<std::size_t>(std::max<std::int64_t>(count, 0)));
    std::mt19937_64 rng(seed);
    std::normal_distribution<double> white(0.0, 1.0);
    const double rho = 0.97, theta = 2 * M_PI / 40.0;
    const double a1 = 2 * rho * std::cos(theta), a2 = -rho * rho;
    const double gain = noise * 0.17;
    const std::size_t first = silentLeadIn ? std::min<std::size_t>(48, words.size()) : 0;
    double y1 = 0, y2 = 0;
    std::vector<double> signal(words.size(), 0.0);
    for (std::size_t i = first; i < signal.size(); ++i) {
        const double y = gain * white(rng) + a1 * y1 + a2 * y2;
        y2 = y1;
        y1 = y;
        signal[i] = y;
    }
    const std::vector<double> shape = shapedTemplate(1006, 1.0);
    std::uniform_int_distribution<std::int64_t> where(48, std::max<std::int64_t>(48, count - 1007));
    std::uniform_real_distribution<double> height(3e8, 1e9);
    for (std::int64_t e = 0; e < events && count > 1100; ++e) {
        const std::int64_t at = where(rng);
        const double h = height(rng);
        for (int i = 0; i < 1006; ++i)
            signal[static_cast<std::size_t>(at + i)] += h * shape[static_cast<std::size_t>(i)];
    }
    for (std::size_t i = first; i < words.size(); ++i)
        words[i] = dsp::toInt32(std::max(-2.1e9, std::min(2.1e9, signal[i])));
    return words;
}

/// How two word sequences differ over their common length.
struct Mismatch
{
    std::size_t differing = 0;
    std::size_t beyondOne = 0; ///< entries that differ by more than one
};

inline Mismatch compareWords(const std::vector<std::int32_t> &a, const std::vector<std::int32_t> &b)
{
    Mismatch m;
    for (std::size_t i = 0; i < std::min(a.size(), b.size()); ++i) {
        const std::int64_t diff = std::int64_t(a[i]) - b[i];
        m.differing += diff != 0;
        m.beyondOne += std::llabs(diff) > 1;
    }
    return m;
}

inline bool withinOne(std::int64_t a, std::int64_t b)
{
    return std::llabs(a - b) <= 1;
}

} // namespace testsignals
