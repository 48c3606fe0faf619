// quorvane-batch: the application's two passes for many recordings at once,
// from the command line. This file wires the pieces: the command line, the
// console, the interrupts, the plan and the runner.

#include "batch/batchjob.h"
#include "batch/commandline.h"
#include "batch/console.h"
#include "batch/demorecording.h"
#include "batch/desktopfont.h"
#include "batch/interrupts.h"
#include "batch/picture.h"
#include "batch/runner.h"
#include "batch/runplan.h"
#include "dsp/filtercascade.h"
#include "dsp/templateanalysis.h"
#include "wav/passes/commands.h"
#include "wav/results/names.h"
#include "wav/results/resultfile.h"
#include "wav/results/resultfiles.h"

#include <QCoreApplication>
#include <QDir>
#include <QGuiApplication>
#include <QLoggingCategory>

#include <algorithm>
#include <cstring>
#include <memory>
#include <new>
#include <system_error>
#include <thread>

#ifdef Q_OS_WIN
#include <windows.h>
#endif

namespace {

/// The picture, when asked for, then the recording's files under their
/// names, then its line.
void finishRecording(BatchResult &result, const BatchOptions &options)
{
    if (result.error.isEmpty() && !result.skipped && options.png) {
        const QString png = batchResultNames(result.path, options).last();
        try {
            result.error = writePicture(result, png);
        } catch (const std::bad_alloc &) {
            result.error = QStringLiteral("Not enough memory to draw %1")
                               .arg(resultfiles::displayName(png));
        }
    }
    commitBatchResults(result);
}

/// The application the picture needs: painting needs no widget, but the
/// captions' fonts come from a platform, the offscreen one, which shows
/// nothing (a run without pictures has a core application alone). Its
/// arguments are the program's name alone: the rest are the user's file
/// names, never the toolkit's options.
void prepareApplication()
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
#ifdef Q_OS_WIN
    // The offscreen platform reads fonts from a folder, by default one beside
    // Qt that a deployed program has not: the picture's texts need Windows' own.
    if (qEnvironmentVariableIsEmpty("QT_QPA_FONTDIR") && !qEnvironmentVariableIsEmpty("WINDIR"))
        qputenv("QT_QPA_FONTDIR", qgetenv("WINDIR") + "\\Fonts");
#endif
}

/// Whether the run may paint pictures, told from the arguments before they
/// are parsed: only pictures need the platform, whose fonts cost a run's
/// start several milliseconds. A file named so after "--" counts too,
/// needlessly but harmlessly.
bool mayPaint(int argc, char *argv[])
{
    for (int i = 1; i < argc; ++i)
        if (std::strcmp(argv[i], "--png") == 0 || std::strcmp(argv[i], "-png") == 0)
            return true;
    return false;
}

/// Makes what the passes share once per process (the filter's kernel, the
/// transforms' plans) on a thread of its own, while the first recording is
/// opened and checked and, for the analysis's plans, filtered; so the
/// passes seldom wait for them. Joined when the run ends.
class Preparation
{
public:
    explicit Preparation(bool draw)
    {
        try {
            thread = std::thread([draw] {
                try {
                    dsp::FilterCascade::prepare();
                    if (draw)
                        dsp::TemplateAnalysis::prepare();
                } catch (const std::bad_alloc &) {
                    // Short of memory: the passes make them, or say so.
                }
            });
        } catch (const std::system_error &) {
            // No thread to spare: the first passes make them as they go.
        }
    }
    ~Preparation()
    {
        if (thread.joinable())
            thread.join();
    }
    Preparation(const Preparation &) = delete;
    Preparation &operator=(const Preparation &) = delete;

private:
    std::thread thread;
};

void printLine(const BatchResult &result, const BatchCommand &command)
{
    // A name that is no valid text is shown by its bytes, already escaped.
    const QString shown = command.undecodable.value(result.path, console::escapedName(result.path));
    console::print(stdout, console::resultLine(result, shown, command.options.draw,
                                               command.options.matches) + '\n');
}

int makeDemo(const QString &dir)
{
    const QDir demoDir(dir);
    interrupts::setCleanupNames({demoDir.filePath(QStringLiteral("recording.wav")),
                                 demoDir.filePath(QStringLiteral("marker.dat"))});
    const QString error = writeDemo(dir);
    if (!error.isEmpty()) {
        console::print(stderr, error + '\n');
        return kExitFailed;
    }
    console::print(stdout, QStringLiteral("Wrote %1 and %2\n")
                               .arg(resultfiles::displayName(dir + QStringLiteral("/recording.wav")),
                                    resultfiles::displayName(dir + QStringLiteral("/marker.dat"))));
    return 0;
}

/// Runs the recordings and prints their lines; answers the exit status.
int runRecordings(const BatchCommand &command)
{
    const RunPlan plan = planRun(command);
    std::unique_ptr<Preparation> preparation;
    if (!plan.paths.isEmpty())
        preparation = std::make_unique<Preparation>(command.options.draw);
    // What interrupted runs of these results left goes before any work.
    resultfiles::removeLeftovers(plan.written);
    interrupts::setCleanupNames(plan.written);
    const QString fontWarning =
        command.options.png ? missingFontWarning(QGuiApplication::font()) : QString();
    if (!fontWarning.isEmpty())
        console::print(stderr, fontWarning + '\n');

    console::Progress progress(int(plan.paths.size()));
    int done = 0;
    int failed = 0;
    const int workers = std::min(command.jobs, int(plan.paths.size()));
    runner::runRecordings(plan.paths, plan.refused, command.options, workers,
                          [&](BatchResult &result) {
                              finishRecording(result, command.options);
                              failed += result.error.isEmpty() ? 0 : 1;
                              progress.clear();
                              printLine(result, command);
                              progress.show(++done);
                          });
    resultfiles::finishRemovals();
    int error = 0;
    if (console::outputFailed(error)) {
        console::print(stderr,
                       QStringLiteral("quorvane-batch: could not write to standard output: %1\n")
                           .arg(QString::fromLocal8Bit(std::strerror(error))));
        return kExitFailed;
    }
    return failed ? kExitFailed : 0;
}

} // namespace

int main(int argc, char *argv[])
{
#ifdef Q_OS_WIN
    // Held until the program ends: setup and uninstall wait while it runs.
    CreateMutexW(nullptr, FALSE, QUORVANE_RUNNING_MUTEX);
#endif
    console::holdStandardStreams();
    interrupts::handleInterrupts();
    int appArgc = 1;
    char *appArgv[] = {argv[0], nullptr};
    std::unique_ptr<QCoreApplication> app;
    if (mayPaint(argc, argv)) {
        prepareApplication();
        app = std::make_unique<QGuiApplication>(appArgc, appArgv);
        // The picture's captions are drawn in the application's font.
        QGuiApplication::setFont(desktopFont());
    } else {
        app = std::make_unique<QCoreApplication>(appArgc, appArgv);
    }
    QCoreApplication::setApplicationName(QStringLiteral("quorvane-batch"));
    QCoreApplication::setApplicationVersion(QStringLiteral(QUORVANE_VERSION));
    // The passes' time-of-day debug lines are for the application's log.
    QLoggingCategory::setFilterRules(QStringLiteral("quorvane.pass.clock.debug=false"));

    BatchCommand command;
    const int status = parseCommandLine(argc, argv, command);
    if (status >= 0)
        return status;
    return interrupts::settle(command.demo ? makeDemo(command.demoDir) : runRecordings(command));
}
