#pragma once

#include <QString>

namespace wavformat {

/// True when `path` (after links) is a regular file. False when it is
/// missing, a folder, a device, a FIFO or a socket.
bool isRegularFile(const QString &path);

} // namespace wavformat
