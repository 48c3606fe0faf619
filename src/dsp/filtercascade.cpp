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

#include "filtercascade.h"

#include "dsp/conversions.h"
#include "dsp/fftwplanner.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <vector>

namespace dsp {

namespace {

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
static_assert(kCombinedTaps < static_cast<std::size_t>(kFftSize) / 2,
              "FFT blocks must be well longer than the kernel");

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

struct Kernels
{
    std::array<double, kLongTaps> longKernel;
    std::array<double, kShortTaps> shortKernel;
    // The combined FIR, convolved in extended precision and rounded once.
    std::vector<double> combined;
};

std::vector<long double> convolve(const std::vector<long double> &a,
                                  const std::vector<long double> &b)
{
    std::vector<long double> c(a.size() + b.size() - 1, 0.0L);
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (a[i] == 0.0L)
            continue;
        for (std::size_t j = 0; j < b.size(); ++j)
            c[i + j] += a[i] * b[j];
    }
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

const Kernels &kernels()
{
    static const Kernels k = makeKernels();
    return k;
}

} // namespace

namespace filter {

std::int32_t outputWord(double y, std::int64_t n)
{
    if (n <= kDampedUntil)
        y = y / 100000;
    const double v = y * kGain;
    // Written as 0 beyond the magnitude limit, not saturated; the test is
    // false for NaN, which gives 0 as well.
    if (!(std::fabs(v) <= kClipMagnitude))
        return 0;
    return toInt32(v);
}

} // namespace filter

struct FilterCascade::Impl
{
    Impl();

    void pushDirect(std::int32_t word);
    void startBlocks();
    void runBlock(std::size_t words);
    void queueWord(std::int32_t word);

    const Kernels &k = kernels();

    // Index of the next word pushed.
    std::int64_t next = filter::kLeadInWords;
    bool finished = false;

    // Direct start-up: the input and every stage's result by word index,
    // 0 below the first sample; released once the FFT blocks take over.
    // Row 0 is the input, rows 1-5 the high-pass and 6-9 the low-pass
    // results.
    std::vector<std::array<double, kFirstBlock>> direct;

    // Overlap-save: the transform's input holds the words from
    // blockStart - (taps - 1) on; `filled` new words of the current block
    // have arrived.
    RealTransform fft{kFftSize};
    FftwBuffer<fftw_complex> kernelSpectrum;
    std::int64_t blockStart = kFirstBlock;
    std::size_t filled = 0;

    // Filtered words not yet pulled, from `queueHead` on.
    std::vector<std::int32_t> queue;
    std::size_t queueHead = 0;
};

FilterCascade::Impl::Impl()
    : direct(1 + kHighPassStages + kLowPassStages),
      kernelSpectrum(allocateZeroed<fftw_complex>(kFftSize / 2 + 1))
{
    for (auto &row : direct)
        row.fill(0.0);

    // The kernel's spectrum, with the 1/N of the inverse transform (a power
    // of two, so exact) folded in.
    std::copy(k.combined.begin(), k.combined.end(), fft.input());
    fft.forward();
    const double scale = 1.0 / kFftSize;
    const fftw_complex *spectrum = fft.spectrum();
    for (int i = 0; i < fft.bins(); ++i) {
        kernelSpectrum[i][0] = spectrum[i][0] * scale;
        kernelSpectrum[i][1] = spectrum[i][1] * scale;
    }
    std::fill(fft.input(), fft.input() + kFftSize, 0.0);
}

void FilterCascade::Impl::queueWord(std::int32_t word)
{
    queue.push_back(word);
}

// One word of the start-up, stage by stage in the same order of operations
// as the word-by-word pass, so these words come out bit for bit the same.
void FilterCascade::Impl::pushDirect(std::int32_t word)
{
    const std::int64_t n = next;
    const std::size_t i = static_cast<std::size_t>(n);
    direct[0][i] = static_cast<double>(word);

    for (int stage = 1; stage <= kHighPassStages; ++stage) {
        const auto &in = direct[static_cast<std::size_t>(stage - 1)];
        double sum = 0.0;
        if (n > kGatedUntil) {
            for (int j = 0; j < kLongTaps; ++j)
                sum +=
                    k.longKernel[static_cast<std::size_t>(j)] * in[i - static_cast<std::size_t>(j)];
        }
        // The input from 264 words earlier; 0 before the first sample.
        sum -= n >= kHighPassDelay ? in[i - kHighPassDelay] : 0.0;
        direct[static_cast<std::size_t>(stage)][i] = sum;
    }

    for (int stage = 1; stage <= kLowPassStages; ++stage) {
        const auto &in = direct[static_cast<std::size_t>(kHighPassStages + stage - 1)];
        const int taps = static_cast<int>(std::min<std::int64_t>(kShortTaps, n + 1));
        double sum = 0.0;
        for (int m = 0; m < taps; ++m)
            sum += k.shortKernel[static_cast<std::size_t>(m)] * in[i - static_cast<std::size_t>(m)];
        direct[static_cast<std::size_t>(kHighPassStages + stage)][i] = sum;
    }

    queueWord(filter::outputWord(direct.back()[i], n));
    ++next;
    if (next == kFirstBlock)
        startBlocks();
}

// Hands over from the direct start-up to the FFT blocks: the first block's
// history is the last taps - 1 input words.
void FilterCascade::Impl::startBlocks()
{
    const std::size_t history = kCombinedTaps - 1;
    const auto &words = direct[0];
    std::copy(words.end() - static_cast<std::ptrdiff_t>(history), words.end(), fft.input());
    direct.clear();
    direct.shrink_to_fit();
}

// Filters the current block, of which the first `words` are real input and
// the rest zero padding, and queues its `words` results.
void FilterCascade::Impl::runBlock(std::size_t words)
{
    const std::size_t history = kCombinedTaps - 1;
    double *in = fft.input();
    std::fill(in + history + words, in + kFftSize, 0.0);

    fft.forward();
    RealTransform::multiply(fft.spectrum(), kernelSpectrum.get(), fft.spectrum(), fft.bins());
    fft.backward();

    if (queueHead > 0) {
        queue.erase(queue.begin(), queue.begin() + static_cast<std::ptrdiff_t>(queueHead));
        queueHead = 0;
    }
    const double *y = fft.output() + history;
    for (std::size_t t = 0; t < words; ++t)
        queueWord(filter::outputWord(y[t], blockStart + static_cast<std::int64_t>(t)));

    // The next block's history: the last taps - 1 words of this one.
    std::memmove(in, in + kBlockWords, history * sizeof(double));
    blockStart += static_cast<std::int64_t>(kBlockWords);
    filled = 0;
}

FilterCascade::FilterCascade() : d(std::make_unique<Impl>()) {}

FilterCascade::~FilterCascade() = default;

void FilterCascade::push(const std::int32_t *words, std::size_t count)
{
    if (d->finished || count == 0)
        return;
    std::size_t at = 0;
    while (at < count && d->next < kFirstBlock)
        d->pushDirect(words[at++]);

    const std::size_t history = kCombinedTaps - 1;
    while (at < count) {
        const std::size_t take = std::min(count - at, kBlockWords - d->filled);
        double *dst = d->fft.input() + history + d->filled;
        for (std::size_t i = 0; i < take; ++i)
            dst[i] = static_cast<double>(words[at + i]);
        at += take;
        d->filled += take;
        d->next += static_cast<std::int64_t>(take);
        if (d->filled == kBlockWords)
            d->runBlock(kBlockWords);
    }
}

void FilterCascade::finish()
{
    if (d->finished)
        return;
    d->finished = true;
    if (d->filled > 0)
        d->runBlock(d->filled);
}

std::size_t FilterCascade::available() const
{
    return d->queue.size() - d->queueHead;
}

std::size_t FilterCascade::pull(std::int32_t *out, std::size_t max)
{
    const std::size_t n = std::min(max, available());
    if (n == 0)
        return 0;
    std::copy_n(d->queue.begin() + static_cast<std::ptrdiff_t>(d->queueHead), n, out);
    d->queueHead += n;
    if (d->queueHead == d->queue.size()) {
        d->queue.clear();
        d->queueHead = 0;
    }
    return n;
}

std::int64_t FilterCascade::firstBlockIndex()
{
    return kFirstBlock;
}

std::size_t FilterCascade::blockWords()
{
    return kBlockWords;
}

std::size_t FilterCascade::combinedTaps()
{
    return kCombinedTaps;
}

std::int64_t FilterCascade::groupDelay()
{
    return kGroupDelay;
}

std::vector<double> FilterCascade::combinedKernel()
{
    return kernels().combined;
}

} // namespace dsp
