#pragma once

#include "dsp/constants.h"
#include "dsp/widevectors.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

namespace dsp {

/// Shared constants of the processing pass.
namespace filter {
/// Words copied unchanged at the start of a file (192 bytes).
constexpr std::int64_t kLeadInWords = dsp::kLeadInWords;
/// Output words up to this index are divided by 100000 before the gain.
constexpr std::int64_t kDampedUntil = 2999;
/// Gain applied after the cascade.
constexpr double kGain = 2000.0;
/// Magnitudes above this after the gain are written as 0.
constexpr double kClipMagnitude = 2000000000.0;

/// The final conversion of one cascade value y (in input sample units) of
/// word index n: divided by 100000 while n <= 2999, multiplied by the gain,
/// truncated toward zero; 0 when the magnitude then exceeds 2e9 (and for
/// NaN), never saturated.
std::int32_t outputWord(double y, std::int64_t n);

/// The largest magnitude among `count` words, and how many of them are
/// `near` or more in magnitude (`near` above 0).
struct WordLevel
{
    std::int64_t peak = 0;
    std::int64_t atLeast = 0;
};
WordLevel wordLevel(const std::int32_t *words, std::size_t count, std::int32_t near);

} // namespace filter

/// The nine-stage band-pass cascade (five 528-tap high-pass stages, four
/// 100-tap low-pass stages, start-up damping, gain and clamp) as a stream.
///
/// Feed it the sample words that follow the 48-word lead-in, in file order:
/// the first word pushed is word index 48. Filtered words come out in the
/// same order, possibly some time after their inputs went in. The words that
/// come out do not depend on how the input is split into pushes.
///
/// The first words (index below firstBlockIndex()) are computed directly,
/// stage by stage, and come out once all of them are pushed (or on
/// finish()). From there on,
/// where the cascade no longer depends on its start-up, it is one combined
/// FIR applied by FFT in fixed blocks of blockWords() words, counted from
/// firstBlockIndex(); a block comes out when its last word is pushed, the
/// final partial block on finish(). The working memory is fixed (well under
/// 1 MB, 2 MB with a helper thread) apart from filtered words waiting to be
/// pulled.
///
/// Not thread-safe as an object; separate objects may run in separate
/// threads. With setHelperThread(true), a thread of the object's own
/// filters blocks beside the pushing one, up to four blocks under way at
/// once; their words come out after a later push, all of them on finish(),
/// and they are the same words.
class FilterCascade
{
public:
    /// `wide`: whether the blocks and the start-up take their wide forms,
    /// where the processor has them; the words are the same either way.
    explicit FilterCascade(bool wide = wideVectorsSupported());
    ~FilterCascade();
    FilterCascade(const FilterCascade &) = delete;
    FilterCascade &operator=(const FilterCascade &) = delete;

    /// Whether pushes may use a second thread (off by default). The caller
    /// claims the core for it.
    void setHelperThread(bool use);

    /// Appends `count` input words (count may be 0; `words` may then be
    /// null). Precondition: finish() has not been called; words pushed after
    /// it are ignored.
    void push(const std::int32_t *words, std::size_t count);

    /// Declares the end of the input: every word pushed so far becomes
    /// available to pull(). No push may follow. Calling it again does
    /// nothing.
    void finish();

    /// Number of filtered words ready to be pulled.
    std::size_t available() const;

    /// Moves up to `max` filtered words, oldest first, into `out`.
    /// Returns how many were moved.
    std::size_t pull(std::int32_t *out, std::size_t max);

    /// Filtered words so far (those pulled and those ready) that were beyond
    /// the output's magnitude limit and so were written as 0.
    std::int64_t wordsOutOfRange() const;

    /// Word index from which the combined FIR takes over.
    static std::int64_t firstBlockIndex();
    /// Words per FFT block of the combined FIR.
    static std::size_t blockWords();
    /// Taps of the combined FIR that the nine stages amount to.
    static std::size_t combinedTaps();
    /// The combined FIR itself (before the gain), oldest tap first.
    static std::vector<double> combinedKernel();
    /// Samples by which the cascade delays its input (1520).
    static std::int64_t groupDelay();

    /// Makes what every cascade shares and makes once per process (the
    /// combined kernel and its transform's plans), so that the first
    /// cascade starts at once; safe from any thread, at any time.
    static void prepare();

private:
    struct Impl;
    std::unique_ptr<Impl> d;
};

} // namespace dsp
