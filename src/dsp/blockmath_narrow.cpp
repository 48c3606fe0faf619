// The narrow forms of the block arithmetic.

#include "dsp/blockmath.h"

#include "dsp/cascademath.h"
#include "dsp/lanemath.h"

namespace dsp {

const BlockMath &narrowBlockMath()
{
    static constexpr BlockMath forms{analysis::computeLane, cascade::runStartUp,
                                     cascade::filterBlock};
    return forms;
}

} // namespace dsp
