#pragma once

#include "batch/batchjob.h"

#include <QString>

/// The picture the graph display shows once Draw has finished: the overview
/// and the close-up at the peak, painted from a GraphView onto an image, its
/// window read from the recording's pending result files. Adds it to them
/// as `path`; returns the error text, empty on success. Needs a
/// QGuiApplication (fonts and the painter's layers); GUI thread only.
QString writePicture(BatchResult &result, const QString &path);
