#include "commands.h"

#include "wav/passes/wavfile.h"
#include "wav/results/names.h"
#include "wav/results/resultfiles.h"

#include <QDir>
#include <QFileInfo>

namespace commands {

const char *const notWavInput = "Not a WAV-file";
const char *const notWavProcessed = "not wav file";
const char *const wrongFormat =
    "Wrong file format \nYou need sampleRate = 16kHz bitsPerSample = 32bit";

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
                      ? QStringLiteral("Could not read %1: %2")
                            .arg(resultfiles::displayName(fileName), file.errorString())
                      : notWavText;
    else if (!file.hasAnalysisFormat())
        refusal = QString::fromLatin1(wrongFormat);
    if (!refusal.isEmpty())
        file.close();
    return refusal;
}

QString prepareResult(const QString &result, const QStringList &inputs)
{
    const QString refusal = resultfiles::refusal(result, inputs);
    if (refusal.isEmpty())
        resultfiles::removeLeftovers({result});
    return refusal;
}

} // namespace commands
