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
#include "dsp/widevectors.h"
#include "dsp/workring.h"

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
// Blocks a helper thread may have under way.
constexpr std::size_t kSlots = 4;
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

// Each output's terms are added in order of the first factor's index, from
// zero, skipping the first factor's zero entries, the sum kept in a
// register: the order of each output's additions is fixed.
std::vector<long double> convolve(const std::vector<long double> &a,
                                  const std::vector<long double> &b)
{
    std::vector<long double> c(a.size() + b.size() - 1, 0.0L);
    for (std::size_t k = 0; k < c.size(); ++k) {
        const std::size_t first = k + 1 >= b.size() ? k + 1 - b.size() : 0;
        const std::size_t last = std::min(k, a.size() - 1);
        long double sum = 0.0L;
        for (std::size_t i = first; i <= last; ++i) {
            if (a[i] != 0.0L)
                sum += a[i] * b[k - i];
        }
        c[k] = sum;
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

/// outputWord() of a word past the damped start-up. Written as 0 beyond the
/// magnitude limit, not saturated; the test is false for NaN, which gives 0
/// as well. Without branches, so that a block's words are converted in a
/// vector loop.
inline std::int32_t undampedWord(double y)
{
    const double v = y * filter::kGain;
    return std::fabs(v) <= filter::kClipMagnitude ? toInt32(v) : 0;
}

} // namespace

namespace filter {

std::int32_t outputWord(double y, std::int64_t n)
{
    if (n <= kDampedUntil)
        y = y / 100000;
    return undampedWord(y);
}

} // namespace filter

struct FilterCascade::Impl
{
    explicit Impl(bool wide);

    void runDirect(std::int64_t end)
    {
#if QUORVANE_WIDE_VECTORS
        if (wide)
            return runDirectWide(end);
#endif
        runDirectBody(end);
    }
    void runDirectBody(std::int64_t end);
#if QUORVANE_WIDE_VECTORS
    QUORVANE_WIDE void runDirectWide(std::int64_t end) { runDirectBody(end); }
#endif
    void startBlocks();
    void runBlocks();
    void filterBlock(RealTransform &transform, double *input, std::size_t words,
                     std::int32_t *to) const;
#if QUORVANE_WIDE_VECTORS
    QUORVANE_WIDE void filterBlockWide(RealTransform &transform, double *input, std::size_t words,
                                       std::int32_t *to) const
    {
        filterBlock(transform, input, words, to);
    }
#endif
    /// filterBlock() in its wide form where it runs.
    void filter(RealTransform &transform, double *input, std::size_t words, std::int32_t *to) const
    {
#if QUORVANE_WIDE_VECTORS
        if (wide)
            return filterBlockWide(transform, input, words, to);
#endif
        filterBlock(transform, input, words, to);
    }
    void queueWord(std::int32_t word);

    const Kernels &k = kernels();

    // Index of the next word pushed.
    std::int64_t next = filter::kLeadInWords;
    bool finished = false;
    bool useHelper = false;
    /// Whether the blocks and the start-up take their wide forms.
    const bool wide;

    // Direct start-up: the input and every stage's result by word index,
    // 0 below the first sample; released once the FFT blocks take over.
    // Row 0 is the input, rows 1-5 the high-pass and 6-9 the low-pass
    // results.
    std::vector<std::array<double, kFirstBlock>> direct;

    // Overlap-save: `pending` holds the history of the first waiting block
    // (its taps - 1 words before it) and every word after it. A block is
    // filtered once all its words are in.
    RealTransform fft{kFftSize};
    FftwBuffer<fftw_complex> kernelSpectrum;

    // With a helper thread, each block goes through a slot of a ring: its
    // input is copied in, whichever thread is free filters it, and its words
    // join the queue in block order.
    struct Slot
    {
        /// The block as the transform takes it in, history first.
        FftwBuffer<double> input = allocateZeroed<double>(kFftSize);
        std::vector<std::int32_t> output = std::vector<std::int32_t>(kBlockWords);
        std::size_t words = 0;
    };
    // The helper's own transform: both are estimated plans of one length
    // and round alike.
    std::unique_ptr<RealTransform> helperFft;
    WorkRing<Slot> slots{[this](Slot &slot, bool onHelper) {
        filter(onHelper ? *helperFft : fft, slot.input.get(), slot.words, slot.output.data());
    }};

    /// Hands the block at `from` (history first) of `words` words on to a slot.
    void submit(const double *from, std::size_t words);
    /// Puts the oldest slot's words into the queue, filtering slots on this
    /// thread while it waits.
    void retireOldest();
    /// Room for `words` more words at the queue's end, the words already
    /// pulled dropped first.
    std::int32_t *queueSpace(std::size_t words);
    std::vector<double> pending;

    // Filtered words not yet pulled, from `queueHead` on.
    std::vector<std::int32_t> queue;
    std::size_t queueHead = 0;
};

FilterCascade::Impl::Impl(bool wide)
    : wide(wide && wideVectorsSupported()),
      direct(1 + kHighPassStages + kLowPassStages),
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

// The start-up words from the lead-in up to `end`, each stage over all of
// them before the next, as a word's stage depends only on the stage before
// at that word and earlier ones. Every word's sums are taken in the same
// order of operations as the word-by-word pass, so these words come out bit
// for bit the same; running the words side by side only lets the sums of
// neighbouring words overlap.
void FilterCascade::Impl::runDirectBody(std::int64_t end)
{
    const std::size_t first = static_cast<std::size_t>(filter::kLeadInWords);
    const std::size_t last = static_cast<std::size_t>(end);
    std::array<double, kFirstBlock> sums;

    for (int stage = 1; stage <= kHighPassStages; ++stage) {
        const double *__restrict in = direct[static_cast<std::size_t>(stage - 1)].data();
        double *__restrict acc = sums.data();
        std::fill(acc + first, acc + last, 0.0);
        // The weighted sums start after kGatedUntil.
        const std::size_t from = std::max(first, static_cast<std::size_t>(kGatedUntil) + 1);
        for (std::size_t j = 0; j < static_cast<std::size_t>(kLongTaps); ++j) {
            const double weight = k.longKernel[j];
            for (std::size_t i = from; i < last; ++i)
                acc[i] += weight * in[i - j];
        }
        double *out = direct[static_cast<std::size_t>(stage)].data();
        // Less the input from 264 words earlier; 0 before the first sample.
        for (std::size_t i = first; i < last; ++i)
            out[i] =
                acc[i]
                - (i >= static_cast<std::size_t>(kHighPassDelay) ? in[i - kHighPassDelay] : 0.0);
    }

    for (int stage = 1; stage <= kLowPassStages; ++stage) {
        const double *__restrict in =
            direct[static_cast<std::size_t>(kHighPassStages + stage - 1)].data();
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
                  direct[static_cast<std::size_t>(kHighPassStages + stage)].data() + first);
    }

    for (std::size_t i = first; i < last; ++i)
        queueWord(filter::outputWord(direct.back()[i], static_cast<std::int64_t>(i)));
}

// Hands over from the direct start-up to the FFT blocks: the first block's
// history is the last taps - 1 input words.
void FilterCascade::Impl::startBlocks()
{
    const std::size_t history = kCombinedTaps - 1;
    const auto &words = direct[0];
    pending.reserve(history + 8 * kBlockWords);
    pending.assign(words.end() - static_cast<std::ptrdiff_t>(history), words.end());
    direct.clear();
    direct.shrink_to_fit();
}

// Filters one block: `input` (kFftSize values from fftw_malloc) holds its
// history, `words` new words and zero padding; the `words` results go to
// `to`. The blocks start past the damped start-up.
void FilterCascade::Impl::filterBlock(RealTransform &transform, double *input, std::size_t words,
                                      std::int32_t *to) const
{
    // Out of place, the forward transform leaves its input as it is.
    transform.forward(input, transform.spectrum());
    RealTransform::multiply(transform.spectrum(), kernelSpectrum.get(), transform.spectrum(),
                            transform.bins());
    transform.backward();

    const double *y = transform.output() + (kCombinedTaps - 1);
    for (std::size_t t = 0; t < words; ++t)
        to[t] = undampedWord(y[t]);
}

std::int32_t *FilterCascade::Impl::queueSpace(std::size_t words)
{
    if (queueHead > 0) {
        queue.erase(queue.begin(), queue.begin() + static_cast<std::ptrdiff_t>(queueHead));
        queueHead = 0;
    }
    const std::size_t queued = queue.size();
    queue.resize(queued + words);
    return queue.data() + queued;
}

void FilterCascade::Impl::submit(const double *from, std::size_t words)
{
    if (slots.full())
        retireOldest();
    Slot &slot = slots.next();
    const std::size_t used = kCombinedTaps - 1 + words;
    std::copy(from, from + used, slot.input.get());
    std::fill(slot.input.get() + used, slot.input.get() + kFftSize, 0.0);
    slot.words = words;
    slots.submit();
}

void FilterCascade::Impl::retireOldest()
{
    const Slot &slot = slots.waitOldest();
    std::copy_n(slot.output.begin(), slot.words, queueSpace(slot.words));
    slots.releaseOldest();
}

// Filters every block whose words are all in, or on finish() the final
// partial block too. With a helper, the blocks go to the slots, and a
// block's words come out once it and every block before it are filtered:
// after a later push, and all of them on finish(). Each block depends only
// on its own input words, so the results are the same whichever thread
// computes them.
void FilterCascade::Impl::runBlocks()
{
    const std::size_t history = kCombinedTaps - 1;
    std::size_t at = 0; // the next block's history in `pending`
    while (pending.size() > at + history) {
        const std::size_t available = pending.size() - at - history;
        if (available < kBlockWords && !finished)
            break;
        const std::size_t words = std::min(kBlockWords, available);
        if (useHelper && !slots.hasHelper()) {
            helperFft = std::make_unique<RealTransform>(kFftSize);
            useHelper = slots.startHelper(kSlots);
        }
        if (useHelper) {
            submit(pending.data() + at, words);
        } else {
            const std::size_t used = history + words;
            double *input = fft.input();
            std::copy(pending.data() + at, pending.data() + at + used, input);
            std::fill(input + used, input + kFftSize, 0.0);
            filter(fft, input, words, queueSpace(words));
        }
        at += words;
    }
    // The next block's history: the last taps - 1 words filtered.
    pending.erase(pending.begin(), pending.begin() + static_cast<std::ptrdiff_t>(at));

    // What is done comes out; on finish() everything.
    while (!slots.empty() && (finished || slots.oldestDone()))
        retireOldest();
}

FilterCascade::FilterCascade(bool wide) : d(std::make_unique<Impl>(wide)) {}

FilterCascade::~FilterCascade() = default;

void FilterCascade::setHelperThread(bool use)
{
    d->useHelper = use;
}

void FilterCascade::push(const std::int32_t *words, std::size_t count)
{
    if (d->finished || count == 0)
        return;
    // The start-up words wait until all of them are in (or finish()).
    std::size_t at = 0;
    while (at < count && d->next < kFirstBlock)
        d->direct[0][static_cast<std::size_t>(d->next++)] = static_cast<double>(words[at++]);
    if (d->next == kFirstBlock && !d->direct.empty()) {
        d->runDirect(kFirstBlock);
        d->startBlocks();
    }
    if (at == count)
        return;

    d->pending.insert(d->pending.end(), words + at, words + count);
    d->next += static_cast<std::int64_t>(count - at);
    d->runBlocks();
}

void FilterCascade::finish()
{
    if (d->finished)
        return;
    d->finished = true;
    if (d->next < kFirstBlock)
        d->runDirect(d->next);
    d->runBlocks();
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
