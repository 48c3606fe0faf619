// The Draw command: the analysis of a processed recording into its
// <name>_stereo.wav, with the template from marker.dat.

#include "commands.h"

#include "wav/format/header.h"
#include "wav/format/marker.h"
#include "wav/passes/matchfiles.h"
#include "wav/passes/wavfile.h"
#include "wav/results/resultfile.h"
#include "wav/results/resultfiles.h"

#include <QTemporaryFile>

#include <cerrno>

namespace commands {

namespace {

/// Takes every byte written and keeps none.
class Discard : public QIODevice
{
protected:
    qint64 readData(char *, qint64) override { return -1; }
    qint64 writeData(const char *, qint64 size) override { return size; }
};

/// Hands every write and seek on to `file` while they succeed, and swallows
/// them after: a failed copy never fails the analysis, it only ends short.
class FallbackCopy : public QIODevice
{
public:
    explicit FallbackCopy(QFileDevice *file) : file(file) {}
    bool isSequential() const override { return false; }
    bool seek(qint64 pos) override
    {
        ok = ok && file->seek(pos);
        return QIODevice::seek(pos);
    }

protected:
    qint64 readData(char *, qint64) override { return -1; }
    qint64 writeData(const char *data, qint64 size) override
    {
        ok = ok && file->write(data, size) == size;
        return size;
    }

private:
    QFileDevice *file;
    bool ok = true;
};

/// Hands the analysis on to the caller's listener and keeps its end for
/// the close-up.
class EndKeeper : public AnalysisListener
{
public:
    EndKeeper(AnalysisListener &listener, DrawOutcome &outcome)
        : listener(listener), outcome(outcome)
    {
    }
    void detectorColumn(int x, std::int32_t maximum) override
    {
        listener.detectorColumn(x, maximum);
    }
    void detectorBlock(const dsp::DetectorBlock &block) override
    {
        listener.detectorBlock(block);
    }
    void cumulativeColumn(int x, std::int32_t maximum, std::int32_t minimum) override
    {
        listener.cumulativeColumn(x, maximum, minimum);
    }
    void finished(std::int64_t samples, int block, int change) override
    {
        outcome.samples = samples;
        outcome.block = block;
        outcome.change = change;
        listener.finished(samples, block, change);
    }

private:
    AnalysisListener &listener;
    DrawOutcome &outcome;
};

QString shownName(const QIODevice &device)
{
    const auto *file = qobject_cast<const QFileDevice *>(&device);
    return file ? WavFile::shownName(file) : QStringLiteral("the file");
}

} // namespace

QString writeAnalysis(WavFile &pass, QIODevice &processed, QIODevice &stereo, QIODevice *marker,
                      AnalysisListener &listener)
{
    const auto failed = [&stereo](int writeErrno) {
        return resultfiles::couldNotWrite(shownName(stereo),
                                          resultfiles::writeFailure(stereo, writeErrno));
    };
    // The header goes first with the size the frames will have (which
    // decides between the plain and the RF64 form) and is written again with
    // the size they took.
    const auto planned = wavformat::StereoLayout::forProcessedSize(processed.size());
    const QByteArray placeholder = planned.header();
    resultfiles::reserveSpace(stereo, planned.fileBytes());
    if (stereo.write(placeholder) != placeholder.size())
        return failed(errno);
    if (!pass.analyse(&processed, &stereo, marker, listener))
        return pass.lastError();
    const QByteArray header = wavformat::StereoLayout::header(stereo.pos() - placeholder.size());
    if (header.size() != placeholder.size())
        return resultfiles::couldNotWrite(shownName(stereo),
                                          QStringLiteral("its input changed while it was read"));
    if (!stereo.seek(0))
        return failed(0);
    if (stereo.write(header) != header.size())
        return failed(errno);
    return QString();
}

QString analyseInto(WavFile &source, const QString &stereo, QFile *marker,
                    AnalysisListener &listener, QFileDevice *fallback,
                    const std::vector<AnalysisFile> &extra)
{
    resultfiles::ResultFile result(stereo);
    const QStringList inputs{source.fileName(), marker ? marker->fileName() : QString()};
    QString error = prepareResult(stereo, inputs);
    if (error.isEmpty() && !result.start())
        error = result.errorText();
    std::vector<std::unique_ptr<resultfiles::ResultFile>> extraFiles;
    for (const AnalysisFile &file : extra) {
        if (!error.isEmpty())
            break;
        extraFiles.push_back(std::make_unique<resultfiles::ResultFile>(file.name));
        error = prepareResult(file.name, inputs);
        if (error.isEmpty() && !extraFiles.back()->start())
            error = extraFiles.back()->errorText();
    }
    if (!error.isEmpty()) {
        // The graph is worth having even when the result cannot be kept.
        Discard discard;
        FallbackCopy copy(fallback);
        QIODevice &frames = fallback ? static_cast<QIODevice &>(copy) : discard;
        frames.open(QIODevice::WriteOnly);
        const QString failed = writeAnalysis(source, source, frames, marker, listener);
        return failed.isEmpty() ? error : failed;
    }
    error = writeAnalysis(source, source, result, marker, listener);
    if (!error.isEmpty())
        return error;
    std::vector<resultfiles::ResultFile *> files{&result};
    const dsp::matches::Placement where =
        matchfiles::placement(source.audioFormat(), source.headerSize());
    for (std::size_t i = 0; i < extra.size(); ++i) {
        const QByteArray bytes = extra[i].contents(where);
        if (extraFiles[i]->write(bytes) != bytes.size())
            return extraFiles[i]->errorText(errno);
        files.push_back(extraFiles[i].get());
    }
    return resultfiles::commitAll(files);
}

DrawOutcome draw(const QString &processed, const QString &stereo, const QString &markerPath,
                 AnalysisListener &listener, const WavFile::HelperCore &helperCore,
                 const std::vector<AnalysisFile> &extra)
{
    DrawOutcome outcome;
    QFile markerFile(markerPath);
    markerfile::open(markerFile); // anything else is the empty template
    WavFile source;
    source.setHelperCore(helperCore);
    // After a refused or failed Open the processed file of this name, if
    // any, belongs to another recording.
    outcome.message = processed.isEmpty()
                          ? QString::fromLatin1(notWavProcessed)
                          : openChecked(source, processed, QString::fromLatin1(notWavProcessed));
    if (!outcome.message.isEmpty())
        return outcome;
    outcome.placement = matchfiles::placement(source.audioFormat(), source.headerSize());
    listener.started();
    EndKeeper keeper(listener, outcome);
    // Where the components go when the result cannot be written, so that
    // the close-up can still show them.
    auto scratch = std::make_unique<QTemporaryFile>();
    if (!scratch->open())
        scratch.reset();
    outcome.message = analyseInto(source, stereo, &markerFile, keeper, scratch.get(), extra);
    outcome.processed = processed;
    if (outcome.message.isEmpty()) {
        outcome.frames = stereo;
    } else if (scratch && scratch->flush()
               && scratch->size() == wavformat::StereoLayout(outcome.samples).fileBytes()) {
        // The scratch copy holds all of the result: the close-up reads it.
        outcome.frames = scratch->fileName();
        scratch->close();
        outcome.scratch = std::move(scratch);
    }
    return outcome;
}

} // namespace commands
