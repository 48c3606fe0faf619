#pragma once

#include "batch/batchjob.h"

#include <QString>
#include <QStringList>

/// Long lists of recordings: reading a list file, taking one share of it,
/// and leaving out what an earlier run has already done.

/// Reads the recordings in the list file `listPath`, one path a line, into
/// `recordings`. Blank lines and lines whose first non-blank character is
/// '#' are skipped, a line's trailing CR is dropped, and a relative path is
/// taken relative to the list's folder (made absolute, without symbolic
/// links). A leading UTF-8 byte-order mark is skipped; a line holding a NUL
/// byte refuses the whole list (scripts/cluster/gather reads lists by the
/// same rules). Answers an empty string, or the one-line error with the
/// reason; `recordings` is left as it was on an error.
QString readRecordingList(const QString &listPath, QStringList &recordings);

/// One of `count` shares of a list: the recordings whose position in it
/// (counting from 0) modulo `count` is `index`.
struct Shard
{
    int index = 0;
    int count = 1;
};

/// Parses "I/N", two whole numbers (parseWholeNumber) with 0 <= I < N.
/// False when malformed.
bool parseShard(const QString &text, Shard &shard);

/// The recordings of `recordings` in `shard`, in their order.
QStringList shardOf(const QStringList &recordings, const Shard &shard);

/// True when every result file of `recording` (batchResultNames) exists and was modified after
/// the recording and, with the analysis, after the template. A missing
/// recording or template is never up to date.
bool resultsUpToDate(const QString &recording, const BatchOptions &options);

/// Runs the job for `recording`, or, when `options.skipDone` is set and its
/// results are up to date, answers a result marked skipped without touching
/// a file.
BatchResult runUnlessDone(const QString &recording, const BatchOptions &options);
