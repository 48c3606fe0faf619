#pragma once

#include "graph/seriessource.h"

#include <QWidget>

#include <algorithm>
#include <cstdint>
#include <memory>
#include <vector>

class GraphPainter;

/// The graph display: a fixed 900 x 800 widget that shows either the overview
/// growing column by column while an analysis runs, or the graphs view, a
/// close-up of 2400 samples of three series over the overview.
///
/// The series hold display rows, made from the analysis's words by
/// graph/rows.h; the widget keeps only the 2400-sample window it shows and
/// reads each new window from its series source. A block is 800 series
/// samples and one overview column; `position` counts columns.
class Widget : public QWidget
{
    Q_OBJECT

public:
    enum DisplayMode { Graphs = 0, Detector = 1, Graph2 = 2 };

    /// `painter` is not owned and must outlive the widget.
    Widget(GraphPainter *painter, QWidget *parent);
    ~Widget() override;

    /// Takes over the three series (filtered signal, asymmetrical and
    /// symmetrical component) by move, in display rows; they should have the
    /// same length, and only the length of the shortest is used. Replaces
    /// the series held before. No repaint; the window buffers stay as they are.
    void setSeries(std::vector<int> x, std::vector<int> asym, std::vector<int> sym);
    /// Takes `source` as the series from now on, in place of those held
    /// before (null: no series). No repaint. A window the source cannot give
    /// shows the three baselines.
    void setSeriesSource(std::unique_ptr<SeriesSource> source);

    /// Marks column block - 1 and shows the graphs view of the window from
    /// series index block * 800, with `change` in the caption; repaints the
    /// whole widget before returning. The window start is kept inside
    /// [0, seriesLength - 2400], so any block is safe (block may be -1 or
    /// past the end); with fewer than 2400 samples the window holds what
    /// there is from index 0 and the baselines after it.
    void setPosition(int block, int change);

    /// Empties the overview (the black ground) before a new analysis, so
    /// that no column of an earlier one stays. No repaint.
    void clearOverview();

    /// Chooses how an overview slot repaints: only the column it adds (the
    /// default) or the whole widget. The picture is the same either way.
    void setFullRepaint(bool full) { fullRepaint = full; }

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
    /// Series index of the window's first sample (0 before the first refresh).
    int windowStart() const { return windowStartIndex; }

public slots:
    /// Shows the graphs view of the current window; the arguments are unused.
    void animate(int x, int y, int x1, int y1, int x2, int y2, int x3, int y3, int draw);
    /// Adds the detector bar of overview column x (block x) standing on row
    /// 540 and reaching up to row y - 60, and shows the overview. Repaints
    /// before returning; only column x is repainted once the overview is
    /// on screen, nothing for columns outside the widget.
    void animateDetector(int x, int y);
    /// Adds the cumulative-sum range of overview column x, rows y2 - 60 to
    /// y - 60, with its red point on row 740, and shows the overview.
    /// Repaints like animateDetector.
    void animateGraph2(int x, int y, int y2);

protected:
    void paintEvent(QPaintEvent *event) override;
    void mousePressEvent(QMouseEvent *event) override;
    void keyPressEvent(QKeyEvent *event) override;
    void hideEvent(QHideEvent *event) override;

private:
    /// Copies the 2400-sample window from series index `start` (kept inside
    /// the series), switches to the graphs view and repaints at once.
    void refreshWindow(qint64 start);
    /// Repaints after an overview slot added column x.
    void repaintOverviewColumn(int x);

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
    /// True while the widget on screen shows the whole overview layer, so
    /// an overview slot only needs to repaint the column it adds.
    bool overviewOnScreen = false;
    bool fullRepaint = false;
    /// Set by an overview paint; tells an overview slot that its column
    /// reached the overview layer.
    bool overviewColumnPainted = false;
};
