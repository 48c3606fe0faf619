#pragma once

#include <algorithm>
#include <atomic>
#include <memory>
#include <thread>

namespace batch {

/// Keeps the threads doing numeric work at once within the machine's cores.
/// A thread that runs recordings holds a claim for itself (forThisThread); a
/// pass that could use a helper thread asks for a spare core (spare, through
/// spareCore()) and runs alone when there is none. So several recordings at
/// once each run on one core, and one recording alone gets two.
class CoreClaim
{
public:
    /// Counts the calling thread, unless it holds a claim already. Always
    /// granted: the thread runs whether or not a core is free.
    static CoreClaim forThisThread()
    {
        if (claimed())
            return CoreClaim(false);
        claimed() = true;
        busy().fetch_add(1);
        return CoreClaim(true, true);
    }

    /// A core for a helper thread, when one is free; test with operator bool.
    static CoreClaim spare()
    {
        const int cores = std::max(1, int(std::thread::hardware_concurrency()));
        if (busy().fetch_add(1) < cores)
            return CoreClaim(true);
        busy().fetch_sub(1);
        return CoreClaim(false);
    }

    /// No claim.
    static CoreClaim none() { return CoreClaim(false); }

    CoreClaim(CoreClaim &&other) noexcept : held(other.held), own(other.own)
    {
        other.held = other.own = false;
    }
    CoreClaim &operator=(CoreClaim &&) = delete;
    CoreClaim(const CoreClaim &) = delete;
    ~CoreClaim()
    {
        if (held)
            busy().fetch_sub(1);
        if (own)
            claimed() = false;
    }

    explicit operator bool() const { return held; }

private:
    explicit CoreClaim(bool held, bool own = false) : held(held), own(own) {}
    static std::atomic<int> &busy()
    {
        static std::atomic<int> count{0};
        return count;
    }
    static bool &claimed()
    {
        thread_local bool value = false;
        return value;
    }

    bool held;
    bool own;
};

/// A spare core for a pass's helper thread, as WavFile::setHelperCore()
/// takes it: held while the answer lives, null when no core is spare.
inline std::shared_ptr<void> spareCore()
{
    auto claim = std::make_shared<CoreClaim>(CoreClaim::spare());
    return *claim ? claim : nullptr;
}

} // namespace batch
