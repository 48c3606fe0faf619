#pragma once

// A recorder of what the analysis pass shows its listener.

#include "common/recorders.h"
#include "wav/passes/wavfile.h"

namespace recorders {

/// Block values and rows as they come, then the result. `samples`, `block`
/// and `change` stay -1, -2 and -2 until the pass finishes.
struct Listener : Blocks<AnalysisListener>
{
    std::int64_t samples = -1;
    int block = -2;
    int change = -2;

    void finished(std::int64_t analysed, int peakBlock, int peakChange) override
    {
        samples = analysed;
        block = peakBlock;
        change = peakChange;
    }
};

} // namespace recorders
