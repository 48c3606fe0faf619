#include "batchjob.h"

#include "wav/commands.h"
#include "wav/wavfile.h"

#include <QElapsedTimer>
#include <QSaveFile>

#include <algorithm>

namespace {

/// Keeps what the batch reports and draws.
class Collector : public AnalysisListener
{
public:
    Collector(BatchResult &result, bool keepSeries) : result(result), keepSeries(keepSeries) {}

    void detectorColumn(int x, int y) override { result.detector.emplace_back(x, y); }
    void cumulativeColumn(int x, int y, int y2) override
    {
        result.cumulative.push_back({x, y, y2});
    }
    void finished(std::vector<int> seriesX, std::vector<int> seriesAsym, std::vector<int> seriesSym,
                  int block, int change) override
    {
        result.samples = qint64(seriesX.size());
        result.peakBlock = block;
        result.change = change;
        if (keepSeries) {
            result.seriesX = std::move(seriesX);
            result.seriesAsym = std::move(seriesAsym);
            result.seriesSym = std::move(seriesSym);
        }
    }

private:
    BatchResult &result;
    bool keepSeries;
};

/// The one-line form of a message the application shows on two lines.
QString oneLine(QString text)
{
    return text.replace(QStringLiteral(" \n"), QStringLiteral(" ")).replace('\n', ' ');
}

QString run(const QString &path, const BatchOptions &options,
            const std::function<void(int)> &progress, BatchResult &result)
{
    const QString base = commands::baseName(path);
    {
        WavFile source;
        QString message =
            commands::openChecked(source, path, QString::fromLatin1(commands::notWavInput));
        if (!message.isEmpty())
            return message;
        QSaveFile output(base + QStringLiteral("_output.wav"));
        message = commands::filterInto(source, output, progress);
        if (!message.isEmpty())
            return message;
    }
    if (!options.draw)
        return QString();

    WavFile processed;
    QString message = commands::openChecked(processed, base + QStringLiteral("_output.wav"),
                                            QString::fromLatin1(commands::notWavProcessed));
    if (!message.isEmpty())
        return message;
    QFile marker(options.marker);
    marker.open(QIODevice::ReadOnly); // a missing template is the empty template
    QSaveFile stereo(base + QStringLiteral("_stereo.wav"));
    Collector collector(result, options.png);
    message = commands::analyseInto(processed, stereo, &marker, collector);
    if (message.isEmpty() && options.blocks)
        message = commands::saveBytes(base + QStringLiteral("_blocks.csv"), blocksCsv(result));
    return message;
}

} // namespace

BatchResult runBatchJob(const QString &path, const BatchOptions &options,
                        const std::function<void(int)> &progress)
{
    QElapsedTimer timer;
    timer.start();
    BatchResult result;
    result.path = path;
    result.error = oneLine(run(path, options, progress, result));
    result.seconds = double(timer.nsecsElapsed()) / 1e9;
    return result;
}

QByteArray blocksCsv(const BatchResult &result)
{
    QByteArray csv = "column,detector_max,cumulative_max,cumulative_min\n";
    const std::size_t rows = std::max(result.detector.size(), result.cumulative.size());
    for (std::size_t i = 0; i < rows; ++i) {
        // The widget receives rows on screen: 600 - maximum for the
        // detector, 800 - maximum and 800 - minimum for the cumulative sum.
        const auto field = [](bool present, qint64 value) {
            return present ? QByteArray::number(value) : QByteArray();
        };
        const bool hasDetector = i < result.detector.size();
        const bool hasCumulative = i < result.cumulative.size();
        const int column = hasDetector ? result.detector[i].first : result.cumulative[i][0];
        csv += QByteArray::number(column) + ','
               + field(hasDetector, hasDetector ? 600 - qint64(result.detector[i].second) : 0) + ','
               + field(hasCumulative, hasCumulative ? 800 - qint64(result.cumulative[i][1]) : 0)
               + ','
               + field(hasCumulative, hasCumulative ? 800 - qint64(result.cumulative[i][2]) : 0)
               + '\n';
    }
    return csv;
}
