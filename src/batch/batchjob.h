#pragma once

#include "dsp/matches.h"
#include "wav/results/resultfile.h"

#include <QString>
#include <QStringList>

#include <array>
#include <functional>
#include <memory>
#include <utility>
#include <vector>

/// What to do with each recording.
struct BatchOptions
{
    bool draw = false;   ///< also run the analysis and write <name>_stereo.wav
    bool blocks = false; ///< also write <name>_blocks.csv (needs draw)
    bool png = false;    ///< keep the overview columns the picture shows (needs draw)
    QString marker = QStringLiteral("marker.dat");
    bool skipDone = false; ///< leave out recordings whose results are up to date (runUnlessDone)
    bool matches = false;  ///< also write <name>_matches.csv (needs draw)
    bool labels = false;   ///< also write <name>_labels.txt (needs draw)
    dsp::matches::Threshold threshold{}; ///< for the matches and the labels
};

/// The outcome of one recording.
struct BatchResult
{
    QString path;
    /// Empty when everything succeeded, else the one-line message.
    QString error;
    /// Its results were up to date, so nothing was run (error stays empty).
    bool skipped = false;
    /// Processed samples after the lead-in; -1 before the analysis ran.
    qint64 samples = -1;
    int peakBlock = -1;
    int change = 0;
    /// Matches found with `matches` or `labels`; -1 before they were counted.
    int matchCount = -1;
    double seconds = 0;

    /// The overview's block values inside the picture, in order: (column,
    /// detector maximum) and (column, cumulative-sum maximum, minimum); with
    /// `png` only. The rows of `blocks` go to their file as they come, and
    /// the display series are never kept: the picture reads its window from
    /// the result files.
    std::vector<std::pair<int, int>> detector;
    std::vector<std::array<int, 3>> cumulative;

    /// The recording's results, written but not yet under their names; the
    /// caller may add the picture and then calls commitBatchResults().
    /// Empty after a failure: nothing of it reaches the disk.
    std::vector<std::unique_ptr<resultfiles::ResultFile>> pending;
};

/// The names of the files a job on `path` writes, in the order it writes
/// them: <name>_output.wav, and with the options _stereo.wav, _blocks.csv,
/// _matches.csv, _labels.txt and _graph.png (always the last).
QStringList batchResultNames(const QString &path, const BatchOptions &options);

/// Runs the Open command's pass on `path` and, when asked, the Draw
/// command's analysis, exactly as the application does: the same checks,
/// texts and files. Safe to call from several threads at once; it touches no
/// GUI object. `progress` gets the processing percentage (0 to 99). The
/// files are left in `pending`: nothing is replaced yet. Memory running
/// short is an error of this recording, not of the program.
BatchResult runBatchJob(const QString &path, const BatchOptions &options,
                        const std::function<void(int)> &progress = {});

/// Gives all of `result`'s pending files their names at once, or on a
/// failure none of them; sets and answers `result.error`.
QString commitBatchResults(BatchResult &result);
