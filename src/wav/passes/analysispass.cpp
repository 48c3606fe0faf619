// The analysis pass: reads the processed recording in pieces, writes the
// component frames as they come, and passes the columns to a listener.

#include "wavfile.h"

#include "dsp/templateanalysis.h"
#include "wav/format/header.h"
#include "wav/format/marker.h"
#include "wav/format/reading.h"
#include "wav/passes/piecewriter.h"

#include <QtEndian>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <vector>

namespace {

constexpr qint64 kChunkWords = 1 << 16;

/// Writes the frames of the first loop as they come.
class FrameWriter : public dsp::FrameSink
{
public:
    explicit FrameWriter(QIODevice *frames) : pieces(frames) {}

    void framesReady(const std::int32_t *, const std::int32_t *words, std::size_t count) override
    {
        char *to = pieces.append(count * 8);
        // The file's byte order is the machine's on little-endian ones.
        if constexpr (Q_BYTE_ORDER == Q_LITTLE_ENDIAN) {
            std::memcpy(to, words, count * 8);
        } else {
            for (std::size_t i = 0; i < 2 * count; ++i)
                qToLittleEndian(words[i], to + 4 * i);
        }
    }

    PieceWriter pieces;
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
    // helper thread as well when a core is spare, and then write their
    // frames in the background too.
    const bool together = samples >= kTogetherSamples;
    const std::shared_ptr<void> core = together && helperCore ? helperCore() : nullptr;
    writer.pieces.writeInBackground(core != nullptr);
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
    const bool written = writer.pieces.finish();
    listener.finished(samples, analysis.peakBlock(), analysis.change());
    return written || failWrite(frames, writer.pieces.writeErrno());
}
