#pragma once

#include <QString>

#include <array>
#include <functional>
#include <utility>
#include <vector>

/// What to do with each recording.
struct BatchOptions
{
    bool draw = false;   ///< also run the analysis and write <name>_stereo.wav
    bool blocks = false; ///< also write <name>_blocks.csv (needs draw)
    bool png = false;    ///< keep what the picture needs (needs draw)
    QString marker = QStringLiteral("marker.dat");
};

/// The outcome of one recording.
struct BatchResult
{
    QString path;
    /// Empty when everything succeeded, else the one-line message.
    QString error;
    /// Processed samples after the lead-in; -1 before the analysis ran.
    qint64 samples = -1;
    int peakBlock = -1;
    int change = 0;
    double seconds = 0;

    /// The overview columns as the widget receives them, in order:
    /// (column, y) and (column, y, y2).
    std::vector<std::pair<int, int>> detector;
    std::vector<std::array<int, 3>> cumulative;
    /// The three series, kept only when the picture is wanted.
    std::vector<int> seriesX, seriesAsym, seriesSym;
};

/// Runs the Open command's pass on `path` and, when asked, the Draw
/// command's analysis, exactly as the application does: the same checks,
/// texts and files. Safe to call from several threads at once; it touches no
/// GUI object. `progress` gets the processing percentage (0 to 99).
BatchResult runBatchJob(const QString &path, const BatchOptions &options,
                        const std::function<void(int)> &progress = {});

/// The rows of <name>_blocks.csv: a header, then one row per overview
/// column: column, detector block maximum, cumulative-sum block maximum and
/// minimum.
QByteArray blocksCsv(const BatchResult &result);
