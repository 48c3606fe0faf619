// The processing pass: copies the lead-in, then streams every later word of
// the recording through the filter cascade in pieces, so that memory stays
// flat whatever the recording's length.

#include "wavfile.h"

#include "wav/passes/commands.h"

#include "dsp/constants.h"
#include "dsp/conversions.h"
#include "dsp/filtercascade.h"
#include "wav/format/header.h"
#include "wav/format/reading.h"

#include <QLoggingCategory>
#include <QTime>
#include <QtEndian>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <vector>

// The time of day at the start and end of each pass, for the log.
Q_LOGGING_CATEGORY(passClock, "quorvane.pass.clock")

namespace {

/// Words read, filtered and written in one piece.
constexpr qint64 kChunkWords = 1 << 17;
/// Shorter recordings are not worth a helper thread.
constexpr qint64 kHelperWords = 1 << 18;
/// Input magnitudes from here on count as at full scale (99 % of it).
constexpr qint32 kNearFullScale = 2126008811;

thread_local commands::InputLevel lastLevel;

} // namespace

commands::InputLevel commands::lastInputLevel()
{
    return lastLevel;
}

QString commands::levelWarning(const InputLevel &level)
{
    if (level.outOfRange * 1000 <= level.filtered)
        return QString();
    // The largest input the pass band carries within the limit.
    const double carried = dsp::filter::kClipMagnitude / dsp::filter::kGain / kPassBandGain;
    const double factor = std::max(2.0, std::ceil(double(level.peak) / carried));
    return QStringLiteral("Input level too high: %1 of %2 filtered words out of range "
                          "(written as 0), %3 input words at full scale; scale the recording "
                          "down by about %4")
        .arg(level.outOfRange)
        .arg(level.filtered)
        .arg(level.nearFullScale)
        .arg(factor, 0, 'f', 0);
}

bool WavFile::prepareFilter(QIODevice *in, QIODevice *out)
{
    passError.clear();
    in->seek(0);
    for (int i = 0; i < dsp::kLeadInWords; ++i) {
        // A word that does not arrive whole leaves the transfer word as it
        // was, so a short file repeats its last whole word.
        uchar bytes[4];
        const qint64 got = wavformat::read(*in, reinterpret_cast<char *>(bytes), 4);
        if (got < 0)
            return failRead(in);
        if (got == 4)
            sampleWord = qFromLittleEndian<qint32>(bytes);
        qToLittleEndian<qint32>(sampleWord, bytes);
        out->write(reinterpret_cast<const char *>(bytes), 4);
    }
    in->seek(wavformat::kLeadInBytes);
    return true;
}

int WavFile::progressPercent(std::int64_t n, std::int64_t count)
{
    if (count <= 0)
        return 0;
    const float f = static_cast<float>(count);
    const float p = static_cast<float>((n - dsp::kLeadInWords) * 100) / f;
    const std::int32_t percent = dsp::toInt32(p);
    return std::clamp(percent, 0, 99);
}

bool WavFile::filterSignal(QIODevice *in, QIODevice *out, const std::function<void(int)> &progress)
{
    qCDebug(passClock).noquote() << QTime::currentTime().toString();
    passError.clear();
    lastLevel = commands::InputLevel();
    commands::InputLevel level;

    const qint64 words = passBytes(in) / 4;
    const qint64 count = words - dsp::kLeadInWords;

    // A spare core filters half of each piece's blocks while this thread
    // waits; reading and writing stay on this thread, in order.
    const std::shared_ptr<void> core =
        count >= kHelperWords && helperCore ? helperCore() : nullptr;
    dsp::FilterCascade cascade;
    cascade.setHelperThread(core != nullptr);
    std::vector<qint32> input(kChunkWords);
    std::vector<qint32> output(kChunkWords);
    qint64 readWords = 0;
    qint64 writtenWords = 0;
    int shownPercent = -1;

    const auto writeReady = [&]() {
        while (const std::size_t ready = cascade.pull(output.data(), output.size())) {
            for (std::size_t i = 0; i < ready; ++i)
                output[i] = qToLittleEndian(output[i]);
            const qint64 bytes = qint64(ready) * 4;
            if (out->write(reinterpret_cast<const char *>(output.data()), bytes) != bytes)
                return failWrite(out, errno);
            writtenWords += qint64(ready);
            const qint64 n = dsp::kLeadInWords + writtenWords - 1;
            const int percent = progressPercent(n, count);
            while (shownPercent < percent) {
                ++shownPercent;
                if (progress)
                    progress(shownPercent);
            }
        }
        return true;
    };

    while (readWords < count) {
        const qint64 want = std::min(kChunkWords, count - readWords);
        const qint64 got = wavformat::read(*in, reinterpret_cast<char *>(input.data()), want * 4);
        if (got != want * 4)
            return failRead(in);
        for (qint64 i = 0; i < want; ++i)
            input[std::size_t(i)] = qFromLittleEndian(input[std::size_t(i)]);
        const dsp::filter::WordLevel words =
            dsp::filter::wordLevel(input.data(), std::size_t(want), kNearFullScale);
        level.peak = std::max(level.peak, words.peak);
        level.nearFullScale += words.atLeast;
        cascade.push(input.data(), std::size_t(want));
        readWords += want;
        if (!writeReady())
            return false;
    }
    cascade.finish();
    if (!writeReady())
        return false;
    level.filtered = writtenWords;
    level.outOfRange = cascade.wordsOutOfRange();
    lastLevel = level;

    qCDebug(passClock).noquote() << QTime::currentTime().toString();
    return true;
}
