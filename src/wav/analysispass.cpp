// The analysis pass: reads the processed recording in pieces, writes the
// component frames as they come, and passes the columns to a listener. With
// a spare core the second loop of the correlation runs on a helper thread
// beside the first and the file is read once; otherwise it is read twice,
// once for each loop.

#include "wavfile.h"

#include "dsp/corebudget.h"
#include "dsp/templateanalysis.h"

#include <QtEndian>

#include <algorithm>
#include <array>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <deque>
#include <exception>
#include <memory>
#include <mutex>
#include <thread>
#include <utility>

namespace {

constexpr qint64 kChunkWords = 1 << 16;
constexpr qint64 kLeadInBytes = 4 * dsp::analysis::kLeadInWords;

/// Writes the frames of the first loop.
class FrameWriter : public dsp::FrameSink
{
public:
    explicit FrameWriter(QIODevice *frames) : frames(frames) {}

    void framesReady(const std::int32_t *, const std::int32_t *words, std::size_t count) override
    {
        buffer.resize(count * 2);
        for (std::size_t i = 0; i < count; ++i) {
            buffer[2 * i] = qToLittleEndian(words[2 * i]);
            buffer[2 * i + 1] = qToLittleEndian(words[2 * i + 1]);
        }
        const qint64 bytes = qint64(count) * 8;
        if (writeOk && frames->write(reinterpret_cast<const char *>(buffer.data()), bytes) != bytes)
            writeOk = false;
    }

    QIODevice *frames;
    std::vector<std::int32_t> buffer;
    bool writeOk = true;
};

/// Shorter recordings are not worth a helper thread.
constexpr qint64 kHelperSamples = 1 << 18;
/// Pieces the helper may lag behind the first loop.
constexpr std::size_t kQueuedPieces = 4;

/// The second loop of the correlation on a helper thread, on an analysis
/// object of its own. It touches no Qt object: words come in through a
/// short queue, and its columns wait here until the first loop's columns
/// have all been shown.
class SecondLoop : public dsp::AnalysisObserver, public dsp::FrameSink
{
public:
    SecondLoop(const std::vector<double> &marker, qint64 count)
        : analysis(marker, count, *this, *this)
    {
        analysis.runSecondLoopOnly();
        helper = std::thread([this] { run(); });
    }
    ~SecondLoop() { stop(true); }

    /// Hands the next words on; waits while the helper is behind.
    void push(const std::int32_t *words, std::size_t count)
    {
        std::unique_lock<std::mutex> lock(mutex);
        room.wait(lock, [this] { return queue.size() < kQueuedPieces || cancelled; });
        if (!cancelled) {
            queue.emplace_back(words, words + count);
            ready.notify_one();
        }
    }

    /// Ends the words (or cancels the loop) and waits for the helper. When
    /// the helper failed, throws what it threw.
    void stop(bool cancel)
    {
        {
            std::lock_guard<std::mutex> lock(mutex);
            ended = true;
            cancelled = cancelled || cancel;
        }
        ready.notify_one();
        if (helper.joinable())
            helper.join();
        if (failure && !cancel)
            std::rethrow_exception(std::exchange(failure, nullptr));
    }

    void framesReady(const std::int32_t *, const std::int32_t *, std::size_t) override {}
    void detectorColumn(int, std::int32_t) override {}
    void cumulativeColumn(int column, std::int32_t maximum, std::int32_t minimum) override
    {
        columns.push_back({column, maximum, minimum});
    }

    dsp::TemplateAnalysis analysis;
    /// The columns in the order they were made; column 0 comes last.
    std::vector<std::array<int, 3>> columns;

private:
    void run()
    {
        try {
            for (;;) {
                std::vector<std::int32_t> words;
                {
                    std::unique_lock<std::mutex> lock(mutex);
                    ready.wait(lock, [this] { return !queue.empty() || ended; });
                    if (cancelled)
                        return;
                    if (queue.empty())
                        break;
                    words = std::move(queue.front());
                    queue.pop_front();
                }
                room.notify_one();
                analysis.pushSecond(words.data(), words.size());
            }
            analysis.finishSecond();
        } catch (...) {
            std::lock_guard<std::mutex> lock(mutex);
            failure = std::current_exception();
            cancelled = true;
            room.notify_all();
        }
    }

    std::thread helper;
    std::mutex mutex;
    std::condition_variable ready;
    std::condition_variable room;
    std::deque<std::vector<std::int32_t>> queue;
    bool ended = false;
    bool cancelled = false;
    std::exception_ptr failure;
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

    FrameWriter writer(frames);
    dsp::TemplateAnalysis analysis(markerValues, count, listener, writer);
    const qint64 samples = analysis.sampleCount();

    const dsp::CoreClaim self = dsp::CoreClaim::forThisThread();
    const dsp::CoreClaim core =
        samples >= kHelperSamples ? dsp::CoreClaim::spare() : dsp::CoreClaim::none();
    std::unique_ptr<SecondLoop> second;
    if (core)
        second = std::make_unique<SecondLoop>(markerValues, count);

    // Both loops read the same samples; without a helper they are read
    // twice, which keeps memory flat.
    std::vector<std::int32_t> chunk(
        std::size_t(std::min(kChunkWords, std::max<qint64>(samples, 1))));
    for (int loop = 0; loop < (second ? 1 : 2); ++loop) {
        if (samples > 0)
            source->seek(kLeadInBytes);
        for (qint64 done = 0; done < samples;) {
            const qint64 want = std::min<qint64>(qint64(chunk.size()), samples - done);
            if (source->read(reinterpret_cast<char *>(chunk.data()), want * 4) != want * 4)
                return failRead(source);
            for (qint64 i = 0; i < want; ++i)
                chunk[std::size_t(i)] = qFromLittleEndian(chunk[std::size_t(i)]);
            if (loop == 0) {
                analysis.pushFirst(chunk.data(), std::size_t(want));
                if (second)
                    second->push(chunk.data(), std::size_t(want));
            } else {
                analysis.pushSecond(chunk.data(), std::size_t(want));
            }
            done += want;
        }
        if (loop == 0)
            analysis.finishFirst();
        else
            analysis.finishSecond();
    }

    int change = analysis.change();
    if (second) {
        second->stop(false);
        second->analysis.completeFirstColumn(analysis.blockValuesLeft());
        std::vector<std::array<int, 3>> &columns = second->columns;
        if (!columns.empty() && columns.back()[0] == 0)
            std::rotate(columns.begin(), columns.end() - 1, columns.end());
        for (const std::array<int, 3> &column : columns)
            listener.cumulativeColumn(column[0], column[1], column[2]);
        change = second->analysis.change();
    }
    // A failed write stops the frames only: the listener still gets the
    // whole analysis.
    listener.finished(samples, analysis.peakBlock(), change);
    return writer.writeOk || failWrite(frames);
}
