#pragma once

#include <QLatin1String>

namespace resultfiles {

/// What each name the writer puts beside a result adds to the result's
/// name: "." and six letters or digits. A result name leaves room for it.
constexpr int kTemporarySuffix = 7;

} // namespace resultfiles
