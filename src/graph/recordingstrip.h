#pragma once

#include <QWidget>

#include <cstdint>
#include <vector>

/// The whole recording in one row of pixels, as wide as the graph area: each
/// pixel column shows the largest detector block maximum of its share of
/// the blocks, with the matches marked in red and the close-up's column in
/// white. It grows block by block while an analysis runs. A click moves
/// the close-up to the strongest block of the pixel clicked (clicked()).
class RecordingStrip : public QWidget
{
    Q_OBJECT

public:
    static constexpr int kWidth = 900;
    static constexpr int kHeight = 48;

    explicit RecordingStrip(QWidget *parent = nullptr);

    /// Empties the strip for an analysis of `blocks` detector blocks.
    void start(std::int64_t blocks);
    /// Detector block `column` ended with `maximum`. Repaints at once when
    /// the block begins a new pixel column.
    void addBlock(std::int64_t column, std::int32_t maximum);
    /// The columns (blocks) of the matches; repaints.
    void setMatches(std::vector<std::int64_t> columns);
    /// The close-up's column; repaints.
    void setPosition(std::int64_t column);

    /// Blocks the strip was started for.
    std::int64_t blockCount() const { return blocks; }
    /// The pixel column showing block `column`, the first where it spans
    /// several; -1 outside the strip.
    int pixelOf(std::int64_t column) const;
    /// The strongest block shown in pixel column x so far (-1: none).
    std::int64_t blockAt(int x) const;
    /// The largest block maximum shown in pixel column x (0: none).
    std::int32_t pixelValue(int x) const;

signals:
    /// A click asked for the close-up at block `column`.
    void clicked(qint64 column);

protected:
    void paintEvent(QPaintEvent *event) override;
    void mousePressEvent(QMouseEvent *event) override;

private:
    /// The first block of pixel column x and one past its last.
    std::int64_t firstBlock(int x) const;
    std::int64_t endBlock(int x) const;

    std::int64_t blocks = 0;
    std::vector<std::int32_t> value;
    std::vector<std::int64_t> strongest;
    std::vector<std::int64_t> matchColumns;
    std::int32_t largest = 0;
    std::int64_t position = -1;
    int lastPainted = -1;
};
