#include "batch/picture.h"

#include "graph/graphpainter.h"
#include "graph/graphview.h"
#include "graph/rows.h"
#include "graph/seriessource.h"
#include "wav/format/header.h"
#include "wav/passes/commands.h"
#include "wav/passes/wavfile.h"
#include "wav/results/names.h"
#include "wav/results/resultfiles.h"

#include <QBuffer>
#include <QImage>

#include <memory>

QString writePicture(BatchResult &result, const QString &path)
{
    const QString base = commands::baseName(result.path);
    QIODevice *processed = nullptr;
    QIODevice *stereo = nullptr;
    for (const auto &file : result.pending) {
        if (file->name() == base + QStringLiteral("_output.wav"))
            processed = file.get();
        else if (file->name() == base + QStringLiteral("_stereo.wav"))
            stereo = file.get();
    }
    GraphPainter painter;
    GraphView view(&painter);
    for (const auto &column : result.detector) {
        view.addDetector(column.first, rows::detector(column.second));
        view.keepColumn();
    }
    for (const auto &column : result.cumulative) {
        view.addGraph2(column[0], rows::cumulative(column[1]), rows::cumulative(column[2]));
        view.keepColumn();
    }
    if (processed && stereo)
        view.setSeriesSource(std::make_unique<DeviceSeries>(
            processed, wavformat::kLeadInBytes, stereo,
            wavformat::StereoLayout(result.samples).offset(), result.samples));
    view.setPosition(result.peakBlock, result.change);

    QByteArray png;
    QBuffer buffer(&png);
    if (!buffer.open(QIODevice::WriteOnly) || !view.picture().save(&buffer, "PNG"))
        return QStringLiteral("Could not draw %1").arg(resultfiles::displayName(path));
    result.pending.push_back(std::make_unique<resultfiles::ResultFile>(path));
    resultfiles::ResultFile &file = *result.pending.back();
    if (!file.start() || file.write(png) != png.size())
        return file.errorText();
    return QString();
}
