#pragma once

#include "dsp/matches.h"
#include "wav/passes/wavfile.h"

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

class QFile;
class QFileDevice;
class QIODevice;

/// The Open and Draw commands, shared by every front end. Each step answers
/// an empty string when it succeeded, or the one line the user is shown.
/// Results go through the result writer (wav/results), so an existing result
/// is replaced only when the whole command succeeded.
namespace commands {

extern const char *const notWavInput;     ///< refusal of a recording
extern const char *const notWavProcessed; ///< refusal of a processed file
extern const char *const wrongFormat;     ///< refusal of another rate or size

/// The chosen path less its last four characters (code points), whatever
/// they are, but never less than its folder: "odd/sub/ab" gives "odd/sub/".
QString baseName(const QString &path);

/// Opens `fileName` in `file` and checks that it is a 16384 Hz, 32-bit WAV
/// file. On refusal the file is closed and `notWavText` or the wrong-format
/// text is answered. Anything but a regular file is refused unopened, so a
/// FIFO or a device never blocks. A recording (`notWavText` is
/// `notWavInput`) that cannot be opened is answered with the reason:
/// "Could not read <file>: <reason>". A read that fails while the header
/// is checked is answered the same way, for a processed file too.
QString openChecked(WavFile &file, const QString &fileName, const QString &notWavText);

/// Why `file` could not be opened, in the system's words.
QString openFailure(const QFile &file);

/// The warning a Draw gives when the template file `markerPath` holds no
/// value (missing, unreadable, not a regular file, or under eight bytes),
/// naming the folder it was looked for in; empty when it holds one or more.
/// The analysis then runs with the empty template, as it always has.
QString templateWarning(const QString &markerPath);

/// Refuses `result` as resultfiles::refusal() does and puts right what
/// earlier interrupted writes of it left behind. Empty when it may be written.
QString prepareResult(const QString &result, const QStringList &inputs);

// The Open command (opencommand.cpp).

/// The input level the last processing pass on this thread met.
struct InputLevel
{
    /// Words filtered, and those of them beyond the output's magnitude limit
    /// (written as 0, as always).
    std::int64_t filtered = 0;
    std::int64_t outOfRange = 0;
    /// Input sample words at or near full scale (99 % or more of it), and
    /// the largest input magnitude.
    std::int64_t nearFullScale = 0;
    std::int64_t peak = 0;
};

/// The cascade's largest gain, in its pass band (near 105 Hz).
constexpr double kPassBandGain = 1.2725;

/// What the last processing pass on the calling thread met (zeros before one).
InputLevel lastInputLevel();

/// The one-line warning when more than 0.1 % of the filtered words were out
/// of range: how many, and by about what factor to scale the recording
/// down. Empty otherwise.
QString levelWarning(const InputLevel &level);

/// The processing pass from the open, checked `source` into `output`, open
/// for writing. Nothing is committed.
QString writeFiltered(WavFile &source, QIODevice &output, const std::function<void(int)> &progress);

/// Runs the processing pass from the open, checked `source` into the result
/// `output` and commits it. `progress`, when set, gets every percentage from
/// 0 to 99 in order.
QString filterInto(WavFile &source, const QString &output, const std::function<void(int)> &progress);

/// The Open command: checks the recording `recording` and filters it into
/// the result `output`. `helperCore` is how the pass asks for a helper
/// thread (WavFile::setHelperCore); unset, it runs on this thread alone.
QString open(const QString &recording, const QString &output,
             const std::function<void(int)> &progress,
             const WavFile::HelperCore &helperCore = {});

// The Draw command (drawcommand.cpp).

/// The analysis run by `pass` of the processed recording `processed` (read
/// from byte 0; may be `pass` itself) with the template in `marker`, written
/// as a two-channel WAV file into `stereo`, open for writing and seekable.
/// Nothing is committed.
QString writeAnalysis(WavFile &pass, QIODevice &processed, QIODevice &stereo, QIODevice *marker,
                      AnalysisListener &listener);

/// A further result of the analysis, made from what the listener kept once
/// the analysis has ended (the match file), and committed together with the
/// stereo result.
struct AnalysisFile
{
    QString name;
    /// Its contents, given where the steps lie in the recording.
    std::function<QByteArray(const dsp::matches::Placement &)> contents;
};

/// Runs the analysis of the open, checked processed file `source` with the
/// template in `marker` (may be closed: the empty template), writes the
/// two-channel result `stereo` and commits it. The analysis runs and
/// `listener` hears all of it even when `stereo` cannot be written; the
/// write error is answered after. When `stereo` cannot be started, what it
/// would hold goes to `fallback` (open for writing) if given, as far as that
/// file takes it, so that the graph can still show the components. The
/// `extra` files are refused, written and committed with `stereo`: all of
/// them or none.
QString analyseInto(WavFile &source, const QString &stereo, QFile *marker,
                    AnalysisListener &listener, QFileDevice *fallback = nullptr,
                    const std::vector<AnalysisFile> &extra = {});

/// What a Draw leaves for the close-up.
struct DrawOutcome
{
    /// Empty on success, else the one line the user is shown.
    QString message;
    /// The end of the analysis, as the listener heard it.
    std::int64_t samples = 0;
    int block = -1;
    int change = 0;
    /// The processed file read and the file holding the frames: the stereo
    /// result, or `scratch` when only that holds them; empty for neither.
    QString processed;
    QString frames;
    /// The scratch copy of the frames, when the close-up reads them there.
    std::unique_ptr<QFileDevice> scratch;
    /// Where the steps lie in the recording (its header and channels).
    dsp::matches::Placement placement;
};

/// The Draw command: analyses `processed` (empty when no Open has made it)
/// with the template file `markerPath` into the result `stereo`. The
/// listener's started() comes once the input has been checked.
/// `helperCore` as for open(); `extra` as for analyseInto().
DrawOutcome draw(const QString &processed, const QString &stereo, const QString &markerPath,
                 AnalysisListener &listener, const WavFile::HelperCore &helperCore = {},
                 const std::vector<AnalysisFile> &extra = {});

} // namespace commands
