#include "batchjob.h"

#include "batch/corebudget.h"
#include "wav/format/header.h"
#include "wav/format/marker.h"
#include "wav/passes/commands.h"
#include "wav/passes/matchfiles.h"
#include "wav/passes/wavfile.h"

#include <QDir>
#include <QElapsedTimer>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <new>

namespace {

/// Keeps what the batch reports and draws.
class Collector : public AnalysisListener
{
public:
    Collector(BatchResult &result, const BatchOptions &options)
        : result(result),
          all(options.blocks),
          pictured(options.png),
          keepBlocks(options.matches || options.labels)
    {
    }

    /// The detector blocks, with `matches` or `labels`.
    dsp::matches::BlockStore blocks;

    void detectorColumn(int x, std::int32_t maximum) override
    {
        if (keep(x))
            result.detector.emplace_back(x, maximum);
    }
    void detectorBlock(const dsp::DetectorBlock &block) override
    {
        if (keepBlocks)
            blocks.add(block);
    }
    void cumulativeColumn(int x, std::int32_t maximum, std::int32_t minimum) override
    {
        if (keep(x))
            result.cumulative.push_back({x, maximum, minimum});
    }
    void finished(std::int64_t samples, int block, int change) override
    {
        result.samples = samples;
        result.peakBlock = block;
        result.change = change;
    }

private:
    /// Columns from 900 on fall outside the picture.
    bool keep(int x) const { return all || (pictured && x >= 0 && x < 900); }

    BatchResult &result;
    bool all;
    bool pictured;
    bool keepBlocks;
};



/// The one-line form of a message the application shows on two lines.
QString oneLine(QString text)
{
    return text.replace(QStringLiteral(" \n"), QStringLiteral(" ")).replace('\n', ' ');
}

/// A new pending result of `result`; null when it could not be created.
resultfiles::ResultFile *startResult(BatchResult &result, const QString &name, QString &message)
{
    result.pending.push_back(std::make_unique<resultfiles::ResultFile>(name));
    resultfiles::ResultFile *file = result.pending.back().get();
    if (file->start())
        return file;
    message = file->errorText();
    return nullptr;
}

/// Writes `bytes` as the new pending result `name`; false with `message` set
/// when it could not be.
bool writeResult(BatchResult &result, const QString &name, const QByteArray &bytes,
                 QString &message)
{
    resultfiles::ResultFile *file = startResult(result, name, message);
    if (file && file->write(bytes) != bytes.size())
        message = file->errorText(errno);
    return message.isEmpty();
}

/// A warning about `path` on standard error, one line; the run goes on.
void warn(const QString &path, const QString &warning)
{
    if (!warning.isEmpty())
        std::fputs(QStringLiteral("quorvane-batch: warning: %1: %2\n")
                       .arg(QDir::toNativeSeparators(path), warning)
                       .toLocal8Bit()
                       .constData(),
                   stderr);
}

QString run(const QString &path, const BatchOptions &options,
            const std::function<void(int)> &progress, BatchResult &result)
{
    const QString base = commands::baseName(path);
    // This thread counts as a busy core (unless it does already), and a
    // pass takes a helper thread only while a core is left over.
    const batch::CoreClaim self = batch::CoreClaim::forThisThread();
    WavFile source;
    source.setHelperCore(batch::spareCore);
    QString message =
        commands::openChecked(source, path, QString::fromLatin1(commands::notWavInput));
    if (!message.isEmpty())
        return message;
    // Every result is checked before any is written.
    const QStringList inputs{path, options.draw ? options.marker : QString()};
    for (const QString &name : batchResultNames(path, options)) {
        message = resultfiles::refusal(name, inputs);
        if (!message.isEmpty())
            return message;
    }

    resultfiles::ResultFile *output =
        startResult(result, base + QStringLiteral("_output.wav"), message);
    if (!output)
        return message;
    message = commands::writeFiltered(source, *output, progress);
    source.close();
    if (message.isEmpty())
        warn(path, commands::levelWarning(commands::lastInputLevel()));
    if (!message.isEmpty() || !options.draw)
        return message;

    // The analysis reads back the processed file just written, as Draw
    // reads <name>_output.wav, with the same header check.
    QAudioFormat format;
    qint64 headerBytes = 0;
    if (!output->flush())
        return output->errorText();
    if (!wavformat::parseHeader(*output, format, headerBytes))
        return QString::fromLatin1(commands::notWavProcessed);
    if (!wavformat::isAnalysisFormat(format))
        return QString::fromLatin1(commands::wrongFormat);
    QFile marker(options.marker);
    markerfile::open(marker); // anything else is the empty template
    warn(path, commands::templateWarning(options.marker));
    resultfiles::ResultFile *stereo =
        startResult(result, base + QStringLiteral("_stereo.wav"), message);
    if (!stereo)
        return message;
    WavFile pass;
    pass.setHelperCore(batch::spareCore);
    Collector collector(result, options);
    message = commands::writeAnalysis(pass, *output, *stereo, &marker, collector);
    if (message.isEmpty() && options.blocks) {
        resultfiles::ResultFile *csv =
            startResult(result, base + QStringLiteral("_blocks.csv"), message);
        const QByteArray rows = csv ? blocksCsv(result) : QByteArray();
        if (csv && csv->write(rows) != rows.size())
            message = csv->errorText();
    }
    if (message.isEmpty() && (options.matches || options.labels)) {
        // The same files, byte for byte, as Graph > Draw writes.
        const auto found = dsp::matches::find(collector.blocks, options.threshold);
        const auto where = matchfiles::placement(format, headerBytes);
        result.matchCount = int(std::min<std::size_t>(found.size(), INT32_MAX));
        const std::string csv = dsp::matches::csv(found, where);
        const std::string labels = dsp::matches::labels(found, where);
        if (options.matches)
            writeResult(result, matchfiles::matchesName(base),
                        QByteArray(csv.data(), int(csv.size())), message);
        if (message.isEmpty() && options.labels)
            writeResult(result, matchfiles::labelsName(base),
                        QByteArray(labels.data(), int(labels.size())), message);
    }
    return message;
}

} // namespace

QStringList batchResultNames(const QString &path, const BatchOptions &options)
{
    const QString base = commands::baseName(path);
    QStringList names{base + QStringLiteral("_output.wav")};
    if (options.draw)
        names << base + QStringLiteral("_stereo.wav");
    if (options.draw && options.blocks)
        names << base + QStringLiteral("_blocks.csv");
    if (options.draw && options.matches)
        names << matchfiles::matchesName(base);
    if (options.draw && options.labels)
        names << matchfiles::labelsName(base);
    if (options.draw && options.png)
        names << base + QStringLiteral("_graph.png");
    return names;
}

BatchResult runBatchJob(const QString &path, const BatchOptions &options,
                        const std::function<void(int)> &progress)
{
    QElapsedTimer timer;
    timer.start();
    BatchResult result;
    result.path = path;
    try {
        result.error = oneLine(run(path, options, progress, result));
    } catch (const std::bad_alloc &) {
        result.detector = {};
        result.cumulative = {};
        result.error = QStringLiteral("Not enough memory to process %1").arg(path);
    }
    if (!result.error.isEmpty())
        result.pending.clear();
    result.seconds = double(timer.nsecsElapsed()) / 1e9;
    return result;
}

QString commitBatchResults(BatchResult &result)
{
    if (result.error.isEmpty()) {
        std::vector<resultfiles::ResultFile *> files;
        for (const auto &file : result.pending)
            files.push_back(file.get());
        result.error = oneLine(resultfiles::commitAll(files));
    }
    result.pending.clear();
    return result.error;
}

QByteArray blocksCsv(const BatchResult &result)
{
    QByteArray csv = "column,detector_max,cumulative_max,cumulative_min\n";
    const std::size_t rows = std::max(result.detector.size(), result.cumulative.size());
    for (std::size_t i = 0; i < rows; ++i) {
        const auto field = [](bool present, qint64 value) {
            return present ? QByteArray::number(value) : QByteArray();
        };
        const bool hasDetector = i < result.detector.size();
        const bool hasCumulative = i < result.cumulative.size();
        const int column = hasDetector ? result.detector[i].first : result.cumulative[i][0];
        csv += QByteArray::number(column) + ','
               + field(hasDetector, hasDetector ? result.detector[i].second : 0) + ','
               + field(hasCumulative, hasCumulative ? result.cumulative[i][1] : 0) + ','
               + field(hasCumulative, hasCumulative ? result.cumulative[i][2] : 0) + '\n';
    }
    return csv;
}
