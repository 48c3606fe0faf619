#pragma once

// The sums of products of each step's window with a template: from the
// block's transform where its rounding is fine enough, directly where not,
// and the correlation coefficients from them.

#include "dsp/analysislane.h"
#include "dsp/correlationtemplates.h"
#include "dsp/overlapsave.h"

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace dsp::analysis {

/// The correlation coefficient from its five sums, evaluated exactly as the
/// direct form evaluates it (same operations, same order).
inline double correlation(double sxy, double sx, double sxx, double sy, double syy)
{
    return (kWindow * sxy - sx * sy)
           / std::sqrt((kWindow * sxx - sx * sx) * (kWindow * syy - sy * sy) + 1e-9);
}

/// The direct form's coefficient for a template held times 2^shift
/// (Kernel::tinyShift) from the scaled `sxy` and `sy`. Its term under the
/// root is 0, so the root is that of 1e-9 alone, and the numerator is the
/// scaled one times 2^-shift exactly; the quotient is rounded once, as in
/// the direct form, unless it is near or below the least normal number,
/// where the scaled quotient's rounding could differ and it is formed
/// unscaled.
/// `half` and `rest` are 2^-(shift / 2) and the rest of 2^-shift, both normal.
inline double tinyCorrelation(double sxy, double sx, double sy, double half, double rest)
{
    const double root = std::sqrt(0.0 + 1e-9);
    const double numerator = kWindow * sxy - sx * sy;
    const double r = numerator / root * half * rest;
    if (numerator == 0.0 || std::fabs(r) > 2 * DBL_MIN)
        return r;
    return numerator * half * rest / root;
}

/// Four doubles side by side: a block's steps are checked four at a time,
/// with the same correctly rounded operations as one at a time.
using Quad = double __attribute__((vector_size(32)));
using QuadBits = std::int64_t __attribute__((vector_size(32)));

inline Quad loadQuad(const double *from)
{
    Quad v;
    std::memcpy(&v, from, sizeof v);
    return v;
}

inline double magnitude(double v)
{
    return std::fabs(v);
}

inline Quad magnitude(Quad v)
{
    return reinterpret_cast<Quad>(reinterpret_cast<QuadBits>(v) & INT64_MAX);
}

/// What the check of a transformed sum needs of a Fourier-mode kernel and
/// the transform: `base` is kFourierErrorScale times the norm of what the
/// transform took in times the kernel's norm.
struct FourierTerms
{
    double offset;
    double dy;
    double largestCentred;
    double unscale;
    double base;

    FourierTerms(const Kernel &kernel, double transformNorm)
        : offset(kernel.offset),
          dy(kernel.dy),
          largestCentred(kernel.largestCentred),
          unscale(kernel.unscale),
          base(kFourierErrorScale * transformNorm * kernel.norm)
    {
    }
};

/// The sum of products of a step (or a Quad of steps) from the transform's
/// output `transformed`, into `sum`; false where its error could move the
/// coefficient too far, and the step needs a direct sum. `sx` and `sxx` are
/// the window's exact sums, `loud` the magnitudes of its samples that the
/// transform left out. Without branches, so that it runs on Quads.
template <typename Value>
inline auto fourierSum(const FourierTerms &k, Value sx, Value sxx, Value loud, Value transformed,
                       Value &sum)
{
    const Value dx = kWindow * sxx - sx * sx;
    const Value mean = k.offset * sx;
    const Value under = dx * k.dy + 1e-9;
    const Value error = DBL_EPSILON * (k.base + 2 * loud * k.largestCentred + magnitude(mean));
    // |r error| ~ N * error / sqrt(under), compared without the root.
    const Value scaled = kWindow * error;
    // Every product of a zero window is exactly zero. A term under the root
    // that rounding made negative (a template of almost no shape) makes the
    // coefficient NaN whatever the sum.
    const auto zero = (sxx == 0.0) | (under < 0.0);
    const auto fine =
        (under > 0.0) & (scaled * scaled <= kMaxCorrelationError * kMaxCorrelationError * under);
    sum = zero ? Value{} : transformed * k.unscale + mean;
    return zero | fine;
}

/// Direct sums of products for the steps listed in `steps`, in order, into
/// `sums`.
inline void directSums(const Kernel &kernel, const LoopInput &in, const int *steps, int count,
                       double *sums)
{
    if (count == 0)
        return;
    // The direct form's order for each step: newest sample with y[0],
    // k = 0 .. 1005, from 0. A tile of neighbouring steps runs side by side,
    // each in its own accumulator, so the sums vectorise and every one is
    // rounded exactly as alone. Alone, a step's 1006 additions each wait on
    // the one before; a whole tile costs about what a single step does, so
    // every wanted step is summed in a tile, with whichever neighbours it
    // has, and only the wanted steps' sums are kept.
    //
    // A product with a zero sample is a zero, and adding a zero leaves a
    // sum as it is: a sum that starts from +0 is never -0 (x + (-x) is +0),
    // and +0 + -0 is +0. So the products with zero samples are left out,
    // where a whole tile's are zero (the digital silence beside a burst).
    // nonzero[i]: how many of block positions 0 .. i - 1 are not zero.
    int nonzero[kFftSize + 1];
    nonzero[0] = 0;
    for (int i = 0; i < kFftSize; ++i)
        nonzero[i + 1] = nonzero[i] + (in.x[i] != 0.0);
    for (int i = 0; i < count;) {
        // The tile stays inside the block: its last step is at most kHop - 1.
        const int first = std::min(steps[i], kHop - kDirectTile);
        const double *x = in.x + kHistory + first;
        // Product k of the tile's steps takes block positions
        // kHistory + first - k and the kDirectTile - 1 after it.
        const int *tileEnd = nonzero + kHistory + first + kDirectTile;
        double acc[kDirectTile] = {};
        for (int k = 0; k < kWindow; ++k) {
            if (tileEnd[-k] == tileEnd[-k - kDirectTile])
                continue;
            const double yk = kernel.y[k];
            for (int j = 0; j < kDirectTile; ++j)
                acc[j] += x[j - k] * yk;
        }
        for (; i < count && steps[i] < first + kDirectTile; ++i)
            sums[steps[i]] = acc[steps[i] - first];
    }
}

/// The direct sums of the steps in `steps` whose window holds one value
/// throughout (digital silence aside, a saturated or constant stretch):
/// the sum depends on that value alone, so each value's is formed once, in
/// the direct form's order. Leaves the other steps in `steps`, in order,
/// returning their count.
inline int constantWindowSums(const Kernel &kernel, const LoopInput &in, int *steps, int count,
                              double *values)
{
    constexpr int kValues = 4;
    double known[kValues];
    double sums[kValues];
    int knownCount = 0;
    int left = 0;
    for (int i = 0; i < count; ++i) {
        const int t = steps[i];
        // Exact integers: N Sxx = Sx^2 only for a window of one value.
        const auto sx = static_cast<std::int64_t>(in.sumAt[t]);
        const auto sxx = static_cast<std::int64_t>(in.squaresAt[t]);
        if (sx * sx != kWindow * sxx) {
            steps[left++] = t;
            continue;
        }
        const double c = in.x[kHistory + t];
        int k = 0;
        while (k < knownCount && known[k] != c)
            ++k;
        if (k == knownCount) {
            if (knownCount == kValues) {
                steps[left++] = t;
                continue;
            }
            double sum = 0.0;
            for (int j = 0; j < kWindow; ++j)
                sum += c * kernel.y[j];
            known[k] = c;
            sums[k] = sum;
            ++knownCount;
        }
        values[t] = sums[k];
    }
    return left;
}

/// Finds the block's loud samples; when they are worth leaving out, makes
/// `fftIn` the block without them and returns true.
inline bool takeOutLoudSamples(Lane &lane, const LoopInput &in, double *fftIn)
{
    Lane::Loud &loud = lane.loud;
    loud.count = 0;
    loud.transformNorm = lane.norm;
    const double limit = lane.energy / kMaxLoud;
    int over = 0;
    for (int i = 0; i < kFftSize; ++i)
        over += in.x[i] * in.x[i] > limit;
    if (over == 0)
        return false;
    double loudEnergy = 0.0;
    for (int i = 0; i < kFftSize && loud.count < kMaxLoud; ++i) {
        const double x = in.x[i];
        if (x * x > limit) {
            loud.at[loud.count++] = i;
            loudEnergy += x * x;
        }
    }
    // Only worth it when the rest is much quieter. The energies are exact
    // integers, so is their difference.
    if ((lane.energy - loudEnergy) * 16 > lane.energy) {
        loud.count = 0;
        return false;
    }
    std::copy(in.x, in.x + kFftSize, fftIn);
    for (int i = 0; i < loud.count; ++i) {
        const int p = loud.at[i];
        fftIn[p] = 0.0;
        // Step t's window covers block positions t .. t + 1005.
        for (int t = std::max(0, p - kHistory); t <= std::min(p, lane.filled - 1); ++t)
            loud.inWindow[t] += std::fabs(in.x[p]);
    }
    loud.transformNorm = std::sqrt(lane.energy - loudEnergy);
    return true;
}

/// Adds the loud samples' products with `kernel` to the transform's `out`.
inline void addLoudProducts(const Kernel &kernel, const Lane &lane, const LoopInput &in,
                            double *out)
{
    // out holds the convolution with the scaled centred template.
    const int endOut = kHistory + lane.filled;
    for (int i = 0; i < lane.loud.count; ++i) {
        const int p = lane.loud.at[i];
        const double v = in.x[p];
        for (int index = std::max(p, kHistory); index < std::min(p + kWindow, endOut); ++index)
            out[index] += v * kernel.centred[index - p];
    }
}

/// Block positions per stretch whose largest magnitude bounds a window's.
constexpr int kMagnitudeChunk = 64;
constexpr int kMagnitudeChunks = kFftSize / kMagnitudeChunk;

/// The level of loudness of a window whose samples are at most `m`: the
/// least level whose bound 2^(kLevelBits * level) is above them.
inline int windowLevel(double m)
{
    int l = 0;
    while (l + 1 < kLevels && m >= static_cast<double>(std::int64_t{1} << (kLevelBits * l)))
        ++l;
    return l;
}

/// Transforms again the steps in `steps` that needed direct sums, a span of
/// kSpanSteps block steps and a level of loudness at a time, each time with
/// the short transform over the positions that the span's steps of the
/// level reach, and without every sample above the largest bound of their
/// windows: no such sample lies in their windows, so their sums of products
/// are unchanged, while the transform's rounding now scales with the
/// quieter samples near them alone (a quiet window beside a click, or
/// beside the ringing a click leaves after the filter). A span's steps of a
/// level are transformed when there are enough of them. Fills `values` of
/// the steps it can and leaves the rest in `steps`, in order, returning
/// their count.
inline int retryBySpan(const Kernel &kernel, Lane &lane, const LoopInput &in, int *steps,
                       int count, double *values)
{
    if (count < kMinRetried)
        return count;
    // The samples are integers below 2^17 (words over kSampleScale), so
    // their magnitudes and squares are taken as integers, exactly and side
    // by side.
    double largest[kMagnitudeChunks];
    for (int c = 0; c < kMagnitudeChunks; ++c) {
        int m = 0;
        for (int i = c * kMagnitudeChunk; i < (c + 1) * kMagnitudeChunk; ++i)
            m = std::max(m, std::abs(static_cast<int>(in.x[i])));
        largest[c] = m;
    }
    // A bound on each step's window: the largest of the stretches it
    // reaches, kMagnitudeChunk block positions each. Step t's window,
    // positions t .. t + 1005, reaches stretches t / 64 to 15 or 16 after
    // it; those bounds are formed once for each first stretch.
    constexpr int kSpan = kHistory / kMagnitudeChunk;
    static_assert(kMagnitudeChunk == 64 && kSpan == 15, "a window reaches 16 or 17 stretches");
    double spanLargest[kHop / kMagnitudeChunk + 1][2];
    for (int c = 0; c <= (kHop - 1) / kMagnitudeChunk; ++c) {
        double m = 0.0;
        for (int k = c; k <= c + kSpan; ++k)
            m = std::max(m, largest[k]);
        spanLargest[c][0] = m;
        const int next = std::min(c + kSpan + 1, kMagnitudeChunks - 1);
        spanLargest[c][1] = std::max(m, largest[next]);
    }
    // Each step's group, span by level, and each group's steps: how many,
    // the positions their windows reach, and the largest bound of their
    // windows (a sample above it lies in none of them).
    constexpr int kGroups = kSpans * kLevels;
    std::uint8_t group[kHop];
    int perGroup[kGroups] = {};
    int groupLo[kGroups];
    int groupEnd[kGroups] = {};
    double groupLargest[kGroups] = {};
    std::fill(groupLo, groupLo + kGroups, kFftSize);
    for (int i = 0; i < count; ++i) {
        const int t = steps[i];
        const int c = t / kMagnitudeChunk;
        const double m = spanLargest[c][(t + kHistory) / kMagnitudeChunk - c - kSpan];
        const int g = t / kSpanSteps * kLevels + windowLevel(m);
        group[i] = static_cast<std::uint8_t>(g);
        ++perGroup[g];
        groupLo[g] = std::min(groupLo[g], t);
        groupEnd[g] = std::max(groupEnd[g], t + kWindow);
        groupLargest[g] = std::max(groupLargest[g], m);
    }
    // The steps by group: group g's are members[first[g] .. first[g + 1] - 1],
    // in order.
    int first[kGroups + 1];
    first[0] = 0;
    for (int g = 0; g < kGroups; ++g)
        first[g + 1] = first[g] + perGroup[g];
    int members[kHop];
    {
        int next[kGroups];
        std::copy(first, first + kGroups, next);
        for (int i = 0; i < count; ++i)
            members[next[group[i]]++] = i;
    }
    bool solved[kHop];
    std::fill(solved, solved + count, false);
    RealTransform &fft = lane.shortFft;
    for (int g = 0; g < kGroups; ++g) {
        // Level 0 holds windows of zeros alone, which never need a direct sum.
        if (perGroup[g] < kMinRetried || g % kLevels == 0)
            continue;
        const int lo = groupLo[g];
        const int end = groupEnd[g];
        const double limit = groupLargest[g];
        // The other template's steps of the group, where they reach as far
        // and are as loud, take the spectrum made for the first.
        Lane::LevelSpectrum &cached = lane.levels[g / kLevels][g % kLevels];
        const bool known =
            cached.valid && cached.lo == lo && cached.end == end && cached.limit == limit;
        double energy = cached.energy;
        const int bound = static_cast<int>(limit);
        if (!known) {
            std::int64_t squares = 0;
            for (int i = lo; i < end; ++i) {
                const std::int64_t x = static_cast<int>(in.x[i]);
                squares += std::abs(x) <= bound ? x * x : 0;
            }
            energy = static_cast<double>(squares); // below 2^46: exact
        }
        // Whether a step's transformed sum will be fine depends on the
        // energy alone: the transform is made only when enough will be.
        const FourierTerms terms(kernel, std::sqrt(energy));
        int fine = 0;
        for (int j = first[g]; j < first[g + 1]; ++j) {
            const int t = steps[members[j]];
            double ignored;
            fine += fourierSum(terms, in.sumAt[t], in.squaresAt[t], 0.0, 0.0, ignored);
        }
        if (fine < kMinRetried)
            continue;
        if (!known) {
            double *fftIn = fft.input();
            for (int i = lo; i < end; ++i) {
                const double x = in.x[i];
                fftIn[i - lo] = std::fabs(x) <= limit ? x : 0.0;
            }
            std::fill(fftIn + (end - lo), fftIn + kShortFftSize, 0.0);
            fft.forward(fftIn, cached.spectrum.get());
            cached.valid = true;
            cached.lo = lo;
            cached.end = end;
            cached.limit = limit;
            cached.energy = energy;
        }
        RealTransform::multiply(cached.spectrum.get(), kernel.shortSpectrum.get(), fft.spectrum(),
                                fft.bins());
        fft.backward(fft.spectrum(), fft.output());
        // Step t's output is at kHistory + t - lo.
        const double *out = fft.output() + kHistory - lo;
        for (int j = first[g]; j < first[g + 1]; ++j) {
            const int i = members[j];
            const int t = steps[i];
            solved[i] = fourierSum(terms, in.sumAt[t], in.squaresAt[t], 0.0, out[t], values[t]);
        }
    }
    int left = 0;
    for (int i = 0; i < count; ++i) {
        if (!solved[i])
            steps[left++] = steps[i];
    }
    return left;
}

/// The coefficients with `kernel` of steps from .. filled - 1, into
/// `values`: sums of products first (a step may need a direct sum), then,
/// in a branch-free loop that vectorises, the coefficients, with the same
/// correctly rounded operations in the same order.
inline void coefficients(const Kernel &kernel, Lane &lane, const LoopInput &in, const double *out,
                         int from, double *values)
{
    // The steps that need a direct sum, in order.
    int direct[kHop];
    int directCount = 0;
    const int filled = lane.filled;
    switch (kernel.mode) {
    case KernelMode::Zero:
    case KernelMode::Flat:
    case KernelMode::Undefined:
        // Every product is exactly zero, or the sum does not matter.
        std::fill(values + from, values + filled, 0.0);
        break;
    case KernelMode::Direct:
        for (int t = from; t < filled; ++t) {
            values[t] = 0.0;
            direct[directCount] = t;
            directCount += in.squaresAt[t] != 0.0;
        }
        break;
    case KernelMode::Fourier: {
        const FourierTerms terms(kernel, lane.loud.transformNorm);
        const double *transformed = out + kHistory;
        const double *loud = lane.loud.inWindow;
        int t = from;
        for (; t + 4 <= filled; t += 4) {
            Quad sums;
            const auto fine = fourierSum(terms, loadQuad(in.sumAt + t), loadQuad(in.squaresAt + t),
                                         loadQuad(loud + t), loadQuad(transformed + t), sums);
            std::memcpy(values + t, &sums, sizeof sums);
            // Nearly every quad is fine throughout, and none of its steps
            // is listed.
            if ((fine[0] & fine[1] & fine[2] & fine[3]) != 0)
                continue;
            for (int j = 0; j < 4; ++j) {
                direct[directCount] = t + j;
                directCount += !fine[j];
            }
        }
        for (; t < filled; ++t) {
            direct[directCount] = t;
            directCount += !fourierSum(terms, in.sumAt[t], in.squaresAt[t], loud[t], transformed[t],
                                       values[t]);
        }
        break;
    }
    }
    directCount = constantWindowSums(kernel, in, direct, directCount, values);
    if (kernel.mode == KernelMode::Fourier)
        directCount = retryBySpan(kernel, lane, in, direct, directCount, values);
    directSums(kernel, in, direct, directCount, values);

    const double sy = kernel.sy;
    const double syy = kernel.syy;
    if (kernel.tinyShift != 0) {
        const int shift = kernel.tinyShift;
        const double half = std::ldexp(1.0, -(shift / 2));
        const double rest = std::ldexp(1.0, -(shift - shift / 2));
        for (int t = from; t < lane.filled; ++t)
            values[t] = tinyCorrelation(values[t], in.sumAt[t], sy, half, rest);
        return;
    }
    for (int t = from; t < lane.filled; ++t)
        values[t] = correlation(values[t], in.sumAt[t], in.squaresAt[t], sy, syy);
}

} // namespace dsp::analysis
