#pragma once

#include "graph/graphview.h"
#include "graph/seriessource.h"

#include <QWidget>

#include <memory>
#include <vector>

class GraphPainter;

/// The graph display: a fixed 900 x 800 widget that shows a GraphView, either
/// the overview growing column by column while an analysis runs, or the
/// graphs view, a close-up of 2400 samples of three series over the overview.
/// It passes its slots, keys and clicks to the view's operations and paints
/// what the view says; it decides only how much of itself to repaint.
class Widget : public QWidget
{
    Q_OBJECT

public:
    enum DisplayMode {
        Graphs = GraphView::Graphs,
        Detector = GraphView::Detector,
        Graph2 = GraphView::Graph2
    };

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

    int displayMode() const { return view.displayMode(); }
    int currentPosition() const { return view.currentPosition(); }
    int seriesLength() const { return view.seriesLength(); }
    int currentChange() const { return view.currentChange(); }
    int overviewX() const { return view.overviewX(); }
    int overviewY() const { return view.overviewY(); }
    int overviewY2() const { return view.overviewY2(); }
    const std::vector<int> &windowXValues() const { return view.windowXValues(); }
    const std::vector<int> &windowAsymValues() const { return view.windowAsymValues(); }
    const std::vector<int> &windowSymValues() const { return view.windowSymValues(); }
    /// Series index of the window's first sample (0 before the first refresh).
    int windowStart() const { return view.windowStart(); }
    /// What the widget shows.
    const GraphView &graphView() const { return view; }

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

signals:
    /// The close-up moved: setPosition(), a click or an arrow key marked
    /// overview column `column`.
    void positionChanged(int column);

protected:
    void paintEvent(QPaintEvent *event) override;
    void mousePressEvent(QMouseEvent *event) override;
    void keyPressEvent(QKeyEvent *event) override;
    void hideEvent(QHideEvent *event) override;

private:
    /// Repaints after an overview slot added column x.
    void repaintOverviewColumn(int x);

    GraphView view;
    /// True while the widget on screen shows the whole overview layer, so
    /// an overview slot only needs to repaint the column it adds.
    bool overviewOnScreen = false;
    bool fullRepaint = false;
};
