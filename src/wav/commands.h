#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <functional>

class AnalysisListener;
class QFile;
class QFileDevice;
class QIODevice;
class QSaveFile;
class WavFile;

/// The work of the Open and Draw commands, shared by every front end.
/// Each step answers an empty string when it succeeded, or the one line the
/// user is shown. Results are written through save files, so an existing
/// result is replaced only when the whole step succeeded.
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
/// "Could not read <file>: <reason>".
QString openChecked(WavFile &file, const QString &fileName, const QString &notWavText);

/// Opens the template file `marker` for reading when it is a regular file.
/// Anything else is left closed, which is the empty template.
bool openTemplate(QFile &marker);

/// Refuses `result` as resultfiles::refusal() does and removes what earlier
/// interrupted writes of it left behind. Empty when it may be written.
QString prepareResult(const QString &result, const QStringList &inputs);

/// The processing pass from the open, checked `source` into `output`, open
/// for writing. Nothing is committed.
QString writeFiltered(WavFile &source, QIODevice &output, const std::function<void(int)> &progress);

/// The analysis run by `pass` of the processed recording `processed` (read
/// from byte 0; may be `pass` itself) with the template in `marker`, written
/// as a two-channel WAV file into `stereo`, open for writing and seekable.
/// Nothing is committed.
QString writeAnalysis(WavFile &pass, QIODevice &processed, QIODevice &stereo, QIODevice *marker,
                      AnalysisListener &listener);

/// Runs the processing pass from the open, checked `source` into `output`
/// (a save file that is not open yet) and commits it. `progress`, when set,
/// gets every percentage from 0 to 99 in order.
QString filterInto(WavFile &source, QSaveFile &output, const std::function<void(int)> &progress);

/// Runs the analysis of the open, checked processed file `source` with the
/// template in `marker` (may be closed: the empty template), writes the
/// two-channel result into `stereo` (a save file that is not open yet) and
/// commits it. The analysis runs and `listener` hears all of it even when
/// `stereo` cannot be opened or written; the write error is answered after.
/// When `stereo` cannot be opened, what it would hold goes to `fallback`
/// (open for writing) if given, as far as that file takes it, so that the
/// graph can still show the components.
QString analyseInto(WavFile &source, QSaveFile &stereo, QFile *marker, AnalysisListener &listener,
                    QFileDevice *fallback = nullptr);

/// Writes `bytes` to `path` through a save file and commits it.
QString saveBytes(const QString &path, const QByteArray &bytes);

} // namespace commands
