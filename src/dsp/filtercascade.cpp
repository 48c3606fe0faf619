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

    /// The start-up words up to index `end` into the queue.
    void runStartUp(std::int64_t end);
    /// Hands over from the start-up to the blocks.
    void startBlocks();
    /// Takes `count` words into the blocks, filtering each one filled.
    void fill(const std::int32_t *words, std::size_t count);

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

    // Overlap-save: each block goes through a slot of a ring, its words
    // converted straight into the slot's transform input behind its history
    // (the taps - 1 words before it, from the slot before). A slot is
    // filtered once all its words are in: at once on this thread, or with a
    // helper by whichever thread is free, its words joining the queue in
    // block order.
    RealTransform fft{kFftSize};
    FftwBuffer<fftw_complex> combinedSpectrum;

    struct Slot
    {
        /// The block as the transform takes it in: history, words, zeros.
        /// The transform leaves it as it is, so the next block's history
        /// is read from it.
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
        slot.outOfRange = math.filterBlock(transform, combinedSpectrum.get(), slot.input.get(),
                                           slot.words, slot.output.data());
    }};
    /// Whether slots.next() is being filled; and the history the next
    /// block takes when it does not come from the slot before (the first
    /// block's, from the start-up).
    bool filling = false;
    std::vector<double> firstHistory;

    /// The slot being filled, begun if need be.
    Slot &fillingSlot();
    /// The last taps - 1 words of the block before the next one: the
    /// history that block starts with.
    const double *previousHistory();
    /// Hands the filling slot on; with no helper it is filtered at once.
    void submit();
    /// Puts the oldest slot's words into the queue, filtering slots on this
    /// thread while it waits.
    void retireOldest();
    /// Takes `words` more words at the queue's end (reserveQueue()).
    std::int32_t *queueSpace(std::size_t words);

    /// Room for `words` more words at the queue's end, in one piece, the
    /// words already pulled dropped first.
    void reserveQueue(std::size_t words);

    // Filtered words not yet pulled: queue[queueHead, queueEnd) of room
    // for queueRoom.
    std::unique_ptr<std::int32_t[]> queue;
    std::size_t queueRoom = 0;
    std::size_t queueHead = 0;
    std::size_t queueEnd = 0;
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

// The first block's history is the last taps - 1 input words of the
// start-up.
void FilterCascade::Impl::startBlocks()
{
    const std::size_t history = kCombinedTaps - 1;
    const auto &words = direct[0];
    firstHistory.assign(words.end() - static_cast<std::ptrdiff_t>(history), words.end());
    direct.clear();
    direct.shrink_to_fit();
}

FilterCascade::Impl::Slot &FilterCascade::Impl::fillingSlot()
{
    if (filling)
        return slots.next();
    // The helper starts with the next block. Without it no block is under
    // way, and the ring it grows would lose track of the last one, so that
    // block's history is kept aside first.
    if (useHelper && !slots.hasHelper()) {
        if (firstHistory.empty()) {
            const double *from = previousHistory();
            firstHistory.assign(from, from + (kCombinedTaps - 1));
        }
        helperFft = std::make_unique<RealTransform>(kFftSize);
        useHelper = slots.startHelper(kSlots);
    }
    if (slots.full())
        retireOldest();
    const std::size_t history = kCombinedTaps - 1;
    Slot &slot = slots.next();
    if (!firstHistory.empty()) {
        std::copy(firstHistory.begin(), firstHistory.end(), slot.input.get());
        firstHistory = std::vector<double>();
    } else {
        // With a single slot the block before is this one: its history and
        // its last words never overlap, as a block holds more words.
        const double *from = previousHistory();
        std::copy(from, from + history, slot.input.get());
    }
    slot.words = 0;
    filling = true;
    return slot;
}

const double *FilterCascade::Impl::previousHistory()
{
    const Slot &previous = slots.previous();
    return previous.input.get() + previous.words;
}

void FilterCascade::Impl::fill(const std::int32_t *words, std::size_t count)
{
    const std::size_t history = kCombinedTaps - 1;
    while (count > 0) {
        Slot &slot = fillingSlot();
        const std::size_t take = std::min(count, kBlockWords - slot.words);
        double *to = slot.input.get() + history + slot.words;
        for (std::size_t i = 0; i < take; ++i)
            to[i] = static_cast<double>(words[i]);
        slot.words += take;
        words += take;
        count -= take;
        if (slot.words == kBlockWords)
            submit();
    }
}

void FilterCascade::Impl::submit()
{
    Slot &slot = slots.next();
    const std::size_t used = kCombinedTaps - 1 + slot.words;
    std::fill(slot.input.get() + used, slot.input.get() + kFftSize, 0.0);
    filling = false;
    slots.submit();
    if (!slots.hasHelper())
        retireOldest();
}

std::int32_t *FilterCascade::Impl::queueSpace(std::size_t words)
{
    reserveQueue(words);
    std::int32_t *space = queue.get() + queueEnd;
    queueEnd += words;
    return space;
}

void FilterCascade::Impl::reserveQueue(std::size_t words)
{
    if (queueHead > 0) {
        std::copy(queue.get() + queueHead, queue.get() + queueEnd, queue.get());
        queueEnd -= queueHead;
        queueHead = 0;
    }
    const std::size_t wanted = queueEnd + words;
    if (wanted <= queueRoom)
        return;
    // Left uninitialised: every word is written before it is read.
    const std::size_t room = std::max(wanted, 2 * queueRoom);
    std::unique_ptr<std::int32_t[]> grown(new std::int32_t[room]);
    std::copy(queue.get(), queue.get() + queueEnd, grown.get());
    queue = std::move(grown);
    queueRoom = room;
}

void FilterCascade::Impl::retireOldest()
{
    const Slot &slot = slots.waitOldest();
    std::copy_n(slot.output.begin(), slot.words, queueSpace(slot.words));
    outOfRange += slot.outOfRange;
    slots.releaseOldest();
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

    d->next += static_cast<std::int64_t>(count - at);
    // Room for every word this push can bring out (its own and the blocks
    // under way), taken at once rather than block by block.
    const std::size_t underWay = d->useHelper || d->slots.hasHelper() ? kSlots + 1 : 1;
    d->reserveQueue(count - at + underWay * kBlockWords);
    d->fill(words + at, count - at);
    // With a helper, what is done comes out. Each block depends only on
    // its own input words, so the results are the same whichever thread
    // computes them.
    while (!d->slots.empty() && d->slots.oldestDone())
        d->retireOldest();
}

void FilterCascade::finish()
{
    if (d->finished)
        return;
    d->finished = true;
    if (d->next < kFirstBlock)
        d->runStartUp(d->next);
    // The final partial block, then everything under way.
    if (d->filling && d->slots.next().words > 0)
        d->submit();
    d->filling = false;
    while (!d->slots.empty())
        d->retireOldest();
}

std::size_t FilterCascade::available() const
{
    return d->queueEnd - d->queueHead;
}

std::size_t FilterCascade::pull(std::int32_t *out, std::size_t max)
{
    const std::size_t n = std::min(max, available());
    if (n == 0)
        return 0;
    std::copy_n(d->queue.get() + d->queueHead, n, out);
    d->queueHead += n;
    if (d->queueHead == d->queueEnd)
        d->queueHead = d->queueEnd = 0;
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

filter::WordLevel filter::wordLevel(const std::int32_t *words, std::size_t count,
                                   std::int32_t near)
{
    // The largest and the smallest word, and the words near full scale, in
    // 32-bit arithmetic alone, so that the loop vectorises; the count of a
    // stretch fits in 32 bits.
    WordLevel level;
    constexpr std::size_t kStretch = std::size_t(1) << 30;
    for (std::size_t from = 0; from < count; from += kStretch) {
        const std::size_t to = std::min(count, from + kStretch);
        std::int32_t highest = 0;
        std::int32_t lowest = 0;
        std::int32_t atLeast = 0;
        for (std::size_t i = from; i < to; ++i) {
            const std::int32_t word = words[i];
            highest = std::max(highest, word);
            lowest = std::min(lowest, word);
            atLeast += (word >= near) | (word <= -near);
        }
        level.peak = std::max({level.peak, std::int64_t(highest), -std::int64_t(lowest)});
        level.atLeast += atLeast;
    }
    return level;
}

void FilterCascade::prepare()
{
    // The plans first: a cascade made meanwhile takes the kernel first, so
    // the two are made side by side.
    RealTransform::prepare(kFftSize);
    kernels();
}

std::vector<double> FilterCascade::combinedKernel()
{
    return kernels().combined;
}

} // namespace dsp
