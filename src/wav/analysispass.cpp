// The analysis pass: reads the processed recording twice in pieces (once
// for each loop of the correlation), writes the component frames as they
// come, and passes the columns and the final series to a listener.

#include "wavfile.h"

#include "dsp/templateanalysis.h"

#include <QtEndian>

#include <algorithm>
#include <cstdint>
#include <cstring>

#ifdef __linux__
#include <sys/mman.h>
#endif

namespace {

constexpr qint64 kChunkWords = 1 << 16;
constexpr qint64 kLeadInBytes = 4 * dsp::analysis::kLeadInWords;

/// Asks for the reserved storage of `series` to be backed by huge pages
/// where the system offers them. A long recording's series take over
/// 100 MB, and touching them page by page costs more than the correlation
/// itself; with 2 MB pages the faults drop 512-fold. Only a hint.
void adviseHugePages(std::vector<std::int32_t> &series)
{
#ifdef __linux__
    constexpr std::uintptr_t kHuge = std::uintptr_t(2) << 20;
    const auto begin = reinterpret_cast<std::uintptr_t>(series.data());
    const std::uintptr_t end = begin + series.capacity() * sizeof(std::int32_t);
    const std::uintptr_t first = (begin + kHuge - 1) & ~(kHuge - 1);
    const std::uintptr_t last = end & ~(kHuge - 1);
    if (last > first)
        madvise(reinterpret_cast<void *>(first), last - first, MADV_HUGEPAGE);
#else
    Q_UNUSED(series)
#endif
}

/// Writes the frames of the first loop and keeps the three series.
class FrameWriter : public dsp::FrameSink
{
public:
    FrameWriter(QIODevice *frames, qint64 samples) : frames(frames)
    {
        for (std::vector<std::int32_t> *series : {&seriesX, &seriesAsym, &seriesSym}) {
            series->reserve(std::size_t(samples));
            adviseHugePages(*series);
        }
    }

    void framesReady(const std::int32_t *samples, const std::int32_t *words,
                     std::size_t count) override
    {
        buffer.resize(count * 2);
        for (std::size_t i = 0; i < count; ++i) {
            seriesX.push_back(samples[i]);
            seriesAsym.push_back(words[2 * i]);
            seriesSym.push_back(words[2 * i + 1]);
            buffer[2 * i] = qToLittleEndian(words[2 * i]);
            buffer[2 * i + 1] = qToLittleEndian(words[2 * i + 1]);
        }
        const qint64 bytes = qint64(count) * 8;
        if (writeOk && frames->write(reinterpret_cast<const char *>(buffer.data()), bytes) != bytes)
            writeOk = false;
    }

    QIODevice *frames;
    std::vector<std::int32_t> buffer;
    std::vector<std::int32_t> seriesX;
    std::vector<std::int32_t> seriesAsym;
    std::vector<std::int32_t> seriesSym;
    bool writeOk = true;
};

} // namespace

std::vector<double> WavFile::readMarker(QIODevice *marker)
{
    std::vector<double> values;
    if (!marker || !marker->isOpen())
        return values;
    const qint64 stored = marker->size() / 8;
    const qint64 wanted = std::min<qint64>(stored, dsp::analysis::kWindow);
    marker->seek(0);
    const QByteArray bytes = marker->read(wanted * 8);
    values.reserve(std::size_t(bytes.size() / 8));
    for (qint64 i = 0; i + 8 <= bytes.size(); i += 8) {
        const quint64 bits = qFromLittleEndian<quint64>(bytes.constData() + i);
        double value;
        std::memcpy(&value, &bits, sizeof value);
        values.push_back(value);
    }
    return values;
}

QByteArray WavFile::markerBytes(const std::vector<double> &values)
{
    QByteArray bytes(int(values.size() * 8), Qt::Uninitialized);
    for (std::size_t i = 0; i < values.size(); ++i) {
        quint64 bits;
        std::memcpy(&bits, &values[i], sizeof bits);
        qToLittleEndian(bits, bytes.data() + 8 * i);
    }
    return bytes;
}

bool WavFile::analyse(QIODevice *source, QIODevice *frames, QIODevice *marker,
                      AnalysisListener &listener)
{
    passError.clear();
    const std::vector<double> markerValues = readMarker(marker);
    const qint64 count = passBytes(source) / 4;

    FrameWriter writer(frames, std::max<qint64>(0, count - dsp::analysis::kLeadInWords));
    dsp::TemplateAnalysis analysis(markerValues, count, listener, writer);
    const qint64 samples = analysis.sampleCount();

    // Both loops read the same samples; reading them twice keeps memory flat.
    std::vector<std::int32_t> chunk(
        std::size_t(std::min(kChunkWords, std::max<qint64>(samples, 1))));
    for (int loop = 0; loop < 2; ++loop) {
        if (samples > 0)
            source->seek(kLeadInBytes);
        for (qint64 done = 0; done < samples;) {
            const qint64 want = std::min<qint64>(qint64(chunk.size()), samples - done);
            if (source->read(reinterpret_cast<char *>(chunk.data()), want * 4) != want * 4)
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
    listener.finished(std::move(writer.seriesX), std::move(writer.seriesAsym),
                      std::move(writer.seriesSym), analysis.peakBlock(), analysis.change());
    return writer.writeOk || failWrite(frames);
}
