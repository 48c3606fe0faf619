#pragma once

#include "dsp/templateanalysis.h"
#include "graph/rows.h"
#include "graph/widget.h"
#include "wav/wavfile.h"

#include <QString>

/// Shows an analysis on the graph widget as it runs: each column repaints
/// at once. What the close-up needs is kept for show(), once the result
/// files are in place.
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
    void finished(std::int64_t analysed, int peakBlock, int peakChange) override
    {
        samples = analysed;
        block = peakBlock;
        change = peakChange;
    }

    /// Shows the close-up at the peak, its windows read from the processed
    /// file and the stereo result the analysis has just written.
    void show(const QString &processed, const QString &stereo)
    {
        widget->setSeriesSource(std::make_unique<ResultFileSeries>(
            processed, 4 * dsp::analysis::kLeadInWords, stereo, WavFile::canonicalHeader(2, 16384, samples * 8).size(),
            samples));
        widget->setPosition(block, change);
    }

private:
    Widget *widget;
    std::int64_t samples = 0;
    int block = -1;
    int change = 0;
};
