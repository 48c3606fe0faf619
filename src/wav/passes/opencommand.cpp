// The Open command: the processing pass of a checked recording into its
// <name>_output.wav.

#include "commands.h"

#include "wav/passes/wavfile.h"
#include "wav/results/resultfile.h"
#include "wav/results/resultfiles.h"

namespace commands {

QString writeFiltered(WavFile &source, QIODevice &output, const std::function<void(int)> &progress)
{
    if (!source.prepareFilter(&source, &output))
        return source.lastError();
    resultfiles::reserveSpace(output, source.size()); // the output has the input's length
    if (!source.filterSignal(&source, &output, progress))
        return source.lastError();
    return QString();
}

QString filterInto(WavFile &source, const QString &output, const std::function<void(int)> &progress)
{
    const QString refusal = prepareResult(output, {source.fileName()});
    if (!refusal.isEmpty())
        return refusal;
    resultfiles::ResultFile result(output);
    if (!result.start())
        return result.errorText();
    const QString error = writeFiltered(source, result, progress);
    return error.isEmpty() ? resultfiles::commitAll({&result}) : error;
}

QString open(const QString &recording, const QString &output,
             const std::function<void(int)> &progress, const WavFile::HelperCore &helperCore)
{
    WavFile source;
    source.setHelperCore(helperCore);
    const QString refusal = openChecked(source, recording, QString::fromLatin1(notWavInput));
    return refusal.isEmpty() ? filterInto(source, output, progress) : refusal;
}

} // namespace commands
