#pragma once

// The block arithmetic of the analysis: everything of a block that depends
// on the block alone. Inline, so that its narrow and its wide form
// (blockmath.h) are each compiled whole.

#include "dsp/analysislane.h"
#include "dsp/correlationsums.h"
#include "dsp/correlationtemplates.h"
#include "dsp/overlapsave.h"
#include "dsp/templateanalysis.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>

namespace dsp::analysis {

/// The samples `loop` sees over the lane's block, from its words; the
/// second loop's steps outside `kept` take the edge sine.
inline void scaleWords(KeptRange kept, Lane &lane, Loop loop)
{
    double *x = lane.input[loop == Loop::First ? 0 : 1].x;
    const int used = kHistory + lane.filled;
    if (loop == Loop::First) {
        for (int i = 0; i < used; ++i)
            x[i] = lane.words[i] / kSampleScale;
    } else {
        // The second loop's steps outside the kept range take the edge sine;
        // before step 48 its history is zero.
        const std::int64_t firstStep = lane.start - kHistory;
        const auto at = [&](std::int64_t step, int from) {
            return static_cast<int>(std::clamp<std::int64_t>(step - firstStep, from, used));
        };
        const int lead = at(kLeadInWords, 0);
        const int keptFrom = at(kept.first, lead);
        const int keptEnd = at(kept.last + 1, keptFrom);
        std::int32_t words[kHistory + kHop];
        std::fill(words, words + lead, 0);
        edgeSineWords(firstStep + lead, keptFrom - lead, words + lead);
        std::copy(lane.words + keptFrom, lane.words + keptEnd, words + keptFrom);
        edgeSineWords(firstStep + keptEnd, used - keptEnd, words + keptEnd);
        for (int i = 0; i < used; ++i)
            x[i] = words[i] / kSampleScale;
    }
    std::fill(x + used, x + kFftSize, 0.0);
}

/// `v` moved up by `by` places, zeros coming in.
inline Quad shiftedUp(Quad v, int by)
{
    return by == 1 ? __builtin_shuffle(v, Quad{}, QuadBits{4, 0, 1, 2})
                   : __builtin_shuffle(v, Quad{}, QuadBits{4, 5, 0, 1});
}

/// The exact sums over each step's window, block positions t .. t + 1005,
/// as differences of running sums. The samples are integers below 2^17, so
/// every running sum of them or of their squares over a block is an
/// integer below 2^46, exact in a double: the order of the additions never
/// matters, and the running sums are formed four samples at a time.
inline void windowSums(LoopInput &in, int filled)
{
    // sums[i] and squares[i]: of samples 0 .. i - 1. The samples' array is
    // a whole number of quads long.
    static_assert(kFftSize % 4 == 0 && kHistory + kHop == kFftSize);
    alignas(32) double sums[kFftSize + 4];
    alignas(32) double squares[kFftSize + 4];
    sums[0] = squares[0] = 0.0;
    Quad sumsBefore{};
    Quad squaresBefore{};
    for (int i = 0; i < kHistory + filled; i += 4) {
        const Quad x = loadQuad(in.x + i);
        const Quad x2 = x * x;
        Quad s = x + shiftedUp(x, 1);
        Quad q = x2 + shiftedUp(x2, 1);
        s = s + shiftedUp(s, 2) + sumsBefore;
        q = q + shiftedUp(q, 2) + squaresBefore;
        std::memcpy(sums + i + 1, &s, sizeof s);
        std::memcpy(squares + i + 1, &q, sizeof q);
        sumsBefore = Quad{} + s[3];
        squaresBefore = Quad{} + q[3];
    }
    for (int t = 0; t < filled; ++t) {
        in.sumAt[t] = sums[t + kWindow] - sums[t];
        in.squaresAt[t] = squares[t + kWindow] - squares[t];
    }
}

/// The block's energy, and the transformed sums of products of `in` with
/// the wanted kernels.
inline void transformBlock(const Templates &templates, Lane &lane, LoopInput &in, bool withReversed,
                           bool withAmplitude)
{
    // Squares of integers below 2^17, at most 2048 of them: every partial sum
    // is an exact integer, so the order of accumulation does not matter.
    double partial[4] = {};
    for (int i = 0; i < kFftSize; i += 4) {
        for (int k = 0; k < 4; ++k)
            partial[k] += in.x[i + k] * in.x[i + k];
    }
    lane.energy = (partial[0] + partial[1]) + (partial[2] + partial[3]);
    lane.norm = std::sqrt(lane.energy);
    lane.loud.count = 0;
    lane.loud.transformNorm = 0.0;
    for (auto &span : lane.levels)
        for (Lane::LevelSpectrum &level : span)
            level.valid = false;
    std::fill(lane.loud.inWindow, lane.loud.inWindow + lane.filled, 0.0);
    if (lane.energy == 0.0)
        return;

    RealTransform &fft = lane.fft;
    const bool needForward = templates.forward.mode == KernelMode::Fourier;
    const bool needReversed = withReversed && templates.reversed.mode == KernelMode::Fourier;
    if (needForward || needReversed) {
        double *input = takeOutLoudSamples(lane, in, fft.input()) ? fft.input() : in.x;
        KernelOutput outputs[2];
        int count = 0;
        if (needForward)
            outputs[count++] = {templates.forward.spectrum.get(), fft.output()};
        if (needReversed)
            outputs[count++] = {templates.reversed.spectrum.get(), lane.reversedOut.get()};
        overlapSave(fft, input, outputs, count, lane.product.get());
        if (needForward)
            addLoudProducts(templates.forward, lane, in, fft.output());
        if (needReversed)
            addLoudProducts(templates.reversed, lane, in, lane.reversedOut.get());
    }
    if (withAmplitude) {
        double *fftIn = fft.input();
        for (int i = 0; i < kFftSize; ++i)
            fftIn[i] = std::fabs(in.x[i]);
        const KernelOutput output{templates.taperSpectrum.get(), lane.amplitudeOut.get()};
        overlapSave(fft, fftIn, &output, 1, lane.product.get());
    }
}

/// Where the first largest of `n` detector words and the first largest of
/// the magnitudes of their `r` are; a NaN never counts. Four steps at a
/// time, each of the four keeping its first largest, then the four
/// compared: the same answer as one step at a time.
inline Lane::Largest largestInRun(const std::int32_t *words, const double *r, int n)
{
    using Quad = double __attribute__((vector_size(32)));
    using QuadBits = std::int64_t __attribute__((vector_size(32)));
    using Words = std::int32_t __attribute__((vector_size(16)));
    // Every word and every magnitude is larger than these.
    Quad bestWord = Quad{} - 3e9;
    Quad bestR = Quad{} - 1.0;
    Quad wordAt = Quad{};
    Quad rAt = Quad{} - 1.0;
    Quad index = {0.0, 1.0, 2.0, 3.0};
    int i = 0;
    for (; i + 4 <= n; i += 4) {
        Words w4;
        std::memcpy(&w4, words + i, sizeof w4);
        const Quad w = __builtin_convertvector(w4, Quad);
        QuadBits bits;
        std::memcpy(&bits, r + i, sizeof bits);
        const Quad m = reinterpret_cast<Quad>(bits & INT64_MAX);
        const auto wordGreater = w > bestWord;
        bestWord = wordGreater ? w : bestWord;
        wordAt = wordGreater ? index : wordAt;
        const auto rGreater = m > bestR;
        bestR = rGreater ? m : bestR;
        rAt = rGreater ? index : rAt;
        index += 4.0;
    }
    double word = -3e9;
    double magnitude = -1.0;
    Lane::Largest at;
    for (int k = 0; k < 4; ++k) {
        const bool firstWord = bestWord[k] > word || (bestWord[k] == word && wordAt[k] < at.wordAt);
        if (firstWord) {
            word = bestWord[k];
            at.wordAt = static_cast<int>(wordAt[k]);
        }
        const bool firstR =
            bestR[k] > magnitude || (bestR[k] == magnitude && rAt[k] < at.correlationAt);
        if (firstR && rAt[k] >= 0.0) {
            magnitude = bestR[k];
            at.correlationAt = static_cast<int>(rAt[k]);
        }
    }
    for (; i < n; ++i) {
        if (static_cast<double>(words[i]) > word) {
            word = static_cast<double>(words[i]);
            at.wordAt = i;
        }
        if (std::fabs(r[i]) > magnitude) {
            magnitude = std::fabs(r[i]);
            at.correlationAt = i;
        }
    }
    return at;
}

/// Everything of a lane that depends on its block alone: samples, window
/// sums, transforms, coefficients, detector words and frames.
inline void computeLane(const Templates &templates, KeptRange kept, Lane &lane)
{
    const int fromFirst = firstUsed(kLastSkippedOutputStep, lane);
    const int fromSecond = firstUsed(kLastSkippedCumulativeStep, lane);
    if (lane.first) {
        LoopInput &in = lane.input[0];
        scaleWords(kept, lane, Loop::First);
        windowSums(in, lane.filled);
        transformBlock(templates, lane, in, lane.shared, !templates.taperZero);
        // Shared, the forward coefficients serve the second loop's earlier
        // start as well.
        const int from = lane.shared ? fromSecond : fromFirst;
        coefficients(templates.forward, lane, in, lane.fft.output(), from, lane.forward[0]);
        const bool amplitudes = lane.energy > 0.0 && !templates.taperZero;
        for (int t = fromFirst; t < lane.filled; ++t) {
            const double amplitude = amplitudes ? lane.amplitudeOut[kHistory + t] : 0.0;
            lane.detectorWords[t] = toInt32(std::fabs(lane.forward[0][t]) * amplitude);
        }
        for (int t = fromFirst, run = 0; t < lane.filled; ++run) {
            const int n = blockRun(lane.start + t, lane.filled - t);
            lane.largest[run] = largestInRun(lane.detectorWords + t, lane.forward[0] + t, n);
            t += n;
        }
        // The block's first two frames take r from the block before.
        const int full = static_cast<int>(std::min<std::int64_t>(
            std::max<std::int64_t>(kFirstFullFrame - lane.start, 2), lane.filled));
        for (int t = 2; t < full; ++t)
            frameOf(lane.start + t, lane.forward[0][t - 2],
                    lane.words[kHistory + t - 1 - kHalfWindow], lane.frames + 2 * t);
        if (full < lane.filled)
            fullFrames(lane.forward[0] + full - 2, lane.words + kHistory + full - 1 - kHalfWindow,
                       lane.filled - full, lane.frames + 2 * full);
        if (lane.shared) {
            std::copy(lane.forward[0] + from, lane.forward[0] + lane.filled,
                      lane.forward[1] + from);
            coefficients(templates.reversed, lane, in, lane.reversedOut.get(), fromSecond,
                         lane.reversed);
        }
    }
    if (lane.second && !lane.shared) {
        LoopInput &in = lane.input[1];
        scaleWords(kept, lane, Loop::Second);
        windowSums(in, lane.filled);
        transformBlock(templates, lane, in, true, false);
        coefficients(templates.forward, lane, in, lane.fft.output(), fromSecond, lane.forward[1]);
        coefficients(templates.reversed, lane, in, lane.reversedOut.get(), fromSecond,
                     lane.reversed);
    }
}

} // namespace dsp::analysis
