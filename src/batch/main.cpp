// quorvane-batch: the application's two passes for many recordings at once,
// from the command line.

#include "batch/batchjob.h"
#include "batch/demorecording.h"
#include "graph/graphpainter.h"
#include "graph/widget.h"
#include "wav/commands.h"

#include <QApplication>
#include <QBuffer>
#include <QCommandLineParser>
#include <QLoggingCategory>
#include <QThread>

#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <memory>
#include <mutex>
#include <thread>

#ifdef Q_OS_WIN
#include <io.h>
#else
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

/// The picture the graph widget shows once Draw has finished: the overview
/// and the close-up at the peak, drawn by the widget's own code offscreen.
QString writePicture(const BatchResult &result, const QString &path)
{
    GraphPainter painter;
    Widget widget(&painter, nullptr);
    for (const auto &column : result.detector)
        widget.animateDetector(column.first, column.second);
    for (const auto &column : result.cumulative)
        widget.animateGraph2(column[0], column[1], column[2]);
    widget.setSeries(result.seriesX, result.seriesAsym, result.seriesSym);
    widget.setPosition(result.peakBlock, result.change);

    QByteArray png;
    QBuffer buffer(&png);
    if (!buffer.open(QIODevice::WriteOnly) || !widget.grab().toImage().save(&buffer, "PNG"))
        return QStringLiteral("Could not draw %1").arg(path);
    return commands::saveBytes(path, png);
}

QString resultLine(const BatchResult &result, bool draw)
{
    const QString status = result.error.isEmpty() ? QStringLiteral("ok") : result.error;
    const bool analysed = draw && result.samples >= 0;
    return QStringLiteral("%1\t%2\t%3\t%4\t%5\t%6")
        .arg(result.path, status, analysed ? QString::number(result.samples) : QStringLiteral("-"),
             analysed ? QString::number(result.peakBlock) : QStringLiteral("-"),
             analysed ? QString::number(result.change) : QStringLiteral("-"),
             QString::number(result.seconds, 'f', 3));
}

void print(FILE *stream, const QString &line)
{
    std::fputs(line.toLocal8Bit().constData(), stream);
    std::fflush(stream);
}

int usageError(const QString &message)
{
    print(stderr,
          QStringLiteral("quorvane-batch: %1\nTry 'quorvane-batch --help'.\n").arg(message));
    return kExitUsage;
}

/// Runs the jobs on `workers` threads and hands each finished result to
/// `report` in the order of the recordings.
void runAll(const QStringList &paths, const BatchOptions &options, int workers,
            const std::function<void(BatchResult &)> &report)
{
    std::vector<std::unique_ptr<BatchResult>> results(std::size_t(paths.size()));
    std::mutex mutex;
    std::condition_variable ready;
    std::atomic<int> next{0};

    std::vector<std::thread> threads;
    for (int w = 0; w < workers; ++w) {
        threads.emplace_back([&]() {
            for (int i = next++; i < paths.size(); i = next++) {
                auto result = std::make_unique<BatchResult>(runBatchJob(paths[i], options));
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
    // The picture needs a GUI application; no window is ever shown.
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("quorvane-batch"));
    QCoreApplication::setApplicationVersion(QStringLiteral(QUORVANE_VERSION));
    // The passes' time-of-day debug lines are for the application's log.
    QLoggingCategory::setFilterRules(QStringLiteral("*.debug=false"));

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Filters each recording (a 16384 Hz, 32-bit WAV file) into <name>_output.wav, as\n"
        "File > Open does, and with --draw analyses it into <name>_stereo.wav, as\n"
        "Graph > Draw does. <name> is the path less its last four characters.\n\n"
        "Prints one line per recording, tab-separated: path, 'ok' or the error, samples,\n"
        "peak block, change ('-' without --draw), seconds. Exit status: 0 when every\n"
        "recording succeeded, 1 when any failed, 2 on a usage error."));
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
    parser.addOptions({drawOption, markerOption, blocksOption, pngOption, jobsOption, demoOption});
    parser.addPositionalArgument(QStringLiteral("recordings"),
                                 QStringLiteral("The WAV files to process."),
                                 QStringLiteral("RECORDING.wav..."));
    if (!parser.parse(app.arguments()))
        return usageError(parser.errorText());
    if (parser.isSet(QStringLiteral("help")))
        parser.showHelp(0);
    if (parser.isSet(QStringLiteral("version")))
        parser.showVersion();

    if (parser.isSet(demoOption)) {
        const QString dir = parser.value(demoOption);
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
    bool jobsOk = false;
    const int jobs = parser.value(jobsOption).toInt(&jobsOk);
    if (!jobsOk || jobs < 1)
        return usageError(QStringLiteral("--jobs takes a whole number of at least 1"));
    if ((options.blocks || options.png) && !options.draw)
        return usageError(QStringLiteral("--blocks and --png need --draw"));
    const QStringList paths = parser.positionalArguments();
    if (paths.isEmpty())
        return usageError(QStringLiteral("no recording given"));

    const bool showProgress = stderrIsTerminal();
    int done = 0;
    int failed = 0;
    runAll(paths, options, std::min(jobs, int(paths.size())), [&](BatchResult &result) {
        if (result.error.isEmpty() && options.png)
            result.error = writePicture(result, commands::baseName(result.path)
                                                    + QStringLiteral("_graph.png"));
        failed += result.error.isEmpty() ? 0 : 1;
        ++done;
        if (showProgress)
            print(stderr, QStringLiteral("\r\033[K"));
        print(stdout, resultLine(result, options.draw) + '\n');
        if (showProgress && done < paths.size())
            print(stderr, QStringLiteral("%1 of %2 done").arg(done).arg(paths.size()));
    });
    return failed ? kExitFailed : 0;
}
