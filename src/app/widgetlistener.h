#pragma once

#include "graph/rows.h"
#include "graph/widget.h"
#include "wav/wavfile.h"

/// Shows an analysis on the graph widget as it runs: each column repaints
/// at once, and the close-up at the peak follows at the end.
class WidgetListener : public AnalysisListener
{
public:
    explicit WidgetListener(Widget *widget) : widget(widget) {}

    void detectorColumn(int x, std::int32_t maximum) override
    {
        widget->animateDetector(x, rows::detector(maximum));
    }
    void cumulativeColumn(int x, std::int32_t maximum, std::int32_t minimum) override
    {
        widget->animateGraph2(x, rows::cumulative(maximum), rows::cumulative(minimum));
    }
    void finished(std::vector<std::int32_t> samples, std::vector<std::int32_t> asym,
                  std::vector<std::int32_t> sym, int block, int change) override
    {
        rows::toSeries(samples, rows::kBaselineX);
        rows::toSeries(asym, rows::kBaselineAsym);
        rows::toSeries(sym, rows::kBaselineSym);
        widget->setSeries(std::move(samples), std::move(asym), std::move(sym));
        widget->setPosition(block, change);
    }

private:
    Widget *widget;
};
