#pragma once

// A recorder of what the analysis pass shows its listener.

#include "common/recorders.h"
#include "graph/rows.h"
#include "wav/wavfile.h"

namespace recorders {

/// Block values and rows as they come, then the series as close-up rows.
/// `block` and `change` stay -2 until the pass finishes.
struct Listener : Blocks<AnalysisListener>
{
    std::vector<int> x, asym, sym;
    int block = -2;
    int change = -2;

    void finished(std::vector<std::int32_t> seriesX, std::vector<std::int32_t> seriesAsym,
                  std::vector<std::int32_t> seriesSym, int peakBlock, int peakChange) override
    {
        x = std::move(seriesX);
        asym = std::move(seriesAsym);
        sym = std::move(seriesSym);
        rows::toSeries(x, rows::kBaselineX);
        rows::toSeries(asym, rows::kBaselineAsym);
        rows::toSeries(sym, rows::kBaselineSym);
        block = peakBlock;
        change = peakChange;
    }
};

} // namespace recorders
