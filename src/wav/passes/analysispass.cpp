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
#include <cstring>
#include <vector>

namespace {

constexpr qint64 kChunkWords = 1 << 16;

/// Writes the frames of the first loop, gathered into pieces that end on
/// whole megabytes of the file: the system takes a few large writes into
/// its cache several times faster than one for each block.
class FrameWriter : public dsp::FrameSink
{
public:
    explicit FrameWriter(QIODevice *frames) : frames(frames), written(frames->pos())
    {
        pending.reserve(2 * kPieceBytes);
    }

    void framesReady(const std::int32_t *, const std::int32_t *words, std::size_t count) override
    {
        // The file's byte order is the machine's on little-endian ones.
        const std::size_t at = pending.size();
        pending.resize(at + count * 8);
        if constexpr (Q_BYTE_ORDER == Q_LITTLE_ENDIAN) {
            std::memcpy(pending.data() + at, words, count * 8);
        } else {
            for (std::size_t i = 0; i < 2 * count; ++i)
                qToLittleEndian(words[i], pending.data() + at + 4 * i);
        }
        const qint64 toBoundary = kPieceBytes - written % kPieceBytes;
        if (qint64(pending.size()) >= toBoundary) {
            put(toBoundary);
            pending.erase(pending.begin(), pending.begin() + toBoundary);
        }
    }

    /// Writes the frames still gathered; false when any write failed.
    bool finish()
    {
        put(qint64(pending.size()));
        pending.clear();
        return writeOk;
    }

    int writeErrno = 0;

private:
    static constexpr qint64 kPieceBytes = 1 << 20;

    void put(qint64 bytes)
    {
        if (writeOk && bytes > 0 && frames->write(pending.data(), bytes) != bytes) {
            writeOk = false;
            writeErrno = errno;
        }
        written += bytes;
    }

    QIODevice *frames;
    qint64 written;
    std::vector<char> pending;
    bool writeOk = true;
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
    // whole analysis, once the frames are all in the file.
    const bool written = writer.finish();
    listener.finished(samples, analysis.peakBlock(), analysis.change());
    return written || failWrite(frames, writer.writeErrno);
}
