#pragma once

#include <QBrush>
#include <QFont>
#include <QPixmap>
#include <QString>

class QPainter;
class QRect;

/// The painting resources of the graph display and its three off-screen
/// layers, each 900 x 800 pixels, in widget coordinates (origin top left,
/// y growing downwards).
///
/// The overview (detector bars and cumulative-sum ranges) is drawn stroke by
/// stroke onto `overviewLayer`, which accumulates until clearOverview(). The graphs view
/// is composed afresh on `compositeLayer` for every graphs-mode paint, on top
/// of `backdropLayer`: a blank layer until the first overview column, the
/// overview layer from then on. All three layers start black.
///
/// Any int is accepted as a coordinate: offsets are computed without
/// overflow and drawing coordinates are limited to +-kCoordinateLimit, which
/// changes no pixel because everything outside the layer is clipped.
///
/// Needs a QGuiApplication (the layers are pixmaps); GUI thread only.
class GraphPainter
{
public:
    static constexpr int kWidth = 900;
    static constexpr int kHeight = 800;
    static constexpr int kWindowLength = 2400;
    static constexpr int kCoordinateLimit = 100000;

    GraphPainter();
    GraphPainter(const GraphPainter &) = delete;
    GraphPainter &operator=(const GraphPainter &) = delete;

    /// Draws the graphs view with `painter` (the widget's, or any painter on
    /// a 900 x 800 device) inside `rect`, in pixels. The view is composed on
    /// the composite layer first: the backdrop, a black band over y 0..400,
    /// the three windows (kWindowLength display rows each, four samples per
    /// column), the red marker on overview column `position` and the
    /// captions, `change` in the last one. The painter's state is restored.
    void paintGraphs(QPainter *painter, const QRect &rect, const int *windowX,
                     const int *windowAsym, const int *windowSym, int position, int change);

    /// Adds the detector bar of column x (from y = 540 up to y - 60) to the
    /// overview, then shows the overview inside `rect` (filled white first).
    void paintDetector(QPainter *painter, const QRect &rect, int x, int y);

    /// Adds the cumulative-sum range of column x (from y2 - 60 to y - 60) and
    /// its red point at y = 740 to the overview, then shows the overview
    /// inside `rect` (filled white first).
    void paintGraph2(QPainter *painter, const QRect &rect, int x, int y, int y2);

    /// Draws only the detector bar of column x onto the overview layer: a
    /// green stroke from (x, 540) to (x, y - 60). Makes the overview the
    /// backdrop of the graphs view. Drawing it again changes no pixel.
    void addDetectorColumn(int x, int y);

    /// Draws only the cumulative-sum column x onto the overview layer: a
    /// white stroke from (x, y2 - 60) to (x, y - 60) and a red point at
    /// (x, 740). Makes the overview the backdrop of the graphs view.
    void addGraph2Column(int x, int y, int y2);

    /// Makes the overview black again and the blank layer the backdrop of
    /// the graphs view, as before the first column.
    void clearOverview();

    /// The text of the change caption: "increased by N c.u." for change > 0,
    /// "decreased by N c.u." otherwise, N keeping its sign.
    static QString changeCaption(int change);

    /// Resolution up to which the captions follow the device's font size.
    static constexpr int kCaptionDpiLimit = 100;

    /// The font of the captions on a device of `deviceDpi` dots per inch:
    /// `deviceDefault` (what a painter on the device starts with) as it is up
    /// to kCaptionDpiLimit, and above it at the pixel size it has there, so
    /// that a larger font DPI (a scaled desktop) leaves them in place and
    /// the longest still ends inside the 900 pixels. A font already sized
    /// in pixels is kept.
    static QFont captionFont(const QFont &deviceDefault, int deviceDpi);

    const QPixmap &overview() const { return overviewLayer; }
    /// The graphs view as last composed by paintGraphs.
    const QPixmap &composite() const { return compositeLayer; }
    /// True once an overview column has been added.
    bool showsOverviewBelowGraphs() const { return backdropLayer == &overviewLayer; }

private:
    void showOverview(QPainter *painter, const QRect &rect);

    QBrush background;
    QPixmap blankLayer;
    QPixmap overviewLayer;
    QPixmap compositeLayer;
    /// The layer under the graphs view: `blankLayer`, then `overviewLayer`.
    const QPixmap *backdropLayer;
};
