#include "graph/graphpainter.h"

#include "graph/rows.h"

#include <QColor>
#include <QPainter>
#include <QPoint>
#include <QRect>

#include <algorithm>
#include <cstdint>

namespace {

QColor namedColor(const char *name)
{
    QColor color;
    color.setNamedColor(QLatin1String(name));
    return color;
}

/// Limits a drawing coordinate to +-kCoordinateLimit. Every stroke of the
/// display is vertical and the layers are far smaller than the limit, so the
/// clipped picture is the same as with the unlimited value.
int coordinate(std::int64_t value)
{
    return static_cast<int>(std::clamp<std::int64_t>(value, -GraphPainter::kCoordinateLimit,
                                                     GraphPainter::kCoordinateLimit));
}

// Rows of the graphs view and the overview, in pixels.
constexpr int kBandBottom = 400;     // black band 0..400 under the graphs view
constexpr int kOverviewShift = 60;   // overview values are drawn 60 px higher
constexpr int kDetectorBase = 540;   // detector bars stand on this row
constexpr int kCumulativeZero = 740; // red points of the cumulative sum
constexpr int kXBase = 90;           // filtered-signal strokes start here
constexpr int kXOffset = 150;        // ... and end at 150 - value
constexpr int kAsymBase = rows::kBaselineAsym;
constexpr int kSymBase = rows::kBaselineSym;
constexpr int kMarkerTop = 420;
constexpr int kSamplesPerColumn = 4;

} // namespace

GraphPainter::GraphPainter()
    : background(Qt::white, Qt::SolidPattern),
      blankLayer(kWidth, kHeight),
      overviewLayer(kWidth, kHeight),
      compositeLayer(kWidth, kHeight),
      backdropLayer(&blankLayer)
{
    // A black ground: the picture outside the black band matches the band.
    blankLayer.fill(Qt::black);
    overviewLayer.fill(Qt::black);
    compositeLayer.fill(Qt::black);
}

void GraphPainter::paintGraphs(QPainter *painter, const QRect &rect, const int *windowX,
                               const int *windowAsym, const int *windowSym, int position,
                               int change)
{
    static const QColor black = namedColor("black");
    static const QColor magenta = namedColor("magenta");
    static const QColor cyan = namedColor("cyan");
    static const QColor yellow = namedColor("yellow");
    static const QColor lightgrey = namedColor("lightgrey");
    static const QColor blue = namedColor("blue");
    static const QColor red = namedColor("red");
    static const QColor white = namedColor("white");

    painter->save();
    {
        QPainter layer(&compositeLayer);
        // The backdrop covers the whole layer, so nothing of the previous
        // composition survives and no fill is needed underneath.
        layer.drawPixmap(0, 0, *backdropLayer);

        for (int i = 0; i < kWindowLength; ++i) {
            const int c = i / kSamplesPerColumn;
            // The black stroke of column i precedes every data stroke of that
            // column (i / 4 <= i); strokes right of the layer are clipped.
            if (i < kWidth) {
                layer.setPen(black);
                layer.drawLine(i, 0, i, kBandBottom);
            }
            if (i % 80 == 0) {
                layer.setPen(magenta);
                layer.drawLine(c, 8, c, 0);
            }
            if (i % 160 == 0) {
                layer.setPen(cyan);
                layer.drawLine(c, 12, c, 0);
            }
            layer.setPen(yellow);
            layer.drawLine(c, kXBase, c, coordinate(std::int64_t{kXOffset} - windowX[i]));
            layer.setPen(lightgrey);
            layer.drawLine(c, kAsymBase, c, coordinate(windowAsym[i]));
            layer.setPen(blue);
            layer.drawLine(c, kSymBase, c, coordinate(windowSym[i]));
        }

        const int marker = coordinate(position);
        layer.setPen(red);
        layer.drawLine(marker, kDetectorBase, marker, kMarkerTop);

        layer.setPen(white);
        layer.setFont(captionFont(layer.font(), compositeLayer.logicalDpiY()));
        layer.drawText(QPoint(660, 90), QStringLiteral("Filtered signal (X)"));
        layer.drawText(QPoint(660, 250), QStringLiteral("Asymmetrical component"));
        layer.drawText(QPoint(660, 330), QStringLiteral("Symmetrical component"));
        layer.drawText(QPoint(660, 530), QStringLiteral("Correlation detector signal (V)"));
        layer.drawText(QPoint(660, 730), QStringLiteral("Cumulative sum (R)"));
        layer.drawText(QPoint(200, 560),
                       QStringLiteral("Press the Left or Right arrow key for navigation"));
        layer.drawText(QPoint(20, 30), QStringLiteral("5ms"));
        layer.drawText(QPoint(660, 750), changeCaption(change));
    }
    painter->drawPixmap(rect.topLeft(), compositeLayer, rect);
    painter->restore();
}

void GraphPainter::paintDetector(QPainter *painter, const QRect &rect, int x, int y)
{
    addDetectorColumn(x, y);
    showOverview(painter, rect);
}

void GraphPainter::paintGraph2(QPainter *painter, const QRect &rect, int x, int y, int y2)
{
    addGraph2Column(x, y, y2);
    showOverview(painter, rect);
}

void GraphPainter::addDetectorColumn(int x, int y)
{
    QPainter layer(&overviewLayer);
    layer.setPen(QColor(0, 240, 0));
    const int column = coordinate(x);
    layer.drawLine(column, kDetectorBase, column, coordinate(std::int64_t{y} - kOverviewShift));
    backdropLayer = &overviewLayer;
}

void GraphPainter::addGraph2Column(int x, int y, int y2)
{
    static const QColor white = namedColor("white");
    static const QColor red = namedColor("red");

    QPainter layer(&overviewLayer);
    const int column = coordinate(x);
    layer.setPen(white);
    layer.drawLine(column, coordinate(std::int64_t{y2} - kOverviewShift), column,
                   coordinate(std::int64_t{y} - kOverviewShift));
    layer.setPen(red);
    const QPoint point(column, kCumulativeZero);
    layer.drawPoints(&point, 1);
    backdropLayer = &overviewLayer;
}

void GraphPainter::clearOverview()
{
    overviewLayer.fill(Qt::black);
    backdropLayer = &blankLayer;
}

QString GraphPainter::changeCaption(int change)
{
    const QString text = change > 0 ? QStringLiteral("increased by %1 c.u.")
                                    : QStringLiteral("decreased by %1 c.u.");
    return text.arg(static_cast<qlonglong>(change), 0, 10);
}

QFont GraphPainter::captionFont(const QFont &deviceDefault, int deviceDpi)
{
    QFont font = deviceDefault;
    if (font.pixelSize() > 0 || deviceDpi <= kCaptionDpiLimit)
        return font;
    // The pixel size it has at the limit, which may be fractional (9 points
    // are 12.5 pixels at 100 DPI): given as the point size that comes to it
    // at this resolution.
    font.setPointSizeF(font.pointSizeF() * static_cast<double>(kCaptionDpiLimit)
                       / static_cast<double>(deviceDpi));
    return font;
}

void GraphPainter::showOverview(QPainter *painter, const QRect &rect)
{
    painter->fillRect(rect, background);
    painter->drawPixmap(rect.topLeft(), overviewLayer, rect);
}
