#pragma once

#include "batch/batchjob.h"

#include <QString>

#include <cstdio>

/// The batch program's side of the console: its standard streams, the
/// result lines it prints there and the progress line beside them.
namespace console {

/// A standard stream the program was started without is held by the null
/// device, so that no file the program opens takes its number and receives
/// its lines; a missing standard output counts as failed. Called first.
void holdStandardStreams();

/// Writes `line` to `stream` (stdout or stderr) at once. A console window on
/// Windows gets it as UTF-16, anything else in the local 8-bit encoding. A
/// line standard output does not take marks the output as failed.
void print(FILE *stream, const QString &line);

/// True once a line could not be written to standard output; `error` is
/// then the reason (an errno value).
bool outputFailed(int &error);

/// `field` with the characters that would break a tab-separated line
/// written as escapes: \t, \n, \r and \xNN for the other control codes.
QString escaped(const QString &field);

/// A name for a tab-separated line: escaped(), and a backslash as \\ (but
/// on Windows, whose names hold none), so that the line reads back to
/// exactly one name.
QString escapedName(const QString &name);

/// The tab-separated line of one recording, shown under `shownPath` (a
/// path already escaped): path, status, samples, peak block and change
/// ('-' unless analysed), seconds; with `matches` the number of matches
/// last ('-' unless counted).
QString resultLine(const BatchResult &result, const QString &shownPath, bool draw,
                   bool matches = false);

/// "N of M done" on standard error while the lines come out, only when
/// standard error is a terminal. It is cleared before each line, so that it
/// never mixes with the lines of a terminal showing both streams.
class Progress
{
public:
    explicit Progress(int total);
    ~Progress();
    Progress(const Progress &) = delete;
    Progress &operator=(const Progress &) = delete;

    /// Removes the progress line, leaving the cursor at the start of its row.
    void clear();
    /// Shows that `done` recordings are done; nothing once all are.
    void show(int done);

private:
    int total;
    bool enabled = false;
#ifdef Q_OS_WIN
    /// The console's mode before it was taught escape codes, to give back;
    /// cursorControl when it could not be taught them.
    unsigned long savedMode = 0;
    bool restoreMode = false;
    bool cursorControl = false;
#endif
};

} // namespace console
