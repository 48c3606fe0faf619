#include "commands.h"

#include "wav/resultfiles.h"
#include "wav/wavfile.h"

#include <QFileInfo>
#include <QSaveFile>

namespace commands {

const char *const notWavInput = "Not a WAV-file";
const char *const notWavProcessed = "not wav file";
const char *const wrongFormat =
    "Wrong file format \nYou need sampleRate = 16kHz bitsPerSample = 32bit";

namespace {

QString writeError(QFileDevice &file)
{
    return resultfiles::couldNotWrite(file.fileName(), resultfiles::writeFailure(file));
}

/// Commits `output` when `error` is empty; otherwise discards it.
QString finish(QSaveFile &output, QString error)
{
    // A write error the buffer held back shows here with its reason; the
    // commit itself would lose it.
    if (error.isEmpty() && !output.flush())
        error = writeError(output);
    if (error.isEmpty() && !output.commit())
        error = writeError(output);
    if (!error.isEmpty() && output.isOpen()) {
        // A cancelled save file's commit only closes it and removes its
        // temporary file, which would otherwise stay until the object goes.
        output.cancelWriting();
        output.commit();
    }
    return error;
}

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

} // namespace

QString baseName(const QString &path)
{
    // The cut stays inside the file's own name, so a short name never sends
    // the results into the parent folder.
    int nameStart = path.lastIndexOf(QLatin1Char('/')) + 1;
#ifdef Q_OS_WIN
    nameStart = qMax(nameStart, path.lastIndexOf(QLatin1Char('\\')) + 1);
#endif
    // Four characters are four code points: a surrogate pair goes whole.
    int end = path.size();
    for (int n = 0; n < 4 && end > nameStart; ++n) {
        --end;
        if (end > nameStart && path.at(end).isLowSurrogate() && path.at(end - 1).isHighSurrogate())
            --end;
    }
    return path.left(end);
}

QString openChecked(WavFile &file, const QString &fileName, const QString &notWavText)
{
    QString refusal;
    const bool present = QFileInfo(fileName).exists();
    if (present && !resultfiles::isRegular(fileName))
        refusal = notWavText;
    else if (!file.openRead(fileName))
        refusal = !file.isOpen() && notWavText == QLatin1String(notWavInput)
                      ? QStringLiteral("Could not read %1: %2").arg(fileName, file.errorString())
                      : notWavText;
    else if (!file.hasAnalysisFormat())
        refusal = QString::fromLatin1(wrongFormat);
    if (!refusal.isEmpty())
        file.close();
    return refusal;
}

bool openTemplate(QFile &marker)
{
    return resultfiles::isRegular(marker.fileName()) && marker.open(QIODevice::ReadOnly);
}

QString prepareResult(const QString &result, const QStringList &inputs)
{
    const QString refusal = resultfiles::refusal(result, inputs);
    if (refusal.isEmpty())
        resultfiles::removeLeftovers({result});
    return refusal;
}

QString writeFiltered(WavFile &source, QIODevice &output, const std::function<void(int)> &progress)
{
    source.prepareFilter(&source, &output);
    resultfiles::reserveSpace(output, source.size()); // the output has the input's length
    if (!source.filterSignal(&source, &output, progress))
        return source.lastError();
    return QString();
}

QString writeAnalysis(WavFile &pass, QIODevice &processed, QIODevice &stereo, QIODevice *marker,
                      AnalysisListener &listener)
{
    const auto failed = [&stereo]() {
        const auto *file = qobject_cast<const QFileDevice *>(&stereo);
        return resultfiles::couldNotWrite(file ? WavFile::shownName(file)
                                               : QStringLiteral("the file"),
                                          resultfiles::writeFailure(stereo));
    };
    // The header goes first with the size the frames will have (which
    // decides between the plain and the RF64 form) and is written again with
    // the size they took.
    const QByteArray placeholder =
        WavFile::canonicalHeader(2, 16384, WavFile::frameBytes(processed.size()));
    resultfiles::reserveSpace(stereo,
                              placeholder.size() + WavFile::frameBytes(processed.size()));
    if (stereo.write(placeholder) != placeholder.size())
        return failed();
    if (!pass.analyse(&processed, &stereo, marker, listener))
        return pass.lastError();
    const QByteArray header = WavFile::canonicalHeader(2, 16384, stereo.pos() - placeholder.size());
    if (header.size() != placeholder.size() || !stereo.seek(0)
        || stereo.write(header) != header.size())
        return failed();
    return QString();
}

QString filterInto(WavFile &source, QSaveFile &output, const std::function<void(int)> &progress)
{
    QString error = prepareResult(output.fileName(), {source.fileName()});
    if (!error.isEmpty())
        return error;
    if (!output.open(QIODevice::WriteOnly))
        return writeError(output);
    return finish(output, writeFiltered(source, output, progress));
}

QString analyseInto(WavFile &source, QSaveFile &stereo, QFile *marker, AnalysisListener &listener,
                    QFileDevice *fallback)
{
    QString error = prepareResult(stereo.fileName(),
                                  {source.fileName(), marker ? marker->fileName() : QString()});
    if (error.isEmpty() && !stereo.open(QIODevice::WriteOnly))
        error = writeError(stereo);
    if (!error.isEmpty()) {
        // The graph is worth having even when the result cannot be kept.
        Discard discard;
        FallbackCopy copy(fallback);
        QIODevice &frames = fallback ? static_cast<QIODevice &>(copy) : discard;
        frames.open(QIODevice::WriteOnly);
        const QString failed = writeAnalysis(source, source, frames, marker, listener);
        return failed.isEmpty() ? error : failed;
    }
    return finish(stereo, writeAnalysis(source, source, stereo, marker, listener));
}

QString saveBytes(const QString &path, const QByteArray &bytes)
{
    QSaveFile file(path);
    const QString refusal = prepareResult(path, {});
    if (!refusal.isEmpty())
        return refusal;
    if (!file.open(QIODevice::WriteOnly))
        return writeError(file);
    QString error;
    if (file.write(bytes) != bytes.size())
        error = writeError(file);
    return finish(file, error);
}

} // namespace commands
