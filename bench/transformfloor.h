#pragma once

// The FFT floor of a job: the transforms it executes, counted by thread and
// size as they run (dsp::TransformWatch), and the time the same executions
// take alone, with the same plans, on as many threads at once.

#include "common.h"

#include "dsp/fftwplanner.h"

#include <algorithm>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace bench {

/// Consecutive transforms of one length on one thread.
struct TransformRun
{
    int thread = 0; ///< 0 for the first thread seen, then 1, 2, ... in order of first use
    int size = 0;
    std::int64_t forward = 0;
    std::int64_t backward = 0;
    /// Where its first and its last execution stand among all of them, and
    /// when they began and ended, in seconds from start().
    std::int64_t first = 0;
    std::int64_t last = 0;
    double began = 0.0;
    double ended = 0.0;
};

/// Counts every transform executed while it watches.
class TransformTally final : public dsp::TransformWatch
{
public:
    ~TransformTally() { stop(); }

    void start()
    {
        from = Clock::now();
        dsp::watchTransforms(this);
    }
    void stop() { dsp::watchTransforms(nullptr); }

    // After the transform: a run begins when its first transform does, as
    // near as it can be told from its end.
    void executed(int size, bool forward) override
    {
        const double now = secondsSince(from);
        const std::lock_guard<std::mutex> lock(mutex);
        const std::thread::id id = std::this_thread::get_id();
        auto known = std::find(threads.begin(), threads.end(), id);
        if (known == threads.end()) {
            threads.push_back(id);
            open.push_back(-1);
            known = threads.end() - 1;
        }
        const auto thread = static_cast<std::size_t>(known - threads.begin());
        if (open[thread] < 0 || runs[static_cast<std::size_t>(open[thread])].size != size) {
            open[thread] = static_cast<std::ptrdiff_t>(runs.size());
            runs.push_back({static_cast<int>(thread), size, 0, 0, sequence, sequence, now, now});
        }
        TransformRun &run = runs[static_cast<std::size_t>(open[thread])];
        (forward ? run.forward : run.backward) += 1;
        run.last = sequence++;
        run.ended = now;
    }

    /// The runs so far, in order of their first execution.
    std::vector<TransformRun> counted() const
    {
        const std::lock_guard<std::mutex> lock(mutex);
        return runs;
    }

private:
    mutable std::mutex mutex;
    std::vector<std::thread::id> threads;
    std::vector<std::ptrdiff_t> open; // by thread: its current run, -1 before its first
    std::vector<TransformRun> runs;
    std::int64_t sequence = 0;
    Clock::time_point from = Clock::now();
};

/// The runs that overlap in time, each phase after the one before it: a
/// pass's threads run side by side, the passes one after the other.
inline std::vector<std::vector<TransformRun>> phases(const std::vector<TransformRun> &runs)
{
    std::vector<std::vector<TransformRun>> out;
    std::int64_t end = -1;
    for (const TransformRun &run : runs) { // ordered by their first execution
        if (out.empty() || run.first > end)
            out.emplace_back();
        out.back().push_back(run);
        end = std::max(end, run.last);
    }
    return out;
}

/// Wall and processor seconds of one replay, or of one phase of it.
struct FloorTime
{
    double wall = 0.0;
    double cpu = 0.0;
};

/// The sum of `phases`.
inline FloorTime total(const std::vector<FloorTime> &phases)
{
    FloorTime sum;
    for (const FloorTime &phase : phases) {
        sum.wall += phase.wall;
        sum.cpu += phase.cpu;
    }
    return sum;
}

/// Executes the counted transforms alone: phase after phase, and within a
/// phase each thread's runs on a thread of its own, all started together.
/// Each thread has a transform of every length it uses: forward from a
/// block of noise, backward from a zero spectrum (a backward transform
/// overwrites its input, and on zeros its work stays the same without the
/// values growing); forwards and backwards interleaved as evenly as their
/// counts allow. The plans are the job's: one pair per length.
/// The times by phase.
inline std::vector<FloorTime> replayTransforms(const std::vector<TransformRun> &runs)
{
    std::vector<FloorTime> times;
    for (const std::vector<TransformRun> &phase : phases(runs)) {
        // By thread, its runs in order, each with its transform made beforehand.
        struct Work
        {
            explicit Work(const TransformRun &run)
                : run(run),
                  transform(run.size),
                  zeros(
                      dsp::allocateZeroed<fftw_complex>(static_cast<std::size_t>(transform.bins())))
            {
                double *in = transform.input();
                std::uint32_t state = 12345;
                for (int i = 0; i < run.size; ++i) {
                    state = state * 1664525u + 1013904223u;
                    in[i] = static_cast<double>(state >> 8) / 16777216.0 - 0.5;
                }
            }
            TransformRun run;
            dsp::RealTransform transform;
            dsp::FftwBuffer<fftw_complex> zeros;
        };
        std::map<int, std::vector<std::unique_ptr<Work>>> work;
        for (const TransformRun &run : phase)
            work[run.thread].push_back(std::make_unique<Work>(run));
        std::mutex mutex;
        std::condition_variable go;
        bool started = false;
        const auto execute = [&](const auto &list) {
            {
                std::unique_lock<std::mutex> lock(mutex);
                go.wait(lock, [&] { return started; });
            }
            for (const std::unique_ptr<Work> &w : list) {
                const std::int64_t count = w->run.forward + w->run.backward;
                std::int64_t forwards = 0;
                for (std::int64_t i = 0; i < count; ++i) {
                    if (forwards * count < w->run.forward * (i + 1)) {
                        w->transform.forward();
                        ++forwards;
                    } else {
                        w->transform.backward(w->zeros.get(), w->transform.output());
                    }
                }
            }
        };
        std::vector<std::thread> threads;
        for (const auto &entry : work)
            threads.emplace_back([&execute, &list = entry.second] { execute(list); });
        // Every thread made and waiting before the clocks start.
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        const double cpuFrom = processSeconds();
        const Clock::time_point wallFrom = Clock::now();
        {
            const std::lock_guard<std::mutex> lock(mutex);
            started = true;
        }
        go.notify_all();
        for (std::thread &thread : threads)
            thread.join();
        times.push_back({secondsSince(wallFrom), processSeconds() - cpuFrom});
    }
    return times;
}

} // namespace bench
