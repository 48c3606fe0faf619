#include "graph/recordingstrip.h"

#include <QMouseEvent>
#include <QPainter>

#include <algorithm>
#include <utility>

RecordingStrip::RecordingStrip(QWidget *parent)
    : QWidget(parent), value(kWidth, 0), strongest(kWidth, -1)
{
    setFixedSize(kWidth, kHeight);
    setAttribute(Qt::WA_OpaquePaintEvent);
}

void RecordingStrip::start(std::int64_t count)
{
    blocks = std::max<std::int64_t>(count, 0);
    std::fill(value.begin(), value.end(), 0);
    std::fill(strongest.begin(), strongest.end(), -1);
    matchColumns.clear();
    largest = 0;
    position = -1;
    lastPainted = -1;
    repaint();
}

// Pixel x shows blocks x * B / 900 up to (x + 1) * B / 900, at least one:
// with fewer blocks than pixels a block spans several columns.
std::int64_t RecordingStrip::firstBlock(int x) const
{
    return std::int64_t(x) * blocks / kWidth;
}

std::int64_t RecordingStrip::endBlock(int x) const
{
    return std::max(firstBlock(x) + 1, std::int64_t(x + 1) * blocks / kWidth);
}

int RecordingStrip::pixelOf(std::int64_t column) const
{
    if (column < 0 || column >= blocks)
        return -1;
    // The first x with endBlock(x) > column.
    int x = int(std::min<std::int64_t>(column * kWidth / blocks, kWidth - 1));
    while (x > 0 && endBlock(x - 1) > column)
        --x;
    while (x < kWidth - 1 && endBlock(x) <= column)
        ++x;
    return x;
}

void RecordingStrip::addBlock(std::int64_t column, std::int32_t maximum)
{
    const int first = pixelOf(column);
    if (first < 0)
        return;
    const std::int32_t shown = std::max<std::int32_t>(maximum, 0);
    for (int x = first; x < kWidth && firstBlock(x) <= column; ++x) {
        if (strongest[std::size_t(x)] < 0 || shown > value[std::size_t(x)]) {
            value[std::size_t(x)] = shown;
            strongest[std::size_t(x)] = column;
        }
    }
    largest = std::max(largest, shown);
    if (first != lastPainted) {
        lastPainted = first;
        repaint();
    }
}

void RecordingStrip::setMatches(std::vector<std::int64_t> columns)
{
    matchColumns = std::move(columns);
    repaint();
}

void RecordingStrip::setPosition(std::int64_t column)
{
    position = column;
    repaint();
}

std::int64_t RecordingStrip::blockAt(int x) const
{
    return x >= 0 && x < kWidth ? strongest[std::size_t(x)] : -1;
}

std::int32_t RecordingStrip::pixelValue(int x) const
{
    return x >= 0 && x < kWidth ? value[std::size_t(x)] : 0;
}

void RecordingStrip::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    painter.fillRect(rect(), Qt::black);
    const int barRows = kHeight - 8;
    painter.setPen(QColor(0, 200, 0));
    for (int x = 0; x < kWidth; ++x) {
        if (strongest[std::size_t(x)] < 0 || largest <= 0)
            continue;
        const int h = int(std::int64_t(value[std::size_t(x)]) * barRows / largest);
        if (h > 0)
            painter.drawLine(x, kHeight - 1, x, kHeight - h);
    }
    // The matches: a red tick along the top.
    painter.setPen(Qt::red);
    for (std::int64_t column : matchColumns) {
        const int x = pixelOf(column);
        if (x >= 0)
            painter.drawLine(x, 0, x, 6);
    }
    // The close-up: a white frame around its column.
    const int at = pixelOf(position);
    if (at >= 0) {
        painter.setPen(Qt::white);
        painter.drawRect(std::max(at - 2, 0), 0, 4, kHeight - 1);
    }
}

void RecordingStrip::mousePressEvent(QMouseEvent *event)
{
    event->accept();
    if (event->button() != Qt::LeftButton)
        return;
    const std::int64_t column = blockAt(event->pos().x());
    if (column >= 0)
        emit clicked(column);
}
