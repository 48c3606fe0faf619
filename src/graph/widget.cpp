#include "graph/widget.h"

#include "dsp/conversions.h"
#include "graph/graphpainter.h"
#include "graph/rows.h"

#include <QKeyEvent>
#include <QMouseEvent>
#include <QPaintEvent>
#include <QPainter>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <utility>

namespace {

constexpr int kBlock = 800; // series samples per overview column
// Window values of a missing sample: the rows of a zero word.
constexpr int kXBaseline = rows::kBaselineX;
constexpr int kAsymBaseline = rows::kBaselineAsym;
constexpr int kSymBaseline = rows::kBaselineSym;

} // namespace

Widget::Widget(GraphPainter *painter, QWidget *parent)
    : QWidget(parent),
      graphPainter(painter),
      windowX(GraphPainter::kWindowLength, kXBaseline),
      windowAsym(GraphPainter::kWindowLength, kAsymBaseline),
      windowSym(GraphPainter::kWindowLength, kSymBaseline)
{
    setFixedSize(GraphPainter::kWidth, GraphPainter::kHeight);
    setFocusPolicy(Qt::StrongFocus);
    // Every paint routine covers the whole paint rectangle.
    setAttribute(Qt::WA_OpaquePaintEvent);
}

Widget::~Widget() = default;

void Widget::setSeries(std::vector<int> x, std::vector<int> asym, std::vector<int> sym)
{
    setSeriesSource(std::make_unique<MemorySeries>(std::move(x), std::move(asym), std::move(sym)));
}

void Widget::setSeriesSource(std::unique_ptr<SeriesSource> source)
{
    series = std::move(source);
    length = series ? series->length() : 0;
}

void Widget::setPosition(int block, int newChange)
{
    position = dsp::saturateToInt32(std::int64_t{block} - 1);
    change = newChange;
    refreshWindow(std::int64_t{block} * kBlock);
}

void Widget::clearOverview()
{
    graphPainter->clearOverview();
    // What is on screen is no longer the overview layer.
    overviewOnScreen = false;
}

void Widget::animate(int, int, int, int, int, int, int, int, int)
{
    mode = Graphs;
    repaint();
}

void Widget::animateDetector(int x, int y)
{
    mode = Detector;
    pointX = x;
    pointY = y;
    repaintOverviewColumn(x);
}

void Widget::animateGraph2(int x, int y, int y2)
{
    mode = Graph2;
    pointX = x;
    pointY = y;
    pointY2 = y2;
    repaintOverviewColumn(x);
}

void Widget::repaintOverviewColumn(int x)
{
    overviewColumnPainted = false;
    if (fullRepaint || !overviewOnScreen)
        repaint();
    else if (x >= 0 && x < GraphPainter::kWidth)
        repaint(QRect(x, 0, 1, GraphPainter::kHeight)); // only this column changes
    // A column outside the widget changes no pixel, so it needs no repaint.
    // It, and every column of a widget that could not paint (hidden, or
    // not exposed yet), still goes onto the overview layer.
    if (!overviewColumnPainted) {
        if (mode == Detector)
            graphPainter->addDetectorColumn(pointX, pointY);
        else
            graphPainter->addGraph2Column(pointX, pointY, pointY2);
    }
}

void Widget::refreshWindow(qint64 start)
{
    const std::int64_t count = std::min<std::int64_t>(length, GraphPainter::kWindowLength);
    const std::int64_t first = std::clamp<std::int64_t>(start, 0, length - count);
    auto n = static_cast<std::ptrdiff_t>(count);
    if (n > 0 && !series->read(first, int(n), windowX.data(), windowAsym.data(), windowSym.data()))
        n = 0; // the data is gone: show no data rather than wrong data

    std::fill(windowX.begin() + n, windowX.end(), kXBaseline);
    std::fill(windowAsym.begin() + n, windowAsym.end(), kAsymBaseline);
    std::fill(windowSym.begin() + n, windowSym.end(), kSymBaseline);
    windowStartIndex = int(std::min<std::int64_t>(first, INT32_MAX));

    mode = Graphs;
    repaint();
}

void Widget::paintEvent(QPaintEvent *event)
{
    const QRect rect = event->rect();
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    switch (mode) {
    case Graphs:
        graphPainter->paintGraphs(&painter, rect, windowX.data(), windowAsym.data(),
                                  windowSym.data(), position, change);
        overviewOnScreen = false;
        break;
    case Detector:
        graphPainter->paintDetector(&painter, rect, pointX, pointY);
        overviewColumnPainted = true;
        overviewOnScreen = overviewOnScreen || rect.contains(this->rect());
        break;
    default:
        graphPainter->paintGraph2(&painter, rect, pointX, pointY, pointY2);
        overviewColumnPainted = true;
        overviewOnScreen = overviewOnScreen || rect.contains(this->rect());
        break;
    }
}

void Widget::mousePressEvent(QMouseEvent *event)
{
    event->accept();
    if (event->button() != Qt::LeftButton)
        return;
    const std::int64_t x = event->pos().x();
    const std::int64_t blocks = length / kBlock;
    if (x <= 1 || x + 4 >= blocks)
        return;
    position = static_cast<int>(x);
    refreshWindow((x - 1) * kBlock);
}

void Widget::keyPressEvent(QKeyEvent *event)
{
    event->accept();
    const std::int64_t blocks = length / kBlock;
    switch (event->key()) {
    case Qt::Key_Left:
        if (position <= 1)
            return;
        --position;
        break;
    case Qt::Key_Right:
        if (std::int64_t{position} + 4 >= blocks)
            return;
        ++position;
        break;
    default:
        return;
    }
    refreshWindow((std::int64_t{position} + 1) * kBlock);
}

void Widget::hideEvent(QHideEvent *event)
{
    // The next show repaints everything anyway.
    overviewOnScreen = false;
    QWidget::hideEvent(event);
}
