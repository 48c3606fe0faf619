#pragma once

#include <QByteArray>
#include <QString>

#include <functional>

class AnalysisListener;
class QFile;
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

/// The chosen path less its last four characters, whatever they are.
QString baseName(const QString &path);

/// Opens `fileName` in `file` and checks that it is a 16384 Hz, 32-bit WAV
/// file. On refusal the file is closed and `notWavText` or the wrong-format
/// text is answered.
QString openChecked(WavFile &file, const QString &fileName, const QString &notWavText);

/// Runs the processing pass from the open, checked `source` into `output`
/// (a save file that is not open yet) and commits it. `progress`, when set,
/// gets every percentage from 0 to 99 in order.
QString filterInto(WavFile &source, QSaveFile &output, const std::function<void(int)> &progress);

/// Runs the analysis of the open, checked processed file `source` with the
/// template in `marker` (may be closed: the empty template), writes the
/// two-channel result into `stereo` (a save file that is not open yet) and
/// commits it.
QString analyseInto(WavFile &source, QSaveFile &stereo, QFile *marker, AnalysisListener &listener);

/// Writes `bytes` to `path` through a save file and commits it.
QString saveBytes(const QString &path, const QByteArray &bytes);

} // namespace commands
