#pragma once

// The cascade's arithmetic: the direct start-up and the combined FIR's
// blocks. Inline, so that its narrow and its wide form (blockmath.h) are
// each compiled whole.

#include "dsp/cascadekernels.h"
#include "dsp/fftwplanner.h"
#include "dsp/overlapsave.h"

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>

namespace dsp::cascade {

// The start-up words from the lead-in up to `end`, each stage over all of
// them before the next, as a word's stage depends only on the stage before
// at that word and earlier ones. Every word's sums are taken in the same
// order of operations as the word-by-word pass, so these words come out bit
// for bit the same; running the words side by side only lets the sums of
// neighbouring words overlap.
/// The start-up words from the lead-in up to `end` into `to`, from `rows`
/// (the input row filled; the stage rows are formed).
inline void runStartUp(const Kernels &k, StartUpRows &rows, std::int64_t end, std::int32_t *to)
{
    const std::size_t first = static_cast<std::size_t>(filter::kLeadInWords);
    const std::size_t last = static_cast<std::size_t>(end);
    std::array<double, kFirstBlock> sums;

    for (int stage = 1; stage <= kHighPassStages; ++stage) {
        const double *__restrict in = rows[static_cast<std::size_t>(stage - 1)].data();
        double *__restrict acc = sums.data();
        std::fill(acc + first, acc + last, 0.0);
        // The weighted sums start after kGatedUntil.
        const std::size_t from = std::max(first, static_cast<std::size_t>(kGatedUntil) + 1);
        for (std::size_t j = 0; j < static_cast<std::size_t>(kLongTaps); ++j) {
            const double weight = k.longKernel[j];
            for (std::size_t i = from; i < last; ++i)
                acc[i] += weight * in[i - j];
        }
        double *out = rows[static_cast<std::size_t>(stage)].data();
        // Less the input from 264 words earlier; 0 before the first sample.
        for (std::size_t i = first; i < last; ++i)
            out[i] =
                acc[i]
                - (i >= static_cast<std::size_t>(kHighPassDelay) ? in[i - kHighPassDelay] : 0.0);
    }

    for (int stage = 1; stage <= kLowPassStages; ++stage) {
        const double *__restrict in =
            rows[static_cast<std::size_t>(kHighPassStages + stage - 1)].data();
        double *__restrict acc = sums.data();
        std::fill(acc + first, acc + last, 0.0);
        // Words before the kernel's length have fewer terms.
        const std::size_t full = std::max(first, static_cast<std::size_t>(kShortTaps) - 1);
        for (std::size_t i = first; i < std::min(full, last); ++i)
            for (std::size_t m = 0; m <= i; ++m)
                acc[i] += k.shortKernel[m] * in[i - m];
        for (std::size_t m = 0; m < static_cast<std::size_t>(kShortTaps); ++m) {
            const double weight = k.shortKernel[m];
            for (std::size_t i = full; i < last; ++i)
                acc[i] += weight * in[i - m];
        }
        std::copy(acc + first, acc + last,
                  rows[static_cast<std::size_t>(kHighPassStages + stage)].data() + first);
    }

    for (std::size_t i = first; i < last; ++i)
        to[i - first] = outputWord(rows.back()[i], static_cast<std::int64_t>(i));
}

// Filters one block: `input` (kFftSize values from fftw_malloc) holds its
// history, `words` new words and zero padding, and is left as it is; the
// `words` results go to `to`. Answers how many of them lie beyond the
// magnitude limit (beyondLimit()), counted in the same loop. The blocks
// start past the damped start-up. `kernelSpectrum` is the combined FIR's,
// from kernelSpectrum().
inline std::int64_t filterBlock(RealTransform &transform, const fftw_complex *kernelSpectrum,
                                double *input, std::size_t words, std::int32_t *to)
{
    const KernelOutput output{kernelSpectrum, transform.output()};
    overlapSave(transform, input, &output, 1, transform.spectrum());

    const double *y = transform.output() + (kCombinedTaps - 1);
    std::int64_t beyond = 0;
    for (std::size_t t = 0; t < words; ++t) {
        to[t] = undampedWord(y[t]);
        beyond += beyondLimit(y[t]) ? 1 : 0;
    }
    return beyond;
}

} // namespace dsp::cascade
