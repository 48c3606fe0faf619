#pragma once

#include <QDir>
#include <QString>

namespace wavformat {

/// A file's name as the messages show it to the user: with the system's
/// own separators ("D:\rec\night.wav" on Windows); unchanged elsewhere.
inline QString displayName(const QString &path)
{
    return QDir::toNativeSeparators(path);
}

} // namespace wavformat
