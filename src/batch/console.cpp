#include "batch/console.h"

#include <cerrno>

#ifdef Q_OS_WIN
#include <io.h>
#include <windows.h>
#else
#include <fcntl.h>
#include <unistd.h>
#endif

#ifndef ENABLE_VIRTUAL_TERMINAL_PROCESSING
#define ENABLE_VIRTUAL_TERMINAL_PROCESSING 0x0004
#endif

namespace console {

namespace {

/// Set once a line could not be written to standard output, with the reason.
bool failed = false;
int failedErrno = 0;

void markFailed(FILE *stream, int error)
{
    if (stream == stdout && !failed) {
        failed = true;
        failedErrno = error;
    }
}

bool stderrIsTerminal()
{
#ifdef Q_OS_WIN
    return _isatty(_fileno(stderr));
#else
    return isatty(STDERR_FILENO);
#endif
}

#ifdef Q_OS_WIN
/// The console window behind `stream`, or null when it goes elsewhere.
HANDLE consoleOf(FILE *stream, DWORD &mode)
{
    const HANDLE handle = GetStdHandle(stream == stderr ? STD_ERROR_HANDLE : STD_OUTPUT_HANDLE);
    if (handle == INVALID_HANDLE_VALUE || !GetConsoleMode(handle, &mode))
        return nullptr;
    return handle;
}

/// Blanks the cursor's row of a console that shows escape codes raw and
/// puts the cursor at its start.
void clearConsoleRow(HANDLE console)
{
    CONSOLE_SCREEN_BUFFER_INFO info;
    if (!GetConsoleScreenBufferInfo(console, &info))
        return;
    const COORD start{0, info.dwCursorPosition.Y};
    DWORD blanked = 0;
    FillConsoleOutputCharacterW(console, L' ', DWORD(info.dwSize.X), start, &blanked);
    SetConsoleCursorPosition(console, start);
}

/// `line` in the ANSI code page, for a file or a pipe. With the manifest's
/// UTF-8 code page that is UTF-8 and keeps every name. Where Windows ignores
/// that entry, a character the code page lacks is written as <U+XXXX>, never
/// as a look-alike that names another file ('<' and '>' are in no name).
QByteArray ansiBytes(const QString &line)
{
    if (GetACP() == CP_UTF8)
        return line.toUtf8();
    QByteArray bytes;
    for (int i = 0; i < line.size();) {
        const bool pair = line[i].isHighSurrogate() && i + 1 < line.size();
        const int units = pair ? 2 : 1;
        const auto *wide = reinterpret_cast<const wchar_t *>(line.utf16() + i);
        char out[8];
        BOOL lossy = FALSE;
        const int n = WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, wide, units, out,
                                          int(sizeof out), nullptr, &lossy);
        if (n > 0 && !lossy)
            bytes.append(out, n);
        else
            bytes += QStringLiteral("<U+%1>")
                         .arg(pair ? QChar::surrogateToUcs4(line[i], line[i + 1])
                                   : uint(line[i].unicode()),
                              4, 16, QChar('0'))
                         .toUpper()
                         .toLatin1();
        i += units;
    }
    return bytes;
}
#endif

} // namespace

void holdStandardStreams()
{
#ifdef Q_OS_UNIX
    for (int fd = 0; fd <= 2; ++fd) {
        if (fcntl(fd, F_GETFD) != -1 || errno != EBADF)
            continue;
        const int held = ::open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY);
        if (held != fd && held >= 0) {
            ::dup2(held, fd);
            ::close(held);
        }
        if (fd == STDOUT_FILENO)
            markFailed(stdout, EBADF);
    }
#endif
}

void print(FILE *stream, const QString &line)
{
#ifdef Q_OS_WIN
    // A console window shows what it is given as UTF-16. Bytes would pass
    // through the ANSI code page, which lacks most of the world's letters,
    // and the console would read them in its own, the OEM code page.
    DWORD mode = 0;
    if (const HANDLE console = consoleOf(stream, mode)) {
        std::fflush(stream);
        const auto units = DWORD(line.size());
        DWORD shown = 0;
        if (!WriteConsoleW(console, reinterpret_cast<const wchar_t *>(line.utf16()), units, &shown,
                           nullptr)
            || shown != units)
            markFailed(stream, EIO);
        return;
    }
#endif
#ifdef Q_OS_WIN
    const QByteArray bytes = ansiBytes(line);
#else
    const QByteArray bytes = line.toLocal8Bit();
#endif
    const bool written = std::fputs(bytes.constData(), stream) >= 0 && std::fflush(stream) == 0;
    if (!written)
        markFailed(stream, errno);
}

bool outputFailed(int &error)
{
    error = failedErrno;
    return failed;
}

QString escaped(const QString &field)
{
    QString out;
    out.reserve(field.size());
    for (const QChar c : field) {
        if (c == '\t')
            out += QStringLiteral("\\t");
        else if (c == '\n')
            out += QStringLiteral("\\n");
        else if (c == '\r')
            out += QStringLiteral("\\r");
        else if (c.unicode() < 0x20 || c.unicode() == 0x7f)
            out += QStringLiteral("\\x%1").arg(c.unicode(), 2, 16, QChar('0'));
        else
            out += c;
    }
    return out;
}

QString escapedName(const QString &name)
{
#ifdef Q_OS_WIN
    // Windows names hold neither control characters nor backslashes (they
    // separate folders): its paths are shown as they are.
    return escaped(name);
#else
    QString doubled = name;
    doubled.replace(QLatin1Char('\\'), QStringLiteral("\\\\"));
    return escaped(doubled);
#endif
}

QString resultLine(const BatchResult &result, const QString &shownPath, bool draw,
                   bool matches)
{
    const QString status = result.skipped           ? QStringLiteral("skipped")
                           : result.error.isEmpty() ? QStringLiteral("ok")
                                                    : result.error;
    const bool analysed = draw && result.error.isEmpty() && result.samples >= 0;
    return QStringLiteral("%1\t%2\t%3\t%4\t%5\t%6")
        .arg(shownPath, escaped(status),
             analysed ? QString::number(result.samples) : QStringLiteral("-"),
             analysed ? QString::number(result.peakBlock) : QStringLiteral("-"),
             analysed ? QString::number(result.change) : QStringLiteral("-"),
             QString::number(result.seconds, 'f', 3))
           + (!matches ? QString()
              : analysed && result.matchCount >= 0
                  ? QStringLiteral("\t%1").arg(result.matchCount)
                  : QStringLiteral("\t-"));
}

Progress::Progress(int total) : total(total), enabled(stderrIsTerminal())
{
#ifdef Q_OS_WIN
    // A classic console prints escape codes as they are; where it cannot be
    // taught them, the line is cleared through the console's own calls.
    DWORD mode = 0;
    if (!enabled || !consoleOf(stderr, mode) || (mode & ENABLE_VIRTUAL_TERMINAL_PROCESSING))
        return;
    const HANDLE console = GetStdHandle(STD_ERROR_HANDLE);
    if (SetConsoleMode(console, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING)) {
        savedMode = mode;
        restoreMode = true;
    } else {
        cursorControl = true;
    }
#endif
}

Progress::~Progress()
{
#ifdef Q_OS_WIN
    if (restoreMode)
        SetConsoleMode(GetStdHandle(STD_ERROR_HANDLE), DWORD(savedMode));
#endif
}

void Progress::clear()
{
    if (!enabled)
        return;
#ifdef Q_OS_WIN
    DWORD mode = 0;
    if (cursorControl) {
        if (const HANDLE console = consoleOf(stderr, mode)) {
            std::fflush(stderr);
            clearConsoleRow(console);
        }
        return;
    }
#endif
    print(stderr, QStringLiteral("\r\033[K"));
}

void Progress::show(int done)
{
    if (enabled && done < total)
        print(stderr, QStringLiteral("%1 of %2 done").arg(done).arg(total));
}

} // namespace console
