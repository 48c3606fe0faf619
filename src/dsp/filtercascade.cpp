// The band-pass cascade as a stream: the direct start-up, then the
// combined FIR in overlap-save blocks (cascadekernels.cpp says what the
// stages are; cascademath.h holds their arithmetic).

#include "filtercascade.h"

#include "dsp/blockmath.h"
#include "dsp/cascadekernels.h"
#include "dsp/fftwplanner.h"
#include "dsp/overlapsave.h"
#include "dsp/workring.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <memory>
#include <vector>

namespace dsp {

using namespace cascade;

struct FilterCascade::Impl
{
    explicit Impl(bool wide);

    void startBlocks();
    void runBlocks();
    /// The start-up words up to index `end` into the queue.
    void runStartUp(std::int64_t end);

    const cascade::Kernels &k = cascade::kernels();

    // Index of the next word pushed.
    std::int64_t next = filter::kLeadInWords;
    bool finished = false;
    bool useHelper = false;
    /// The forms of the blocks and the start-up, chosen once.
    const BlockMath &math;

    // Direct start-up: the input and every stage's result by word index;
    // released once the FFT blocks take over.
    cascade::StartUpRows direct;

    // Overlap-save: `pending` holds the history of the first waiting block
    // (its taps - 1 words before it) and every word after it. A block is
    // filtered once all its words are in.
    RealTransform fft{kFftSize};
    FftwBuffer<fftw_complex> combinedSpectrum;

    // With a helper thread, each block goes through a slot of a ring: its
    // input is copied in, whichever thread is free filters it, and its words
    // join the queue in block order.
    struct Slot
    {
        /// The block as the transform takes it in, history first.
        FftwBuffer<double> input = allocateZeroed<double>(kFftSize);
        std::vector<std::int32_t> output = std::vector<std::int32_t>(kBlockWords);
        std::size_t words = 0;
        std::int64_t outOfRange = 0;
    };
    // The helper's own transform: both are estimated plans of one length
    // and round alike.
    std::unique_ptr<RealTransform> helperFft;
    WorkRing<Slot> slots{[this](Slot &slot, bool onHelper) {
        RealTransform &transform = onHelper ? *helperFft : fft;
        math.filterBlock(transform, combinedSpectrum.get(), slot.input.get(), slot.words,
                         slot.output.data());
        slot.outOfRange = countBeyondLimit(transform.output() + (kCombinedTaps - 1), slot.words);
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
    /// Words of the queue so far written as 0 beyond the magnitude limit.
    std::int64_t outOfRange = 0;
};

FilterCascade::Impl::Impl(bool wide)
    : math(blockMath(wide)),
      direct(1 + kHighPassStages + kLowPassStages)
{
    for (auto &row : direct)
        row.fill(0.0);
    combinedSpectrum =
        kernelSpectrum(fft, k.combined.data(), static_cast<int>(k.combined.size()), 1.0 / kFftSize);
    std::fill(fft.input(), fft.input() + kFftSize, 0.0);
}

void FilterCascade::Impl::runStartUp(std::int64_t end)
{
    const auto words =
        static_cast<std::size_t>(std::max<std::int64_t>(0, end - filter::kLeadInWords));
    math.runStartUp(k, direct, end, queueSpace(words));
    const auto &last = direct.back();
    for (std::int64_t n = filter::kLeadInWords; n < end; ++n) {
        const double y = last[static_cast<std::size_t>(n)];
        outOfRange += beyondLimit(n <= filter::kDampedUntil ? y / 100000 : y) ? 1 : 0;
    }
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
    outOfRange += slot.outOfRange;
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
            math.filterBlock(fft, combinedSpectrum.get(), input, words, queueSpace(words));
            outOfRange += countBeyondLimit(fft.output() + (kCombinedTaps - 1), words);
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
        d->runStartUp(kFirstBlock);
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
        d->runStartUp(d->next);
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

std::int64_t FilterCascade::wordsOutOfRange() const
{
    return d->outOfRange;
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
