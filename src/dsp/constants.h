#pragma once

#include <cstdint>

namespace dsp {

/// Words at the start of a file that both passes leave out of their steps
/// (192 bytes: the header and what follows it).
constexpr std::int64_t kLeadInWords = 48;

/// The circle constant both passes compute with. It is short on purpose:
/// the kernels, the taper and the edge sine have always been made with it,
/// and stored results depend on every bit of them (a kernel's raw sum is
/// 132.00000000125 rather than 132).
constexpr double kPi = 3.14159265356;

} // namespace dsp
