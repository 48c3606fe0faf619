#include "dsp/blockmath.h"

#include "dsp/widevectors.h"

namespace dsp {

const BlockMath &blockMath(bool wide)
{
    const BlockMath *wideForms = wideBlockMath();
    return wide && wideForms && wideVectorsSupported() ? *wideForms : narrowBlockMath();
}

} // namespace dsp
