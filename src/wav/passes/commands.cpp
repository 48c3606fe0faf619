#include "commands.h"

#include "wav/format/reading.h"
#include "wav/passes/wavfile.h"
#include "wav/results/names.h"
#include "wav/results/resultfiles.h"

#include <QDir>
#include <QFile>
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

QString openFailure(const QFile &file)
{
    // A name the system cannot look up says why (a loop of links, a folder
    // on the way that is none); else the open's own reason.
    const QString lookup = wavformat::lookupFailure(file.fileName());
    return lookup.isEmpty() ? file.errorString() : lookup;
}

QString openChecked(WavFile &file, const QString &fileName, const QString &notWavText)
{
    QString refusal;
    const bool present = QFileInfo(fileName).exists();
    if (present && !resultfiles::isRegular(fileName))
        refusal = notWavText;
    else if (!file.openRead(fileName)) {
        // A file that opened but whose header could not be read is refused
        // with the reason, as is a recording that would not open.
        const QString failure = file.isOpen() ? wavformat::readFailure(file)
                                : notWavText == QLatin1String(notWavInput)
                                    ? openFailure(file)
                                    : QString();
        refusal = failure.isEmpty() ? notWavText : wavformat::couldNotRead(fileName, failure);
    }
    else if (!file.hasAnalysisFormat())
        refusal = QString::fromLatin1(wrongFormat);
    if (!refusal.isEmpty())
        file.close();
    return refusal;
}

QString templateWarning(const QString &markerPath)
{
    const QFileInfo marker(markerPath);
    const QString name = marker.fileName();
    const QString folder = resultfiles::displayName(marker.absolutePath());
    if (!marker.exists())
        return QStringLiteral("No template: \"%1\" not found in %2").arg(name, folder);
    QFile file(markerPath);
    if (!resultfiles::isRegular(markerPath) || !file.open(QIODevice::ReadOnly))
        return QStringLiteral("No template: \"%1\" in %2 cannot be read").arg(name, folder);
    if (file.size() < 8)
        return QStringLiteral("No template: \"%1\" in %2 is empty").arg(name, folder);
    return QString();
}

QString prepareResult(const QString &result, const QStringList &inputs)
{
    const QString refusal = resultfiles::refusal(result, inputs);
    if (refusal.isEmpty())
        resultfiles::removeLeftovers({result});
    return refusal;
}

} // namespace commands
