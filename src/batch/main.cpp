// quorvane-batch: the application's two passes for many recordings at once,
// from the command line.

#include "batch/batchjob.h"
#include "batch/corebudget.h"
#include "batch/demorecording.h"
#include "batch/desktopfont.h"
#include "batch/recordinglist.h"
#include "dsp/templateanalysis.h"
#include "graph/graphpainter.h"
#include "graph/rows.h"
#include "graph/seriessource.h"
#include "graph/widget.h"
#include "wav/commands.h"
#include "wav/resultfiles.h"
#include "wav/wavfile.h"

#include <QApplication>
#include <QBuffer>
#include <QCommandLineParser>
#include <QDir>
#include <QFileInfo>
#include <QHash>
#include <QLoggingCategory>
#include <QSet>
#include <QThread>

#include <atomic>
#include <condition_variable>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <thread>

#ifdef Q_OS_WIN
#include <io.h>
#include <windows.h>
#include <shellapi.h>
#else
#include <fcntl.h>
#include <pthread.h>
#include <unistd.h>
#endif

namespace {

constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;

bool stderrIsTerminal()
{
#ifdef Q_OS_WIN
    return _isatty(_fileno(stderr));
#else
    return isatty(STDERR_FILENO);
#endif
}

/// The results whose temporary files an interrupt removes.
std::mutex cleanupMutex;
QStringList cleanupNames;

void setCleanupNames(const QStringList &names)
{
    std::lock_guard<std::mutex> lock(cleanupMutex);
    cleanupNames = names;
}

void removeCurrentLeftovers()
{
    std::lock_guard<std::mutex> lock(cleanupMutex);
    resultfiles::removeLeftovers(cleanupNames);
}

#ifdef Q_OS_UNIX
/// SIGINT and SIGTERM are taken by one thread, which removes the temporary
/// files of the results being written and then ends the program by the same
/// signal. Called before any other thread exists, so that all inherit the
/// mask.
void handleInterrupts()
{
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
    std::thread([set]() {
        int signalNumber = 0;
        if (sigwait(&set, &signalNumber) != 0)
            return;
        removeCurrentLeftovers();
        std::signal(signalNumber, SIG_DFL);
        pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
        std::raise(signalNumber);
    }).detach();
    // A closed pipe is a write error to report, not a silent end.
    std::signal(SIGPIPE, SIG_IGN);
}
#else
BOOL WINAPI consoleInterrupt(DWORD)
{
    removeCurrentLeftovers();
    return FALSE; // the default handler ends the program
}

void handleInterrupts()
{
    SetConsoleCtrlHandler(consoleInterrupt, TRUE);
}
#endif

/// The command line as the user gave it, decoded as file names are. Names
/// that do not survive decoding are put into `undecodable` with the bytes as
/// given, shown with escapes.
QStringList commandLine(int argc, char *argv[], QHash<QString, QString> &undecodable)
{
    QStringList arguments;
#ifdef Q_OS_WIN
    // Windows hands over UTF-16: every name decodes.
    Q_UNUSED(argc);
    Q_UNUSED(argv);
    Q_UNUSED(undecodable);
    int count = 0;
    if (LPWSTR *wide = CommandLineToArgvW(GetCommandLineW(), &count)) {
        for (int i = 0; i < count; ++i)
            arguments << QString::fromWCharArray(wide[i]);
        LocalFree(wide);
    }
#else
    for (int i = 0; i < argc; ++i) {
        const QByteArray raw(argv[i]);
        const QString name = QFile::decodeName(raw);
        if (QFile::encodeName(name) != raw) {
            QString shown;
            for (const char byte : raw) {
                const uchar b = uchar(byte);
                shown += b >= 0x20 && b < 0x7f ? QString(QChar(b))
                                               : QStringLiteral("\\x%1").arg(b, 2, 16, QChar('0'));
            }
            undecodable.insert(name, shown);
        }
        arguments << name;
    }
#endif
    return arguments;
}

/// `field` with the characters that would break a tab-separated line
/// written as escapes.
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

/// The picture the graph widget shows once Draw has finished: the overview
/// and the close-up at the peak, drawn by the widget's own code offscreen,
/// its window read from the recording's pending result files. It joins
/// them.
QString writePicture(BatchResult &result, const QString &path)
{
    const QString base = commands::baseName(result.path);
    QIODevice *processed = nullptr;
    QIODevice *stereo = nullptr;
    for (const auto &file : result.pending) {
        if (file->name() == base + QStringLiteral("_output.wav"))
            processed = file.get();
        else if (file->name() == base + QStringLiteral("_stereo.wav"))
            stereo = file.get();
    }
    GraphPainter painter;
    Widget widget(&painter, nullptr);
    for (const auto &column : result.detector)
        widget.animateDetector(column.first, rows::detector(column.second));
    for (const auto &column : result.cumulative)
        widget.animateGraph2(column[0], rows::cumulative(column[1]), rows::cumulative(column[2]));
    if (processed && stereo)
        widget.setSeriesSource(std::make_unique<DeviceSeries>(
            processed, 4 * dsp::analysis::kLeadInWords, stereo,
            WavFile::canonicalHeader(2, 16384, result.samples * 8).size(), result.samples));
    widget.setPosition(result.peakBlock, result.change);

    QByteArray png;
    QBuffer buffer(&png);
    if (!buffer.open(QIODevice::WriteOnly) || !widget.grab().toImage().save(&buffer, "PNG"))
        return QStringLiteral("Could not draw %1").arg(path);
    result.pending.push_back(std::make_unique<resultfiles::ResultFile>(path));
    resultfiles::ResultFile &file = *result.pending.back();
    if (!file.start() || file.write(png) != png.size())
        return file.errorText();
    return QString();
}

QString resultLine(const BatchResult &result, const QString &shownPath, bool draw)
{
    const QString status = result.skipped           ? QStringLiteral("skipped")
                           : result.error.isEmpty() ? QStringLiteral("ok")
                                                    : result.error;
    const bool analysed = draw && result.error.isEmpty() && result.samples >= 0;
    return QStringLiteral("%1\t%2\t%3\t%4\t%5\t%6")
        .arg(escaped(shownPath), escaped(status),
             analysed ? QString::number(result.samples) : QStringLiteral("-"),
             analysed ? QString::number(result.peakBlock) : QStringLiteral("-"),
             analysed ? QString::number(result.change) : QStringLiteral("-"),
             QString::number(result.seconds, 'f', 3));
}

/// Set once a line could not be written to standard output, with the reason.
bool outputFailed = false;
int outputErrno = 0;

/// A standard stream the program was started without is held by the null
/// device, so that no file the program opens takes its number and receives
/// its lines; a missing standard output counts as failed.
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
        if (fd == STDOUT_FILENO) {
            outputFailed = true;
            outputErrno = EBADF;
        }
    }
#endif
}

void print(FILE *stream, const QString &line)
{
#ifdef Q_OS_WIN
    // A console window shows what it is given as UTF-16. Bytes would pass
    // through the ANSI code page, which lacks most of the world's letters,
    // and the console would read them in its own, the OEM code page.
    const HANDLE console = GetStdHandle(stream == stderr ? STD_ERROR_HANDLE : STD_OUTPUT_HANDLE);
    DWORD mode = 0;
    if (console != INVALID_HANDLE_VALUE && GetConsoleMode(console, &mode)) {
        std::fflush(stream);
        const auto units = DWORD(line.size());
        DWORD shown = 0;
        if ((!WriteConsoleW(console, reinterpret_cast<const wchar_t *>(line.utf16()), units,
                            &shown, nullptr)
             || shown != units)
            && stream == stdout && !outputFailed) {
            outputFailed = true;
            outputErrno = EIO;
        }
        return;
    }
#endif
    const bool written =
        std::fputs(line.toLocal8Bit().constData(), stream) >= 0 && std::fflush(stream) == 0;
    if (!written && stream == stdout && !outputFailed) {
        outputFailed = true;
        outputErrno = errno;
    }
}

int usageError(const QString &message)
{
    print(stderr,
          QStringLiteral("quorvane-batch: %1\nTry 'quorvane-batch --help'.\n").arg(message));
    return kExitUsage;
}

/// For each recording, why it is refused before any work: its results
/// would have the names of an earlier recording's (after links), would
/// replace an earlier recording, or it is one of an earlier one's results.
std::vector<QString> coincidingResults(const QStringList &paths, const BatchOptions &options)
{
    std::vector<QString> refused(std::size_t(paths.size()));
    QHash<QString, int> resultOf;
    QHash<QString, int> inputOf;
    for (int i = 0; i < paths.size(); ++i) {
        // Devices and the like are refused by each job on its own; only
        // regular files and names still free can coincide.
        QStringList keys;
        for (const QString &name : batchResultNames(paths[i], options))
            if (!QFileInfo::exists(name) || resultfiles::isRegular(name))
                keys << resultfiles::identity(name);
        const bool plain = !QFileInfo::exists(paths[i]) || resultfiles::isRegular(paths[i]);
        const QString input = plain ? resultfiles::identity(paths[i]) : QString();
        QString &why = refused[std::size_t(i)];
        for (const QString &key : keys) {
            if (why.isEmpty() && resultOf.contains(key))
                why = QStringLiteral("Same result names as %1").arg(paths[resultOf[key]]);
            if (why.isEmpty() && inputOf.contains(key))
                why = QStringLiteral("Its results would replace %1").arg(paths[inputOf[key]]);
        }
        if (why.isEmpty() && !input.isEmpty() && resultOf.contains(input))
            why = QStringLiteral("It is a result of %1").arg(paths[resultOf[input]]);
        if (!why.isEmpty())
            continue;
        for (const QString &key : keys)
            resultOf.insert(key, i);
        if (!input.isEmpty())
            inputOf.insert(input, i);
    }
    return refused;
}

/// Runs the jobs on `workers` threads and hands each finished result to
/// `report` in the order of the recordings. A recording with a `refused`
/// text is not run: that text is its error.
void runAll(const QStringList &paths, const std::vector<QString> &refused,
            const BatchOptions &options, int workers,
            const std::function<void(BatchResult &)> &report)
{
    std::vector<std::unique_ptr<BatchResult>> results(std::size_t(paths.size()));
    std::mutex mutex;
    std::condition_variable ready;
    std::atomic<int> next{0};

    std::vector<std::thread> threads;
    for (int w = 0; w < workers; ++w) {
        threads.emplace_back([&]() {
            // Each job thread counts as a busy core, so a job's analysis
            // takes a helper thread only while a core is left over.
            const batch::CoreClaim core = batch::CoreClaim::forThisThread();
            for (int i = next++; i < paths.size(); i = next++) {
                auto result = std::make_unique<BatchResult>();
                if (refused[std::size_t(i)].isEmpty()) {
                    *result = runUnlessDone(paths[i], options);
                } else {
                    result->path = paths[i];
                    result->error = refused[std::size_t(i)];
                }
                std::lock_guard<std::mutex> lock(mutex);
                results[std::size_t(i)] = std::move(result);
                ready.notify_all();
            }
        });
    }
    for (std::size_t i = 0; i < results.size(); ++i) {
        std::unique_ptr<BatchResult> result;
        {
            std::unique_lock<std::mutex> lock(mutex);
            ready.wait(lock, [&]() { return results[i] != nullptr; });
            result = std::move(results[i]);
        }
        report(*result);
    }
    for (std::thread &t : threads)
        t.join();
}

} // namespace

int main(int argc, char *argv[])
{
    holdStandardStreams();
    handleInterrupts();
    // The picture needs a GUI application; no window is ever shown. The
    // arguments are the user's file names, never the toolkit's options.
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
#ifdef Q_OS_WIN
    // The offscreen platform reads fonts from a folder, by default one beside
    // Qt that a deployed program has not: the picture's texts need Windows' own.
    if (qEnvironmentVariableIsEmpty("QT_QPA_FONTDIR") && !qEnvironmentVariableIsEmpty("WINDIR"))
        qputenv("QT_QPA_FONTDIR", qgetenv("WINDIR") + "\\Fonts");
#endif
    int appArgc = 1;
    char *appArgv[] = {argv[0], nullptr};
    QApplication app(appArgc, appArgv);
    // The picture's captions are drawn in the application's font.
    QApplication::setFont(desktopFont());
    QCoreApplication::setApplicationName(QStringLiteral("quorvane-batch"));
    QCoreApplication::setApplicationVersion(QStringLiteral(QUORVANE_VERSION));
    // The passes' time-of-day debug lines are for the application's log.
    QLoggingCategory::setFilterRules(QStringLiteral("quorvane.pass.clock.debug=false"));

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Filters each recording (a 16384 Hz, 32-bit WAV file) into <name>_output.wav, as\n"
        "File > Open does, and with --draw analyses it into <name>_stereo.wav, as\n"
        "Graph > Draw does. <name> is the path less its last four characters.\n\n"
        "Prints one line per recording, tab-separated: path, 'ok' or the error, samples,\n"
        "peak block, change ('-' without --draw), seconds. Exit status: 0 when every\n"
        "recording succeeded or was skipped, 1 when any failed, 2 on a usage error.\n\n"
        "For many recordings: --list reads them from a file, --shard I/N takes every\n"
        "N-th of them from the I-th on (counting from 0), so that N runs share one list,\n"
        "and --skip-done leaves out those whose results are already up to date."));
    // "-name" is one unknown option, not a row of single letters.
    parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
    parser.addHelpOption();
    parser.addVersionOption();
    const QCommandLineOption drawOption(QStringLiteral("draw"),
                                        QStringLiteral("Also run the analysis."));
    const QCommandLineOption markerOption(QStringLiteral("marker"),
                                          QStringLiteral("The template (default: marker.dat)."),
                                          QStringLiteral("file"), QStringLiteral("marker.dat"));
    const QCommandLineOption blocksOption(
        QStringLiteral("blocks"),
        QStringLiteral("Also write <name>_blocks.csv, one row per overview column."));
    const QCommandLineOption pngOption(
        QStringLiteral("png"), QStringLiteral("Also write <name>_graph.png, the final graph."));
    const QCommandLineOption jobsOption(
        QStringLiteral("jobs"),
        QStringLiteral("Recordings processed at once (default: the number of cores)."),
        QStringLiteral("n"), QString::number(std::max(1, QThread::idealThreadCount())));
    const QCommandLineOption demoOption(
        QStringLiteral("make-demo"),
        QStringLiteral("Write a 60-second demo recording and its marker.dat into <dir>."),
        QStringLiteral("dir"));
    const QCommandLineOption listOption(
        QStringLiteral("list"),
        QStringLiteral("Also process the recordings listed in <file>, one path a line; blank "
                       "and # lines are skipped, relative paths are taken from the list's "
                       "folder."),
        QStringLiteral("file"));
    const QCommandLineOption shardOption(
        QStringLiteral("shard"),
        QStringLiteral("Process only the recordings whose position (from 0) modulo N is I."),
        QStringLiteral("I/N"));
    const QCommandLineOption skipDoneOption(
        QStringLiteral("skip-done"),
        QStringLiteral("Skip a recording whose results all exist and are newer than it and "
                       "the template; its line says 'skipped'."));
    parser.addOptions({drawOption, markerOption, blocksOption, pngOption, jobsOption, demoOption,
                       listOption, shardOption, skipDoneOption});
    parser.addPositionalArgument(QStringLiteral("recordings"),
                                 QStringLiteral("The WAV files to process."),
                                 QStringLiteral("RECORDING.wav..."));
    QHash<QString, QString> undecodable;
    if (!parser.parse(commandLine(argc, argv, undecodable)))
        return usageError(parser.errorText());
    if (parser.isSet(QStringLiteral("help")) || parser.isSet(QStringLiteral("help-all")))
        parser.showHelp(0);
    if (parser.isSet(QStringLiteral("version")))
        parser.showVersion();

    if (parser.isSet(demoOption)) {
        const QString dir = parser.value(demoOption);
        if (undecodable.contains(dir))
            return usageError(QStringLiteral("--make-demo: %1 is not a valid file name here")
                                  .arg(undecodable[dir]));
        const QDir demoDir(dir);
        setCleanupNames({demoDir.filePath(QStringLiteral("recording.wav")),
                         demoDir.filePath(QStringLiteral("marker.dat"))});
        const QString error = writeDemo(dir);
        if (!error.isEmpty()) {
            print(stderr, error + '\n');
            return kExitFailed;
        }
        print(stdout, QStringLiteral("Wrote %1/recording.wav and %1/marker.dat\n").arg(dir));
        return 0;
    }

    BatchOptions options;
    options.draw = parser.isSet(drawOption);
    options.blocks = parser.isSet(blocksOption);
    options.png = parser.isSet(pngOption);
    options.marker = parser.value(markerOption);
    options.skipDone = parser.isSet(skipDoneOption);
    // A template named on the command line must be there; the default one
    // may be missing (the empty template).
    if (parser.isSet(markerOption)) {
        if (undecodable.contains(options.marker))
            return usageError(QStringLiteral("--marker: %1 is not a valid file name here")
                                  .arg(undecodable[options.marker]));
        if (!QFileInfo::exists(options.marker))
            return usageError(QStringLiteral("--marker: %1 does not exist").arg(options.marker));
        if (!resultfiles::isRegular(options.marker))
            return usageError(
                QStringLiteral("--marker: %1 is not a regular file").arg(options.marker));
    }
    bool jobsOk = false;
    const int jobs = parser.value(jobsOption).toInt(&jobsOk);
    if (!jobsOk || jobs < 1)
        return usageError(QStringLiteral("--jobs takes a whole number of at least 1"));
    if ((options.blocks || options.png) && !options.draw)
        return usageError(QStringLiteral("--blocks and --png need --draw"));
    QStringList paths = parser.positionalArguments();
    if (parser.isSet(listOption)) {
        const QString error = readRecordingList(parser.value(listOption), paths);
        if (!error.isEmpty())
            return usageError(error);
    } else if (paths.isEmpty()) {
        return usageError(QStringLiteral("no recording given"));
    }
    Shard shard;
    if (parser.isSet(shardOption) && !parseShard(parser.value(shardOption), shard))
        return usageError(QStringLiteral("--shard takes I/N, whole numbers with 0 <= I < N"));
    // Coinciding results are looked for over the whole list, so that no two
    // shards write the same files. A share of a short list may be empty.
    const std::vector<QString> refusedInList = coincidingResults(paths, options);
    std::vector<QString> refused;
    for (int i = shard.index; i < paths.size(); i += shard.count)
        refused.push_back(refusedInList[std::size_t(i)]);
    paths = shardOf(paths, shard);
    QStringList written;
    for (int i = 0; i < paths.size(); ++i) {
        QString &why = refused[std::size_t(i)];
        if (undecodable.contains(paths[i]))
            why = QStringLiteral("Could not read %1: not a valid file name here")
                      .arg(undecodable[paths[i]]);
        if (!why.isEmpty())
            continue;
        for (const QString &name : batchResultNames(paths[i], options))
            if (resultfiles::refusal(name, {}).isEmpty())
                written << name;
    }
    // What interrupted runs of these results left goes before any work.
    resultfiles::removeLeftovers(written);
    setCleanupNames(written);

    const bool showProgress = stderrIsTerminal();
    int done = 0;
    int failed = 0;
    runAll(paths, refused, options, std::min(jobs, int(paths.size())), [&](BatchResult &result) {
        if (result.error.isEmpty() && !result.skipped && options.png) {
            const QString png = batchResultNames(result.path, options).last();
            try {
                result.error = writePicture(result, png);
            } catch (const std::bad_alloc &) {
                result.error = QStringLiteral("Not enough memory to draw %1").arg(png);
            }
        }
        commitBatchResults(result);
        failed += result.error.isEmpty() ? 0 : 1;
        ++done;
        if (showProgress)
            print(stderr, QStringLiteral("\r\033[K"));
        const QString shown = undecodable.value(result.path, result.path);
        print(stdout, resultLine(result, shown, options.draw) + '\n');
        if (showProgress && done < paths.size())
            print(stderr, QStringLiteral("%1 of %2 done").arg(done).arg(paths.size()));
    });
    if (outputFailed) {
        print(stderr, QStringLiteral("quorvane-batch: could not write to standard output: %1\n")
                          .arg(QString::fromLocal8Bit(std::strerror(outputErrno))));
        return kExitFailed;
    }
    return failed ? kExitFailed : 0;
}
