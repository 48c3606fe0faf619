#pragma once

#include <QBrush>
#include <QPixmap>

class QPainter;
class QRect;

/// The painting resources of the graph display and its three off-screen
/// layers, each 900 x 800 pixels, in widget coordinates.
///
/// The overview (detector bars and cumulative-sum ranges) is drawn stroke by
/// stroke onto `overviewLayer`, which only ever accumulates. The graphs view
/// is composed afresh on `compositeLayer` for every graphs-mode paint, on top
/// of `backdropLayer`: a blank layer until the first overview paint, the
/// overview layer from then on. Needs a QGuiApplication.
class GraphPainter
{
public:
    static constexpr int kWidth = 900;
    static constexpr int kHeight = 800;
    static constexpr int kWindowLength = 2400;

    GraphPainter();
    GraphPainter(const GraphPainter &) = delete;
    GraphPainter &operator=(const GraphPainter &) = delete;

    /// Draws the graphs view with `painter` (the widget's) inside `rect`.
    /// The three windows hold kWindowLength display rows each; `position` is
    /// the overview column marked in red; `change` is shown in the caption.
    void paintGraphs(QPainter *painter, const QRect &rect, const int *windowX,
                     const int *windowAsym, const int *windowSym, int position, int change);

    /// Adds the detector bar of column x (from y = 540 up to y - 60) to the
    /// overview, then shows the overview inside `rect`.
    void paintDetector(QPainter *painter, const QRect &rect, int x, int y);

    /// Adds the cumulative-sum range of column x (from y2 - 60 to y - 60) and
    /// its red point at y = 740 to the overview, then shows the overview
    /// inside `rect`.
    void paintGraph2(QPainter *painter, const QRect &rect, int x, int y, int y2);

    /// The text of the change caption: "increased by N c.u." for change > 0,
    /// "decreased by N c.u." otherwise, N keeping its sign.
    static QString changeCaption(int change);

    const QPixmap &overview() const { return overviewLayer; }

private:
    QBrush background;
    QPixmap blankLayer;
    QPixmap overviewLayer;
    QPixmap compositeLayer;
    /// The layer under the graphs view: `blankLayer`, then `overviewLayer`.
    const QPixmap *backdropLayer;
};
