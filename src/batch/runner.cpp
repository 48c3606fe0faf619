#include "batch/runner.h"

#include "batch/recordinglist.h"

#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>

namespace runner {

int window(int workers)
{
    return 2 * workers;
}

void runInOrder(int count, int workers, const Job &job, const Report &report)
{
    std::vector<std::unique_ptr<BatchResult>> results(static_cast<std::size_t>(count));
    std::mutex mutex;
    std::condition_variable finished; // a result came in
    std::condition_variable moved;    // the window moved on
    int next = 0;                     // the index to start next
    int reported = 0;                 // the index to report next
    const int span = window(workers);

    std::vector<std::thread> threads;
    for (int w = 0; w < workers; ++w) {
        threads.emplace_back([&]() {
            for (;;) {
                int i = 0;
                {
                    std::unique_lock<std::mutex> lock(mutex);
                    moved.wait(lock, [&]() { return next >= count || next < reported + span; });
                    if (next >= count)
                        return;
                    i = next++;
                }
                auto result = std::make_unique<BatchResult>(job(i));
                std::lock_guard<std::mutex> lock(mutex);
                results[std::size_t(i)] = std::move(result);
                finished.notify_all();
            }
        });
    }
    for (int i = 0; i < count; ++i) {
        std::unique_ptr<BatchResult> result;
        {
            std::unique_lock<std::mutex> lock(mutex);
            finished.wait(lock, [&]() { return results[std::size_t(i)] != nullptr; });
            result = std::move(results[std::size_t(i)]);
        }
        report(*result);
        // Only now are its files under their names: the next may start.
        std::lock_guard<std::mutex> lock(mutex);
        reported = i + 1;
        moved.notify_all();
    }
    for (std::thread &t : threads)
        t.join();
}

void runRecordings(const QStringList &paths, const std::vector<QString> &refused,
                   const BatchOptions &options, int workers, const Report &report)
{
    runInOrder(
        int(paths.size()), workers,
        [&](int i) {
            if (!refused[std::size_t(i)].isEmpty()) {
                BatchResult result;
                result.path = paths[i];
                result.error = refused[std::size_t(i)];
                return result;
            }
            return runUnlessDone(paths[i], options);
        },
        report);
}

} // namespace runner
