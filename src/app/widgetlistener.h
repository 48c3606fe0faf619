#pragma once

#include "graph/widget.h"
#include "wav/wavfile.h"

/// Shows an analysis on the graph widget as it runs: each column repaints
/// at once, and the close-up at the peak follows at the end.
class WidgetListener : public AnalysisListener
{
public:
    explicit WidgetListener(Widget *widget) : widget(widget) {}

    void detectorColumn(int x, int y) override { widget->animateDetector(x, y); }
    void cumulativeColumn(int x, int y, int y2) override { widget->animateGraph2(x, y, y2); }
    void finished(std::vector<int> seriesX, std::vector<int> seriesAsym, std::vector<int> seriesSym,
                  int block, int change) override
    {
        widget->setSeries(std::move(seriesX), std::move(seriesAsym), std::move(seriesSym));
        widget->setPosition(block, change);
    }

private:
    Widget *widget;
};
