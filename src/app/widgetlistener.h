#pragma once

#include "dsp/templateanalysis.h"
#include "graph/rows.h"
#include "graph/widget.h"
#include "wav/wavfile.h"

#include <QString>

#include <memory>

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
    /// file and the stereo result the analysis has just written, or else
    /// from `scratch` when it holds all of that result (it then goes with
    /// the windows and is removed with them). With neither the close-up
    /// shows the baselines.
    void show(const QString &processed, const QString &stereo,
              std::unique_ptr<QFileDevice> scratch = nullptr)
    {
        const qint64 header = WavFile::canonicalHeader(2, 16384, samples * 8).size();
        QString frames = stereo;
        if (scratch && scratch->flush() && scratch->size() == header + samples * 8) {
            frames = scratch->fileName();
            scratch->close();
        } else {
            scratch.reset();
        }
        widget->setSeriesSource(
            std::make_unique<ResultFileSeries>(processed, 4 * dsp::analysis::kLeadInWords, frames,
                                               header, samples, std::move(scratch)));
        widget->setPosition(block, change);
    }

private:
    Widget *widget;
    std::int64_t samples = 0;
    int block = -1;
    int change = 0;
};
