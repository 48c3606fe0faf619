#pragma once

#include "dsp/matches.h"
#include "graph/recordingstrip.h"
#include "graph/rows.h"
#include "graph/seriessource.h"
#include "graph/widget.h"
#include "wav/format/header.h"
#include "wav/passes/commands.h"
#include "wav/passes/wavfile.h"

#include <memory>

/// Shows an analysis on the graph widget as it runs: each column repaints
/// at once. With `blocks` and `strip`, the detector blocks are kept there
/// and grow the strip as they come.
class WidgetListener : public AnalysisListener
{
public:
    explicit WidgetListener(Widget *widget, dsp::matches::BlockStore *blocks = nullptr,
                            RecordingStrip *strip = nullptr)
        : widget(widget), blocks(blocks), strip(strip)
    {
    }

    void started() override { widget->clearOverview(); }
    void detectorColumn(int x, std::int32_t maximum) override
    {
        widget->animateDetector(x, rows::detector(maximum));
    }
    void detectorBlock(const dsp::DetectorBlock &block) override
    {
        if (blocks)
            blocks->add(block);
        if (strip)
            strip->addBlock(block.column, block.maximum);
    }
    void cumulativeColumn(int x, std::int32_t maximum, std::int32_t minimum) override
    {
        widget->animateGraph2(x, rows::cumulative(maximum), rows::cumulative(minimum));
    }
    void finished(std::int64_t, int, int) override {}

    /// Shows the close-up at the peak, its windows read from the files the
    /// Draw left (with neither the close-up shows the baselines).
    void show(commands::DrawOutcome &outcome)
    {
        const wavformat::StereoLayout layout(outcome.samples);
        widget->setSeriesSource(std::make_unique<ResultFileSeries>(
            outcome.processed, wavformat::kLeadInBytes, outcome.frames, layout.offset(),
            outcome.samples, std::move(outcome.scratch)));
        widget->setPosition(outcome.block, outcome.change);
    }

private:
    Widget *widget;
    dsp::matches::BlockStore *blocks;
    RecordingStrip *strip;
};
