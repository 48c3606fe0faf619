#include "batchjob.h"

#include "batch/corebudget.h"
#include "wav/format/displayname.h"
#include "wav/format/header.h"
#include "wav/format/marker.h"
#include "wav/format/reading.h"
#include "wav/passes/commands.h"
#include "wav/passes/matchfiles.h"
#include "wav/passes/wavfile.h"

#include <QDir>
#include <QElapsedTimer>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <map>
#include <new>

namespace {

/// A file beside a result that holds what would not fit in memory for a
/// long recording; it has a temporary name of the result's, so that an
/// interrupt removes it with the others, and it goes when dropped.
class ScratchFile
{
public:
    explicit ScratchFile(const QString &resultName) : file(resultName) {}

    bool start(QString &message)
    {
        if (file.start())
            return true;
        message = file.errorText();
        return false;
    }
    /// Appends `bytes`; false with error() set when it could not.
    bool write(const char *data, qint64 bytes)
    {
        if (!errorText.isEmpty())
            return false;
        if (file.seek(file.size()) && file.write(data, bytes) == bytes)
            return true;
        errorText = file.errorText(errno);
        return false;
    }
    /// Reads `bytes` from `at`; false with error() set when it could not.
    bool read(qint64 at, char *data, qint64 bytes)
    {
        if (!errorText.isEmpty())
            return false;
        if (file.seek(at) && wavformat::read(file, data, bytes) == bytes)
            return true;
        const QString reason = wavformat::readFailure(file);
        errorText = wavformat::couldNotRead(
            file.name(), reason.isEmpty() ? QStringLiteral("the file ended early") : reason);
        return false;
    }
    /// Puts the whole file after what `to` holds; false with the message set
    /// when it could not.
    bool copyTo(resultfiles::ResultFile &to, QString &message)
    {
        const qint64 size = file.size();
        QByteArray chunk(1 << 16, Qt::Uninitialized);
        for (qint64 at = 0; at < size && errorText.isEmpty();) {
            const qint64 want = std::min<qint64>(chunk.size(), size - at);
            if (!read(at, chunk.data(), want))
                break;
            if (to.write(chunk.constData(), want) != want) {
                message = to.errorText(errno);
                return false;
            }
            at += want;
        }
        message = errorText;
        return message.isEmpty();
    }
    /// The first failure's message; empty while all went well.
    QString error() const { return errorText; }

private:
    resultfiles::ResultFile file;
    QString errorText;
};

/// The detector blocks' spilled chunks, in a scratch file: 24 bytes a block
/// on disk rather than in memory.
class BlockSpill : public dsp::matches::ChunkSpill
{
public:
    explicit BlockSpill(const QString &resultName) : scratch(resultName) {}

    bool start(QString &message) { return scratch.start(message); }
    bool write(std::size_t, const void *data, std::size_t bytes) override
    {
        // The chunks come in order, so chunk i lies at i * bytes.
        return scratch.write(static_cast<const char *>(data), qint64(bytes));
    }
    bool read(std::size_t index, void *data, std::size_t bytes) override
    {
        return scratch.read(qint64(index) * qint64(bytes), static_cast<char *>(data),
                            qint64(bytes));
    }
    QString error() const { return scratch.error(); }

private:
    ScratchFile scratch;
};

/// The rows of <name>_blocks.csv, written as the columns come: a header,
/// then one row per overview column (column, detector block maximum,
/// cumulative-sum block maximum and minimum). Row k pairs the k-th detector
/// column with the k-th cumulative one, and goes out once it has both; a
/// row of a loop that ran longer leaves the other's fields blank. With the
/// loops together the cumulative column 0 comes last of all: the rows from
/// 1 on then wait in a scratch file and follow row 0 at the finish.
class BlockRows
{
public:
    explicit BlockRows(resultfiles::ResultFile &file) : file(file), later(file.name())
    {
        buffer = "column,detector_max,cumulative_max,cumulative_min\n";
    }

    void detector(int column, std::int32_t maximum)
    {
        Row &row = rows[column];
        row.detector = QByteArray::number(maximum);
        row.hasDetector = true;
        send();
    }
    void cumulative(int column, std::int32_t maximum, std::int32_t minimum)
    {
        Row &row = rows[column];
        row.maximum = QByteArray::number(maximum);
        row.minimum = QByteArray::number(minimum);
        row.hasCumulative = true;
        send();
    }

    /// Writes the rows left and answers the first write failure's message.
    QString finish()
    {
        if (heldFirst) {
            // The rows that waited, then row 0 and after it those rows.
            write(true);
            heldFirst = false;
            const auto first = rows.find(0);
            if (first != rows.end())
                take(first);
            write(false);
            if (message.isEmpty())
                later.copyTo(file, message);
        }
        while (!rows.empty())
            take(rows.begin());
        write(false);
        return message;
    }

private:
    static constexpr int kChunk = 1 << 16;

    struct Row
    {
        QByteArray detector, maximum, minimum;
        bool hasDetector = false;
        bool hasCumulative = false;
    };

    /// Sends the rows that are whole, in order. When row 1 is whole before
    /// row 0, row 0 is held for the finish and the rest go to the scratch
    /// file.
    void send()
    {
        for (;;) {
            if (!whole(nextRow) && nextRow == 0 && !heldFirst && whole(1)) {
                write(false);
                heldFirst = true;
                if (!later.start(message))
                    return;
                nextRow = 1;
                continue;
            }
            if (!whole(nextRow))
                return;
            take(rows.find(nextRow));
            ++nextRow;
        }
    }
    /// Whether row `row` has both its halves.
    bool whole(int row) const
    {
        const auto at = rows.find(row);
        return at != rows.end() && at->second.hasDetector && at->second.hasCumulative;
    }
    void take(std::map<int, Row>::iterator at)
    {
        const Row &r = at->second;
        buffer += QByteArray::number(at->first) + ',' + r.detector + ',' + r.maximum + ','
                  + r.minimum + '\n';
        rows.erase(at);
        if (buffer.size() >= kChunk)
            write(heldFirst);
    }
    /// The buffer to the scratch file (`toLater`) or to the result.
    void write(bool toLater)
    {
        if (message.isEmpty()) {
            if (toLater && !later.write(buffer.constData(), buffer.size()))
                message = later.error();
            else if (!toLater && file.write(buffer) != buffer.size())
                message = file.errorText(errno);
        }
        buffer.clear();
    }

    resultfiles::ResultFile &file;
    ScratchFile later;
    QByteArray buffer;
    QString message;
    std::map<int, Row> rows;
    int nextRow = 0;
    bool heldFirst = false;
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
        if (keep(x)) {
            // Column 0 may come last (see takesColumnsAsTheyEnd()).
            auto &kept = result.cumulative;
            const auto at = std::lower_bound(
                kept.begin(), kept.end(), x,
                [](const std::array<int, 3> &column, int c) { return column[0] < c; });
            kept.insert(at, {x, maximum, minimum});
        }
    }
    bool takesColumnsAsTheyEnd() const override { return true; }
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
    // Written in full: the rest of it goes to the disk while the analysis runs.
    output->syncInBackground();

    // The analysis reads back the processed file just written, as Draw
    // reads <name>_output.wav, with the same header check.
    QAudioFormat format;
    qint64 headerBytes = 0;
    if (!output->flush())
        return output->errorText();
    if (!wavformat::parseHeader(*output, format, headerBytes)) {
        const QString reason = wavformat::readFailure(*output);
        return reason.isEmpty() ? QString::fromLatin1(commands::notWavProcessed)
                                : wavformat::couldNotRead(output->name(), reason);
    }
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
    // The detector blocks for the matches wait on disk, not in memory.
    std::unique_ptr<BlockSpill> spill;
    if (options.matches || options.labels) {
        spill = std::make_unique<BlockSpill>(options.matches ? matchfiles::matchesName(base)
                                                             : matchfiles::labelsName(base));
        if (!spill->start(message))
            return message;
        collector.blocks.spillTo(spill.get());
    }
    message = commands::writeAnalysis(pass, *output, *stereo, &marker, collector);
    if (message.isEmpty() && rows)
        message = rows->finish();
    if (message.isEmpty() && (options.matches || options.labels)) {
        // The same files, byte for byte, as Graph > Draw writes.
        const auto found = dsp::matches::find(collector.blocks, options.threshold);
        if (collector.blocks.failed())
            return spill->error();
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
        // The replaced results' blocks are freed while the next recording runs.
        result.error =
            oneLine(resultfiles::commitAll(files, resultfiles::Removal::InBackground));
    }
    result.pending.clear();
    return result.error;
}
