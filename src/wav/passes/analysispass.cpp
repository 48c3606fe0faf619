// The analysis pass: reads the processed recording in pieces, writes the
// component frames as they come, and passes the columns to a listener.

#include "wavfile.h"

#include "dsp/templateanalysis.h"
#include "wav/format/header.h"
#include "wav/format/marker.h"
#include "wav/format/reading.h"

#include <QtEndian>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <vector>

namespace {

constexpr qint64 kChunkWords = 1 << 16;

/// Writes the frames of the first loop.
class FrameWriter : public dsp::FrameSink
{
public:
    explicit FrameWriter(QIODevice *frames) : frames(frames) {}

    void framesReady(const std::int32_t *, const std::int32_t *words, std::size_t count) override
    {
        // The file's byte order is the machine's on little-endian ones.
        const std::int32_t *stored = words;
        if constexpr (Q_BYTE_ORDER != Q_LITTLE_ENDIAN) {
            buffer.resize(count * 2);
            for (std::size_t i = 0; i < 2 * count; ++i)
                buffer[i] = qToLittleEndian(words[i]);
            stored = buffer.data();
        }
        const qint64 bytes = qint64(count) * 8;
        if (writeOk && frames->write(reinterpret_cast<const char *>(stored), bytes) != bytes) {
            writeOk = false;
            writeErrno = errno;
        }
    }

    QIODevice *frames;
    std::vector<std::int32_t> buffer;
    bool writeOk = true;
    int writeErrno = 0;
};

/// From this many samples on, both loops run in one reading of the file.
/// Shorter recordings are not worth a helper thread, and their cumulative
/// sum is drawn as the second loop runs.
constexpr qint64 kTogetherSamples = 1 << 18;

} // namespace

bool WavFile::analyse(QIODevice *source, QIODevice *frames, QIODevice *marker,
                      AnalysisListener &listener)
{
    passError.clear();
    const std::vector<double> markerValues = markerfile::read(marker);
    if (marker && !wavformat::readFailure(*marker).isEmpty())
        return failRead(marker);
    const qint64 count = passBytes(source) / 4;

    FrameWriter writer(frames);
    dsp::TemplateAnalysis analysis(markerValues, count, listener, writer);
    const qint64 samples = analysis.sampleCount();

    // Longer recordings run both loops in one reading of the file, on a
    // helper thread as well when a core is spare.
    const bool together = samples >= kTogetherSamples;
    const std::shared_ptr<void> core = together && helperCore ? helperCore() : nullptr;
    if (together)
        analysis.runLoopsTogether(core != nullptr);

    // Otherwise each loop reads the samples in turn.
    std::vector<std::int32_t> chunk(
        std::size_t(std::min(kChunkWords, std::max<qint64>(samples, 1))));
    for (int loop = 0; loop < (together ? 1 : 2); ++loop) {
        if (samples > 0)
            source->seek(wavformat::kLeadInBytes);
        for (qint64 done = 0; done < samples;) {
            const qint64 want = std::min<qint64>(qint64(chunk.size()), samples - done);
            if (wavformat::read(*source, reinterpret_cast<char *>(chunk.data()), want * 4)
                != want * 4)
                return failRead(source);
            for (qint64 i = 0; i < want; ++i)
                chunk[std::size_t(i)] = qFromLittleEndian(chunk[std::size_t(i)]);
            if (loop == 0)
                analysis.pushFirst(chunk.data(), std::size_t(want));
            else
                analysis.pushSecond(chunk.data(), std::size_t(want));
            done += want;
        }
        if (loop == 0)
            analysis.finishFirst();
        else
            analysis.finishSecond();
    }

    // A failed write stops the frames only: the listener still gets the
    // whole analysis.
    listener.finished(samples, analysis.peakBlock(), analysis.change());
    return writer.writeOk || failWrite(frames, writer.writeErrno);
}
