// The nine-stage band-pass cascade.
//
// Both kernels come from one formula: entry j of an N-tap kernel is
// -cos(2 pi j / N) sin^2(pi j / N), divided by the entries' sum. Entry 0 is
// zero and entry j equals entry N - j, so each kernel is symmetric about
// j = N / 2 and delays by exactly N / 2 samples: 264 for the 528-tap kernel,
// 50 for the 100-tap one. It is a smooth low-pass of unit gain at 0 Hz.
//
// A high-pass stage is the long kernel's output minus the input 264 samples
// earlier, h(n) - delta(n - 264): a high-pass of inverted sign. The
// low-pass stages apply the short kernel. Five high-pass and four low-pass stages delay by
// 5 * 264 + 4 * 50 = 1520 samples in all. At 16384 Hz the cascade passes
// about 80 to 240 Hz: -6 dB near 80 and near 240 Hz, a peak of +2 dB near
// 105 Hz, below -60 dB under 50 Hz and above 420 Hz. The output is that
// times the gain of 2000, damped during the start-up (outputWord()).
//
// Below word 4096 the stages run directly, as a word-by-word pass would;
// from there the nine stages are one combined FIR applied by overlap-save
// transforms.

#include "dsp/cascadekernels.h"

#include "dsp/constants.h"

#include <algorithm>
#include <cmath>
#include <vector>

namespace dsp {

namespace cascade {

namespace {

// Builds the normalised kernel of `taps` taps into `kernel`.
void buildKernel(double *kernel, int taps)
{
    const double pi = kPi;
    double sum = 0.0;
    for (int j = 0; j < taps; ++j) {
        const double s = std::sin(j * pi / taps);
        kernel[j] = -std::cos(j * (pi + pi) / taps) * (s * s);
        sum += kernel[j];
    }
    for (int j = 0; j < taps; ++j)
        kernel[j] = kernel[j] / sum;
}

// Each output's terms are added in order of the first factor's index, from
// zero, skipping the first factor's zero entries, the sum kept in a
// register: the order of each output's additions is fixed. Four
// neighbouring outputs are summed side by side, each in its own register
// and in that order, so that their additions overlap instead of each
// waiting on the one before: the same sums, a few times sooner (this runs
// once per process, before the first word is filtered).
std::vector<long double> convolve(const std::vector<long double> &a,
                                  const std::vector<long double> &b)
{
    constexpr std::size_t kSide = 4;
    std::vector<long double> c(a.size() + b.size() - 1, 0.0L);
    // Output k's terms are i = first(k) .. end(k) - 1.
    const auto first = [&](std::size_t k) { return k + 1 >= b.size() ? k + 1 - b.size() : 0; };
    const auto end = [&](std::size_t k) { return std::min(k + 1, a.size()); };
    // Adds output k's terms i = from .. to - 1 to `sum`.
    const auto add = [&](long double &sum, std::size_t k, std::size_t from, std::size_t to) {
        for (std::size_t i = from; i < to; ++i) {
            if (a[i] != 0.0L)
                sum += a[i] * b[k - i];
        }
    };
    std::size_t k = 0;
    for (; k + kSide <= c.size(); k += kSide) {
        // The terms all four outputs have: i = from .. to - 1.
        const std::size_t from = first(k + kSide - 1);
        const std::size_t to = std::max(from, end(k));
        long double sums[kSide] = {};
        for (std::size_t j = 0; j < kSide; ++j)
            add(sums[j], k + j, first(k + j), std::min(from, end(k + j)));
        long double s0 = sums[0], s1 = sums[1], s2 = sums[2], s3 = sums[3];
        for (std::size_t i = from; i < to; ++i) {
            const long double ai = a[i];
            if (ai == 0.0L)
                continue;
            s0 += ai * b[k - i];
            s1 += ai * b[k + 1 - i];
            s2 += ai * b[k + 2 - i];
            s3 += ai * b[k + 3 - i];
        }
        sums[0] = s0, sums[1] = s1, sums[2] = s2, sums[3] = s3;
        for (std::size_t j = 0; j < kSide; ++j)
            add(sums[j], k + j, std::max(to, first(k + j)), end(k + j));
        std::copy(sums, sums + kSide, c.begin() + std::ptrdiff_t(k));
    }
    for (; k < c.size(); ++k)
        add(c[k], k, first(k), end(k));
    return c;
}

Kernels makeKernels()
{
    Kernels k;
    buildKernel(k.longKernel.data(), kLongTaps);
    buildKernel(k.shortKernel.data(), kShortTaps);

    std::vector<long double> highPass(k.longKernel.begin(), k.longKernel.end());
    highPass[kHighPassDelay] -= 1.0L;
    const std::vector<long double> lowPass(k.shortKernel.begin(), k.shortKernel.end());

    std::vector<long double> total{1.0L};
    for (int i = 0; i < kHighPassStages; ++i)
        total = convolve(total, highPass);
    for (int i = 0; i < kLowPassStages; ++i)
        total = convolve(total, lowPass);

    k.combined.assign(total.begin(), total.end());
    return k;
}

} // namespace

const Kernels &kernels()
{
    static const Kernels k = makeKernels();
    return k;
}

} // namespace cascade

namespace filter {

std::int32_t outputWord(double y, std::int64_t n)
{
    return cascade::outputWord(y, n);
}

} // namespace filter

} // namespace dsp
