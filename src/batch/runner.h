#pragma once

#include "batch/batchjob.h"

#include <QString>
#include <QStringList>

#include <functional>
#include <vector>

/// Runs recordings on worker threads and reports them in their order.
namespace runner {

/// How far the workers may run ahead: a recording is started only while it
/// is fewer than window(workers) places after the one reported next. So at
/// most that many recordings hold temporary files or wait, finished, to be
/// reported, however slow one early recording is.
int window(int workers);

using Job = std::function<BatchResult(int index)>;
using Report = std::function<void(BatchResult &)>;

/// Runs `job` for each index from 0 to count - 1 on `workers` threads and
/// hands each result to `report`, on the calling thread, in the order of
/// the indices, keeping to the window.
void runInOrder(int count, int workers, const Job &job, const Report &report);

/// runInOrder over the recordings `paths`: each runs as runUnlessDone() with
/// `options`, except one with a `refused` text, which is its error.
void runRecordings(const QStringList &paths, const std::vector<QString> &refused,
                   const BatchOptions &options, int workers, const Report &report);

} // namespace runner
