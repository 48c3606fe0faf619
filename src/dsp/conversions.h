#pragma once

#include <cmath>
#include <cstdint>
#include <limits>

namespace dsp {

/// The value every out-of-range or not-a-number conversion gives.
constexpr std::int32_t kInvalidWord = std::numeric_limits<std::int32_t>::min();

/// Converts a double to a 32-bit integer, truncating toward zero.
/// A value outside the signed 32-bit range, an infinity or NaN gives
/// -2147483648. Never undefined behaviour.
inline std::int32_t toInt32(double value)
{
    // The comparisons are false for NaN, which gives the invalid word.
    // -2147483648.999... truncates to the smallest int. Only an in-range
    // value is ever converted; written without branches, so that loops of
    // conversions vectorise.
    const bool inRange = (value > -2147483649.0) & (value < 2147483648.0);
    const auto truncated = static_cast<std::int32_t>(inRange ? value : 0.0);
    return inRange ? truncated : kInvalidWord;
}

/// Narrows a 64-bit integer to 32 bits, saturating at the range limits.
inline std::int32_t saturateToInt32(std::int64_t value)
{
    if (value > std::numeric_limits<std::int32_t>::max())
        return std::numeric_limits<std::int32_t>::max();
    if (value < std::numeric_limits<std::int32_t>::min())
        return std::numeric_limits<std::int32_t>::min();
    return static_cast<std::int32_t>(value);
}

} // namespace dsp
