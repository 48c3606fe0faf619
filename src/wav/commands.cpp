#include "commands.h"

#include "wav/wavfile.h"

#include <QSaveFile>

namespace commands {

const char *const notWavInput = "Not a WAV-file";
const char *const notWavProcessed = "not wav file";
const char *const wrongFormat =
    "Wrong file format \nYou need sampleRate = 16kHz bitsPerSample = 32bit";

namespace {

QString writeError(const QFileDevice &file)
{
    return QStringLiteral("Could not write %1: %2").arg(file.fileName(), file.errorString());
}

/// Commits `output` when `error` is empty; otherwise discards it.
QString finish(QSaveFile &output, QString error)
{
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

} // namespace

QString baseName(const QString &path)
{
    return path.left(qMax(0, path.size() - 4));
}

QString openChecked(WavFile &file, const QString &fileName, const QString &notWavText)
{
    QString refusal;
    if (!file.openRead(fileName))
        refusal = notWavText;
    else if (!file.hasAnalysisFormat())
        refusal = QString::fromLatin1(wrongFormat);
    if (!refusal.isEmpty())
        file.close();
    return refusal;
}

QString filterInto(WavFile &source, QSaveFile &output, const std::function<void(int)> &progress)
{
    if (!output.open(QIODevice::WriteOnly))
        return writeError(output);
    source.prepareFilter(&source, &output);
    QString error;
    if (!source.filterSignal(&source, &output, progress))
        error = source.lastError();
    return finish(output, error);
}

QString analyseInto(WavFile &source, QSaveFile &stereo, QFile *marker, AnalysisListener &listener)
{
    if (!stereo.open(QIODevice::WriteOnly))
        return writeError(stereo);
    // The header's sizes are known once every frame is written.
    const QByteArray placeholder = WavFile::canonicalHeader(2, 16384, 0);
    QString error;
    if (stereo.write(placeholder) != placeholder.size()) {
        error = writeError(stereo);
    } else if (!source.analyse(&source, &stereo, marker, listener)) {
        error = source.lastError();
    } else {
        const QByteArray header =
            WavFile::canonicalHeader(2, 16384, stereo.pos() - placeholder.size());
        if (!stereo.seek(0) || stereo.write(header) != header.size())
            error = writeError(stereo);
    }
    return finish(stereo, error);
}

QString saveBytes(const QString &path, const QByteArray &bytes)
{
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return writeError(file);
    QString error;
    if (file.write(bytes) != bytes.size())
        error = writeError(file);
    return finish(file, error);
}

} // namespace commands
