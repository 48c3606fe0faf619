#pragma once

#include <QWidget>

#include <vector>

class GraphPainter;

/// The graph display: a fixed 900 x 800 widget that shows either the overview
/// growing column by column while an analysis runs, or the graphs view, a
/// close-up of 2400 samples of three series over the overview.
///
/// The series hold display rows already computed by the analysis. A block is
/// 800 series samples and one overview column; `position` counts columns.
class Widget : public QWidget
{
    Q_OBJECT

public:
    enum DisplayMode { Graphs = 0, Detector = 1, Graph2 = 2 };

    /// `painter` is not owned and must outlive the widget.
    Widget(GraphPainter *painter, QWidget *parent);
    ~Widget() override;

    /// Takes over the three series (filtered signal, asymmetrical and
    /// symmetrical component), which must have the same length. Replaces the
    /// series held before. No repaint.
    void setSeries(std::vector<int> x, std::vector<int> asym, std::vector<int> sym);

    /// Marks column block - 1 and shows the window from sample block * 800,
    /// with `change` in the caption. The window start is kept inside the
    /// series, so any block is safe (block may be -1 or past the end).
    void setPosition(int block, int change);

    int displayMode() const { return mode; }
    int currentPosition() const { return position; }
    int seriesLength() const { return static_cast<int>(seriesX.size()); }
    const std::vector<int> &windowXValues() const { return windowX; }
    const std::vector<int> &windowAsymValues() const { return windowAsym; }
    const std::vector<int> &windowSymValues() const { return windowSym; }
    /// Series index of the window's first sample (0 before the first refresh).
    int windowStart() const { return windowStartIndex; }

public slots:
    void animate(int x, int y, int x1, int y1, int x2, int y2, int x3, int y3, int draw);
    void animateDetector(int x, int y);
    void animateGraph2(int x, int y, int y2);

protected:
    void paintEvent(QPaintEvent *event) override;
    void mousePressEvent(QMouseEvent *event) override;
    void keyPressEvent(QKeyEvent *event) override;

private:
    /// Copies the 2400-sample window from series index `start` (kept inside
    /// the series), switches to the graphs view and repaints at once.
    void refreshWindow(qint64 start);

    GraphPainter *graphPainter;
    int pointY2 = 0;
    int pointX = 0;
    int pointY = 0;
    int mode = Graphs;
    int position = 0;
    std::vector<int> seriesX;
    std::vector<int> seriesAsym;
    std::vector<int> seriesSym;
    std::vector<int> windowX;
    std::vector<int> windowAsym;
    std::vector<int> windowSym;
    int change = 0;
    int windowStartIndex = 0;
};
