#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

namespace dsp {

/// Shared constants of the processing pass.
namespace filter {
/// Words copied unchanged at the start of a file (192 bytes).
constexpr std::int64_t kLeadInWords = 48;
/// The circle constant the kernels are built from (deliberately short).
constexpr double kPi = 3.14159265356;
/// Output words up to this index are divided by 100000 before the gain.
constexpr std::int64_t kDampedUntil = 2999;
/// Gain applied after the cascade.
constexpr double kGain = 2000.0;
/// Magnitudes above this after the gain are written as 0.
constexpr double kClipMagnitude = 2000000000.0;

/// The final conversion of one cascade value y of word index n: damping,
/// gain, truncation toward zero, and 0 for magnitudes above 2e9 (NaN too).
std::int32_t outputWord(double y, std::int64_t n);

/// Progress of the pass at word index n of a file with `count` sample words
/// (count > 0): (n - 48) * 100 / float(count), truncated toward zero.
int progressPercent(std::int64_t n, std::int64_t count);
} // namespace filter

/// The nine-stage band-pass cascade (five 528-tap high-pass stages, four
/// 100-tap low-pass stages, start-up damping, gain and clamp) as a stream.
///
/// Feed it the sample words that follow the 48-word lead-in, in file order:
/// the first word pushed is word index 48. Filtered words come out in the
/// same order, possibly some time after their inputs went in. The words that
/// come out do not depend on how the input is split into pushes.
class FilterCascade
{
public:
    FilterCascade();
    ~FilterCascade();
    FilterCascade(const FilterCascade &) = delete;
    FilterCascade &operator=(const FilterCascade &) = delete;

    /// Appends `count` input words (count may be 0).
    /// Precondition: finish() has not been called.
    void push(const std::int32_t *words, std::size_t count);

    /// Declares the end of the input: every word pushed so far becomes
    /// available to pull(). No push may follow.
    void finish();

    /// Number of filtered words ready to be pulled.
    std::size_t available() const;

    /// Moves up to `max` filtered words, oldest first, into `out`.
    /// Returns how many were moved.
    std::size_t pull(std::int32_t *out, std::size_t max);

private:
    struct Impl;
    std::unique_ptr<Impl> d;
};

} // namespace dsp
