#pragma once

#include "batch/commandline.h"

#include <QString>
#include <QStringList>

#include <vector>

/// The recordings one run works on: the shard's share of those given, each
/// with the reason it is refused before any work (empty when it runs).
struct RunPlan
{
    QStringList paths;
    std::vector<QString> refused;
    /// The results the run may write, whose leftovers go before it starts
    /// and whose temporaries an interrupt removes.
    QStringList written;
};

/// For each recording, why it is refused before any work: its results
/// would have the names of an earlier recording's (after links), would
/// replace an earlier recording, or it is one of an earlier one's results.
/// Those refused already (`refused`, when given) take no part.
std::vector<QString> coincidingResults(const QStringList &paths, const BatchOptions &options,
                                       std::vector<QString> refused = {});

/// The plan of `command`'s run. Coinciding results are looked for over the
/// whole list, so that no two shards write the same files; a name that did
/// not decode is refused as unreadable.
RunPlan planRun(const BatchCommand &command);
