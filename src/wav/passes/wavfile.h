#pragma once

#include "dsp/templateanalysis.h"

#include <QAudioFormat>
#include <QFile>
#include <QString>

#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

/// Receives what the analysis pass shows: the graph widget in the
/// application, a collector in other callers. The block values come from
/// the analysis as each block ends (dsp::AnalysisObserver); the rest at the
/// end.
class AnalysisListener : public dsp::AnalysisObserver
{
public:
    /// The input has been checked and the analysis is about to begin.
    virtual void started() {}
    /// The end of the pass: the samples analysed (one frame each), the peak
    /// block (-1 when none) and the change of the cumulative sum. The display
    /// series are not collected; they can be read back from the result files.
    virtual void finished(std::int64_t samples, int block, int change) = 0;
};

/// One WAV file on disk. Opened for reading, its RIFF/WAVE header is parsed
/// at once and the file is left at the first sample byte; opened for writing,
/// it is created or emptied. Both passes run as members of the WavFile that
/// holds their input.
///
/// All sizes and positions are 64-bit. Failures are answered with false; the
/// text for the user is in lastError().
class WavFile : public QFile
{
public:
    explicit WavFile(QObject *parent = nullptr);
    ~WavFile() override;

    /// Closes the file if open, then opens `fileName` read-only and parses
    /// its header. False when the file cannot be opened, is no regular file
    /// (left unopened: a FIFO would block) or is no WAV file.
    bool openRead(const QString &fileName);
    /// Closes the file if open, then creates or empties `fileName` for
    /// reading and writing. Writes nothing.
    bool openWrite(const QString &fileName);

    /// The format read from the header (channels, rate, sample size and
    /// type, byte order, codec "audio/pcm").
    const QAudioFormat &audioFormat() const { return format; }
    /// Byte offset of the first sample, as found by the header parse.
    qint64 headerSize() const { return headerBytes; }
    /// The data chunk's size as the header states it (64-bit in RF64).
    qint64 dataSize() const { return dataBytes; }
    /// True for the one format both passes accept (wavformat::isAnalysisFormat).
    bool hasAnalysisFormat() const;

    /// What went wrong in the last pass, as one line naming the file.
    QString lastError() const { return passError; }

    /// Asked by a pass that could use a helper thread: a core for it, held
    /// for the pass until the answer is dropped, or null for none. Unset, the
    /// passes run on the calling thread alone; the results are the same.
    using HelperCore = std::function<std::shared_ptr<void>()>;
    void setHelperCore(HelperCore ask) { helperCore = std::move(ask); }

    // The processing pass.

    /// Copies the 48-word lead-in from `in` (this file, open for reading) to
    /// `out`, word by word; a word missing from a short file repeats the last
    /// word read. Leaves `in` at byte 192. False when a read failed (not
    /// merely met the end), with lastError() set.
    bool prepareFilter(QIODevice *in, QIODevice *out);
    /// Filters every whole word of `in` from byte 192 on and writes it to
    /// `out`, reporting the percentage done (0 to 99, each value once, in
    /// order) through `progress` when it is set. False on a read or write
    /// failure. Logs the time of day at its start and end as debug lines of
    /// the category "quorvane.pass.clock".
    bool filterSignal(QIODevice *in, QIODevice *out, const std::function<void(int)> &progress);

    /// Progress of the processing pass at word index n of a file with
    /// `count` sample words (count > 0, 48 <= n < 48 + count): (n - 48) *
    /// 100, formed in 64 bits, divided in single precision by float(count)
    /// and truncated toward zero. The result is held within 0..99 (single
    /// precision would give 100 for the last words of a long file); 0 when
    /// count is not positive.
    static int progressPercent(std::int64_t n, std::int64_t count);

    // The analysis pass.

    /// Correlates the processed recording `source` (this file) with the
    /// template in `marker` (may be closed or missing: the empty template),
    /// writes one frame of two words per step to `frames`, and tells
    /// `listener` the columns and the final series. False on a read or
    /// write failure; after a write failure the analysis still runs to the
    /// end and the listener hears all of it.
    bool analyse(QIODevice *source, QIODevice *frames, QIODevice *marker,
                 AnalysisListener &listener);

    /// The name messages give `file`: a result being written is shown by its
    /// result name, not by its temporary one.
    static QString shownName(const QFileDevice *file);

private:
    /// Bytes of `device` a pass takes. For this file that is its size when
    /// its header was checked, so that a file that shrinks afterwards reads
    /// short and fails instead of giving fewer samples unnoticed.
    qint64 passBytes(const QIODevice *device) const;
    /// Records a failed read of `device` as the pass error, with the
    /// system's reason when the read failed (else that it ended early or
    /// became unreadable); answers false.
    bool failRead(const QIODevice *device);
    /// Records a failed write of `device`, which left `writeErrno`, as the
    /// pass error; answers false.
    bool failWrite(QIODevice *device, int writeErrno);

    /// Transfer word of the lead-in copy.
    std::int32_t sampleWord = 0;
    QAudioFormat format;
    qint64 headerBytes = 0;
    qint64 dataBytes = 0;
    /// Size of the file when openRead() checked it; -1 otherwise.
    qint64 checkedBytes = -1;
    QString passError;
    HelperCore helperCore;
};
