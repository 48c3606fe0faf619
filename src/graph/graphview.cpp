#include "graph/graphview.h"

#include "dsp/conversions.h"
#include "graph/graphpainter.h"
#include "graph/rows.h"

#include <QPainter>
#include <QRect>

#include <cstddef>
#include <utility>

namespace {

constexpr int kBlock = 800; // series samples per overview column

} // namespace

GraphView::GraphView(GraphPainter *painter)
    : graphPainter(painter),
      windowX(GraphPainter::kWindowLength, rows::kBaselineX),
      windowAsym(GraphPainter::kWindowLength, rows::kBaselineAsym),
      windowSym(GraphPainter::kWindowLength, rows::kBaselineSym)
{
}

GraphView::~GraphView() = default;

void GraphView::setSeries(std::vector<int> x, std::vector<int> asym, std::vector<int> sym)
{
    setSeriesSource(std::make_unique<MemorySeries>(std::move(x), std::move(asym), std::move(sym)));
}

void GraphView::setSeriesSource(std::unique_ptr<SeriesSource> source)
{
    series = std::move(source);
    length = series ? series->length() : 0;
}

void GraphView::setPosition(int block, int newChange)
{
    position = dsp::saturateToInt32(std::int64_t{block} - 1);
    change = newChange;
    readWindow(std::int64_t{block} * kBlock);
}

bool GraphView::stepLeft()
{
    if (position <= 1)
        return false;
    --position;
    readWindow((std::int64_t{position} + 1) * kBlock);
    return true;
}

bool GraphView::stepRight()
{
    if (std::int64_t{position} + 4 >= length / kBlock)
        return false;
    ++position;
    readWindow((std::int64_t{position} + 1) * kBlock);
    return true;
}

bool GraphView::clickColumn(int x)
{
    if (x <= 1 || std::int64_t{x} + 4 >= length / kBlock)
        return false;
    position = x;
    readWindow((std::int64_t{x} - 1) * kBlock);
    return true;
}

void GraphView::showGraphs()
{
    mode = Graphs;
}

void GraphView::addDetector(int x, int y)
{
    addColumn(Detector, x, y);
}

void GraphView::addGraph2(int x, int y, int y2)
{
    pointY2 = y2;
    addColumn(Graph2, x, y);
}

void GraphView::addColumn(DisplayMode columnMode, int x, int y)
{
    mode = columnMode;
    pointX = x;
    pointY = y;
    columnPainted = false;
}

void GraphView::keepColumn()
{
    if (columnPainted)
        return;
    // No paint drew the column (it lies outside the display, or nothing was
    // on screen): it still belongs to the overview.
    if (mode == Detector)
        graphPainter->addDetectorColumn(pointX, pointY);
    else if (mode == Graph2)
        graphPainter->addGraph2Column(pointX, pointY, pointY2);
    columnPainted = true;
}

void GraphView::clearOverview()
{
    graphPainter->clearOverview();
}

void GraphView::readWindow(std::int64_t start)
{
    const std::int64_t count = std::min<std::int64_t>(length, GraphPainter::kWindowLength);
    const std::int64_t first = std::clamp<std::int64_t>(start, 0, length - count);
    auto n = static_cast<std::ptrdiff_t>(count);
    if (n > 0 && !series->read(first, int(n), windowX.data(), windowAsym.data(), windowSym.data()))
        n = 0; // the data is gone: show no data rather than wrong data

    std::fill(windowX.begin() + n, windowX.end(), rows::kBaselineX);
    std::fill(windowAsym.begin() + n, windowAsym.end(), rows::kBaselineAsym);
    std::fill(windowSym.begin() + n, windowSym.end(), rows::kBaselineSym);
    windowStartIndex = int(std::min<std::int64_t>(first, INT32_MAX));
    mode = Graphs;
}

void GraphView::paint(QPainter *painter, const QRect &rect)
{
    painter->setRenderHint(QPainter::Antialiasing);
    switch (mode) {
    case Graphs:
        graphPainter->paintGraphs(painter, rect, windowX.data(), windowAsym.data(),
                                  windowSym.data(), position, change);
        break;
    case Detector:
        graphPainter->paintDetector(painter, rect, pointX, pointY);
        columnPainted = true;
        break;
    default:
        graphPainter->paintGraph2(painter, rect, pointX, pointY, pointY2);
        columnPainted = true;
        break;
    }
}

QImage GraphView::picture()
{
    QImage image(GraphPainter::kWidth, GraphPainter::kHeight, QImage::Format_RGB32);
    QPainter painter(&image);
    paint(&painter, image.rect());
    return image;
}
