#include "batchjob.h"

#include "batch/corebudget.h"
#include "wav/format/displayname.h"
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
#include <deque>
#include <new>

namespace {

/// The rows of <name>_blocks.csv, written as the columns come: a header,
/// then one row per overview column (column, detector block maximum,
/// cumulative-sum block maximum and minimum). Row k pairs the k-th detector
/// column with the k-th cumulative one, so only the columns one loop is
/// ahead of the other wait here; a row of a loop that ran longer leaves the
/// other's fields blank.
class BlockRows
{
public:
    explicit BlockRows(resultfiles::ResultFile &file) : file(file)
    {
        buffer = "column,detector_max,cumulative_max,cumulative_min\n";
    }

    void detector(int column, std::int32_t maximum)
    {
        detectors.emplace_back(column, maximum);
        pair();
    }
    void cumulative(int column, std::int32_t maximum, std::int32_t minimum)
    {
        cumulatives.push_back({column, maximum, minimum});
        pair();
    }

    /// Writes the rows left and answers the first write failure's message.
    QString finish()
    {
        for (const auto &d : detectors)
            row(d.first, QByteArray::number(d.second), QByteArray(), QByteArray());
        for (const auto &c : cumulatives)
            row(c[0], QByteArray(), QByteArray::number(c[1]), QByteArray::number(c[2]));
        detectors.clear();
        cumulatives.clear();
        write();
        return message;
    }

private:
    static constexpr int kChunk = 1 << 16;

    void pair()
    {
        while (!detectors.empty() && !cumulatives.empty()) {
            const auto &d = detectors.front();
            const auto &c = cumulatives.front();
            row(d.first, QByteArray::number(d.second), QByteArray::number(c[1]),
                QByteArray::number(c[2]));
            detectors.pop_front();
            cumulatives.pop_front();
        }
    }
    void row(int column, const QByteArray &detector, const QByteArray &maximum,
             const QByteArray &minimum)
    {
        buffer += QByteArray::number(column) + ',' + detector + ',' + maximum + ',' + minimum
                  + '\n';
        if (buffer.size() >= kChunk)
            write();
    }
    void write()
    {
        if (message.isEmpty() && file.write(buffer) != buffer.size())
            message = file.errorText(errno);
        buffer.clear();
    }

    resultfiles::ResultFile &file;
    QByteArray buffer;
    QString message;
    std::deque<std::pair<int, std::int32_t>> detectors;
    std::deque<std::array<std::int32_t, 3>> cumulatives;
};

/// Keeps what the batch reports and draws, and hands the block rows on.
class Collector : public AnalysisListener
{
public:
    Collector(BatchResult &result, const BatchOptions &options, BlockRows *rows)
        : result(result),
          rows(rows),
          pictured(options.png),
          keepBlocks(options.matches || options.labels)
    {
    }

    /// The detector blocks, with `matches` or `labels`.
    dsp::matches::BlockStore blocks;

    void detectorColumn(int x, std::int32_t maximum) override
    {
        if (rows)
            rows->detector(x, maximum);
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
        if (rows)
            rows->cumulative(x, maximum, minimum);
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
    bool keep(int x) const { return pictured && x >= 0 && x < 900; }

    BatchResult &result;
    BlockRows *rows;
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
                       .arg(wavformat::displayName(path), warning)
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
    // The block rows go to their file as they come, not held to the end.
    std::unique_ptr<BlockRows> rows;
    if (options.blocks) {
        resultfiles::ResultFile *csv =
            startResult(result, base + QStringLiteral("_blocks.csv"), message);
        if (!csv)
            return message;
        rows = std::make_unique<BlockRows>(*csv);
    }
    WavFile pass;
    pass.setHelperCore(batch::spareCore);
    Collector collector(result, options, rows.get());
    message = commands::writeAnalysis(pass, *output, *stereo, &marker, collector);
    if (message.isEmpty() && rows)
        message = rows->finish();
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
