#include "graph/widget.h"

#include "graph/graphpainter.h"

#include <QKeyEvent>
#include <QMouseEvent>
#include <QPaintEvent>
#include <QPainter>

#include <utility>

Widget::Widget(GraphPainter *painter, QWidget *parent) : QWidget(parent), view(painter)
{
    setFixedSize(GraphPainter::kWidth, GraphPainter::kHeight);
    setFocusPolicy(Qt::StrongFocus);
    // Every paint routine covers the whole paint rectangle.
    setAttribute(Qt::WA_OpaquePaintEvent);
}

Widget::~Widget() = default;

void Widget::setSeries(std::vector<int> x, std::vector<int> asym, std::vector<int> sym)
{
    view.setSeries(std::move(x), std::move(asym), std::move(sym));
}

void Widget::setSeriesSource(std::unique_ptr<SeriesSource> source)
{
    view.setSeriesSource(std::move(source));
}

void Widget::setPosition(int block, int change)
{
    view.setPosition(block, change);
    repaint();
    emit positionChanged(view.currentPosition());
}

void Widget::clearOverview()
{
    view.clearOverview();
    // What is on screen is no longer the overview layer.
    overviewOnScreen = false;
}

void Widget::animate(int, int, int, int, int, int, int, int, int)
{
    view.showGraphs();
    repaint();
}

void Widget::animateDetector(int x, int y)
{
    view.addDetector(x, y);
    repaintOverviewColumn(x);
}

void Widget::animateGraph2(int x, int y, int y2)
{
    view.addGraph2(x, y, y2);
    repaintOverviewColumn(x);
}

void Widget::repaintOverviewColumn(int x)
{
    if (fullRepaint || !overviewOnScreen)
        repaint();
    else if (x >= 0 && x < GraphPainter::kWidth)
        repaint(QRect(x, 0, 1, GraphPainter::kHeight)); // only this column changes
    // A column outside the widget changes no pixel, so it needs no repaint.
    // It, and every column of a widget that could not paint (hidden, or
    // not exposed yet), still goes onto the overview layer.
    view.keepColumn();
}

void Widget::paintEvent(QPaintEvent *event)
{
    const QRect rect = event->rect();
    QPainter painter(this);
    view.paint(&painter, rect);
    if (view.displayMode() == GraphView::Graphs)
        overviewOnScreen = false;
    else
        overviewOnScreen = overviewOnScreen || rect.contains(this->rect());
}

void Widget::mousePressEvent(QMouseEvent *event)
{
    event->accept();
    if (event->button() == Qt::LeftButton && view.clickColumn(event->pos().x())) {
        repaint();
        emit positionChanged(view.currentPosition());
    }
}

void Widget::keyPressEvent(QKeyEvent *event)
{
    event->accept();
    const int key = event->key();
    if ((key == Qt::Key_Left && view.stepLeft()) || (key == Qt::Key_Right && view.stepRight())) {
        repaint();
        emit positionChanged(view.currentPosition());
    }
}

void Widget::hideEvent(QHideEvent *event)
{
    // The next show repaints everything anyway.
    overviewOnScreen = false;
    QWidget::hideEvent(event);
}
