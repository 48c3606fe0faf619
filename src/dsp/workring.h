#pragma once

#include <condition_variable>
#include <cstddef>
#include <functional>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

namespace dsp {

/// A pass's blocks on their way, in a ring of items taken in order. The
/// pushing thread fills the next item and submits it; the ring's helper
/// thread, when it has one, and the pushing thread while it waits compute
/// the submitted items, each of which depends on its own item alone; the
/// pushing thread then takes them back in the order they were submitted.
/// So the results never depend on which thread computed what.
///
/// Every member but the computing is for the pushing thread only.
template <typename Item>
class WorkRing
{
public:
    /// `compute(item, onHelper)` forms an item's results; `onHelper` tells
    /// the helper thread from the pushing one.
    explicit WorkRing(std::function<void(Item &, bool)> compute) : compute(std::move(compute))
    {
        grow(1);
    }
    ~WorkRing() { stopHelper(); }
    WorkRing(const WorkRing &) = delete;
    WorkRing &operator=(const WorkRing &) = delete;

    /// Gives the ring `items` items and a helper thread (before the first
    /// submission). False, with one thread left to compute everything, when
    /// no thread is to be had.
    bool startHelper(std::size_t items)
    {
        grow(items);
        try {
            helper = std::thread([this] { helperLoop(); });
        } catch (const std::system_error &) {
            return false;
        }
        return true;
    }

    /// Ends the helper thread once it has no item left (also on destruction).
    void stopHelper()
    {
        if (!helper.joinable())
            return;
        {
            std::lock_guard<std::mutex> lock(mutex);
            stopping = true;
        }
        changed.notify_all();
        helper.join();
    }

    bool hasHelper() const { return helper.joinable(); }
    bool empty() const { return inFlight == 0; }
    bool full() const { return inFlight == items.size(); }

    /// The item to fill next. Precondition: !full().
    Item &next() { return *items[(oldest + inFlight) % items.size()]; }
    /// The item before next() in the ring: the last submitted one, or with
    /// one item next() itself.
    Item &previous() { return *items[(oldest + inFlight + items.size() - 1) % items.size()]; }

    /// Hands next() on for computing.
    void submit()
    {
        {
            std::lock_guard<std::mutex> lock(mutex);
            states[(oldest + inFlight) % items.size()] = State::Ready;
            ++inFlight;
        }
        changed.notify_all();
    }

    /// Whether the oldest submitted item is computed.
    bool oldestDone()
    {
        std::lock_guard<std::mutex> lock(mutex);
        return inFlight > 0 && states[oldest] == State::Done;
    }

    /// The oldest submitted item once it is computed, computing waiting
    /// items on this thread meanwhile. Precondition: !empty().
    Item &waitOldest()
    {
        std::unique_lock<std::mutex> lock(mutex);
        while (states[oldest] != State::Done) {
            if (!computeOne(lock, false))
                changed.wait(lock);
        }
        return *items[oldest];
    }

    /// Frees the oldest item for filling again.
    void releaseOldest()
    {
        std::lock_guard<std::mutex> lock(mutex);
        states[oldest] = State::Free;
        oldest = (oldest + 1) % items.size();
        --inFlight;
    }

private:
    enum class State { Free, Ready, Working, Done };

    void grow(std::size_t count)
    {
        while (items.size() < count) {
            items.push_back(std::make_unique<Item>());
            states.push_back(State::Free);
        }
    }

    /// Computes the oldest Ready item, if any (lock held, released meanwhile).
    bool computeOne(std::unique_lock<std::mutex> &lock, bool onHelper)
    {
        for (std::size_t i = 0, at = oldest; i < inFlight; ++i, at = (at + 1) % items.size()) {
            if (states[at] != State::Ready)
                continue;
            states[at] = State::Working;
            lock.unlock();
            compute(*items[at], onHelper);
            lock.lock();
            states[at] = State::Done;
            changed.notify_all();
            return true;
        }
        return false;
    }

    void helperLoop()
    {
        std::unique_lock<std::mutex> lock(mutex);
        for (;;) {
            if (computeOne(lock, true))
                continue;
            if (stopping)
                return;
            changed.wait(lock);
        }
    }

    std::function<void(Item &, bool)> compute;
    std::vector<std::unique_ptr<Item>> items;
    std::vector<State> states;
    std::size_t oldest = 0;
    std::size_t inFlight = 0;
    std::thread helper;
    std::mutex mutex;
    std::condition_variable changed;
    bool stopping = false;
};

} // namespace dsp
