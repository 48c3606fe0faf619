#pragma once

#include "graph/seriessource.h"

#include <QImage>

#include <algorithm>
#include <cstdint>
#include <memory>
#include <vector>

class GraphPainter;
class QPainter;
class QRect;

/// What the graph display shows, apart from any screen: the display mode,
/// the overview point last added, the close-up's position and change, its
/// 2400-sample window and the series it is read from. Its operations change
/// that state; paint() draws it through a GraphPainter, on a widget or on an
/// image alike.
///
/// The series hold display rows, made from the analysis's words by
/// graph/rows.h; the view keeps only the 2400-sample window it shows and
/// reads each new window from its series source. A block is 800 series
/// samples and one overview column; `position` counts columns.
class GraphView
{
public:
    enum DisplayMode { Graphs = 0, Detector = 1, Graph2 = 2 };

    /// `painter` is not owned and must outlive the view.
    explicit GraphView(GraphPainter *painter);
    ~GraphView();
    GraphView(const GraphView &) = delete;
    GraphView &operator=(const GraphView &) = delete;

    /// Takes over the three series (filtered signal, asymmetrical and
    /// symmetrical component) by move, in display rows; only the length of
    /// the shortest is used. The window stays as it is.
    void setSeries(std::vector<int> x, std::vector<int> asym, std::vector<int> sym);
    /// Takes `source` as the series from now on (null: no series). A window
    /// the source cannot give shows the three baselines.
    void setSeriesSource(std::unique_ptr<SeriesSource> source);

    /// Marks column block - 1 and reads the window from series index
    /// block * 800, with `change` in the caption; shows the graphs view. The
    /// window start is kept inside [0, seriesLength - 2400], so any block is
    /// safe; with fewer than 2400 samples the window holds what there is
    /// from index 0 and the baselines after it.
    void setPosition(int block, int change);
    /// Moves the close-up one column left or right, as the arrow keys do;
    /// false (and nothing changes) at the first or last column it may show.
    bool stepLeft();
    bool stepRight();
    /// Moves the close-up to overview column x, as a click there does;
    /// false (and nothing changes) for a column it may not show.
    bool clickColumn(int x);

    /// Shows the graphs view of the current window.
    void showGraphs();
    /// Shows the overview with the detector bar of column x standing on row
    /// 540 and reaching up to row y - 60. The next overview paint draws it
    /// onto the overview; keepColumn() does when none comes.
    void addDetector(int x, int y);
    /// Shows the overview with the cumulative-sum range of column x, rows
    /// y2 - 60 to y - 60, and its red point on row 740; drawn like addDetector.
    void addGraph2(int x, int y, int y2);
    /// Draws the column last added onto the overview unless a paint did.
    void keepColumn();
    /// Empties the overview (the black ground) before a new analysis.
    void clearOverview();

    /// Draws what the view shows inside `rect` (900 x 800 device pixels).
    void paint(QPainter *painter, const QRect &rect);
    /// The whole display as paint() draws it, on an opaque image.
    QImage picture();

    int displayMode() const { return mode; }
    int currentPosition() const { return position; }
    int seriesLength() const { return int(std::min<std::int64_t>(length, INT32_MAX)); }
    int currentChange() const { return change; }
    int overviewX() const { return pointX; }
    int overviewY() const { return pointY; }
    int overviewY2() const { return pointY2; }
    const std::vector<int> &windowXValues() const { return windowX; }
    const std::vector<int> &windowAsymValues() const { return windowAsym; }
    const std::vector<int> &windowSymValues() const { return windowSym; }
    /// Series index of the window's first sample (0 before the first read).
    int windowStart() const { return windowStartIndex; }

private:
    /// Reads the window from series index `start` (kept inside the series)
    /// and shows the graphs view.
    void readWindow(std::int64_t start);
    /// Shows the overview with column x, not yet drawn onto it.
    void addColumn(DisplayMode columnMode, int x, int y);

    GraphPainter *graphPainter;
    int pointY2 = 0;
    int pointX = 0;
    int pointY = 0;
    int mode = Graphs;
    int position = 0;
    std::unique_ptr<SeriesSource> series;
    std::vector<int> windowX;
    std::vector<int> windowAsym;
    std::vector<int> windowSym;
    int change = 0;
    std::int64_t length = 0;
    int windowStartIndex = 0;
    /// Set by an overview paint; tells keepColumn() that the column
    /// reached the overview layer.
    bool columnPainted = true;
};
