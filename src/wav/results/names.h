#pragma once

#include "wav/format/displayname.h"

#include <QLatin1String>
#include <QString>

namespace resultfiles {

/// What each name the writer puts beside a result adds to the result's
/// name: "." and six letters or digits. A result name leaves room for it.
constexpr int kTemporarySuffix = 7;

/// A file's name as the messages show it to the user.
using wavformat::displayName;

} // namespace resultfiles

namespace resultfiles {

/// Beside a result during a commit: its earlier file, kept until the new
/// set is in place ("<name>.backup").
inline QLatin1String backupSuffix()
{
    return QLatin1String(".backup");
}
/// Beside the first result of a set during a commit: the list of the set
/// ("<name>.commit"); while it exists the commit can be rolled back.
inline QLatin1String journalSuffix()
{
    return QLatin1String(".commit");
}

} // namespace resultfiles
