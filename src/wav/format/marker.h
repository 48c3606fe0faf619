#pragma once

#include <QByteArray>

#include <vector>

class QFile;
class QIODevice;

/// The template file, marker.dat: little-endian doubles, no header.
namespace markerfile {

/// The template values in `device`: the first 1006 at most. A closed or
/// missing device gives the empty template; so does a failed read, which
/// wavformat::readFailure() tells.
std::vector<double> read(QIODevice *device);

/// The bytes of a template file holding `values`, as read() reads them.
QByteArray bytes(const std::vector<double> &values);

/// Opens `file` for reading when it is a regular file. Anything else is left
/// closed, which is the empty template: a FIFO is never opened, so nothing
/// blocks.
bool open(QFile &file);

} // namespace markerfile
