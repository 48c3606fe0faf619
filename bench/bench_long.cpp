// Long recordings: time and peak memory of `quorvane-batch --draw` (and the peak
// with every result: --blocks --png --matches) and of the
// application's Graph > Draw (offscreen, run twice), each in a process of its
// own, for recordings of several lengths. (The inputs that slow the
// analysis down, against noise, are bench_sweep's.)
//
//   bench_long [minutes ...]       default: 10 60 360 (1440 for a day)
//
// Recordings up to an hour are the generated demo (noise, hum and pings);
// longer ones are zeros, written as sparse files in a moment. Everything is
// written into a temporary folder that is removed at the end. Linux only:
// peak memory comes from the kernel's accounting of each child.

#include "app/mainwindow.h"
#include "batch/demorecording.h"
#include "common/modalanswerer.h"
#include "wav/format/header.h"
#include "wav/passes/commands.h"
#include "wav/passes/wavfile.h"

#include <QAction>
#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QSaveFile>
#include <QTemporaryDir>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

constexpr qint64 kRate = 16384;

double since(const QElapsedTimer &timer)
{
    return double(timer.nsecsElapsed()) / 1e9;
}

/// A field of /proc/self/status in MB (VmRSS, VmHWM).
double statusMB(const char *field)
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : status.readAll().split('\n'))
        if (line.startsWith(field))
            return line.mid(int(std::strlen(field)) + 1).trimmed().split(' ').value(0).toDouble()
                   / 1024.0;
    return -1;
}

/// Lets the next VmHWM count from the present use.
void resetPeak()
{
    QFile refs(QStringLiteral("/proc/self/clear_refs"));
    if (refs.open(QIODevice::WriteOnly))
        refs.write("5");
}

struct ChildRun
{
    double seconds = 0;
    double cpuSeconds = 0; // user and system time: less sensitive to a busy machine
    double peakMB = 0;
    bool ok = false;
};

double cpuSeconds(const rusage &usage)
{
    return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec)
           + double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

/// Runs `args` and waits for it: wall time and the child's peak RSS.
ChildRun runChild(const QStringList &args)
{
    std::vector<std::string> strings;
    for (const QString &a : args)
        strings.push_back(a.toStdString());
    std::vector<char *> argv;
    for (std::string &s : strings)
        argv.push_back(&s[0]);
    argv.push_back(nullptr);

    QElapsedTimer timer;
    timer.start();
    const pid_t pid = fork();
    if (pid == 0) {
        const int quiet = open("/dev/null", O_WRONLY);
        dup2(quiet, STDOUT_FILENO);
        dup2(quiet, STDERR_FILENO);
        execv(argv[0], argv.data());
        _exit(127);
    }
    int status = 0;
    rusage usage{};
    wait4(pid, &status, 0, &usage);
    ChildRun run;
    run.seconds = since(timer);
    run.peakMB = double(usage.ru_maxrss) / 1024.0;
    run.cpuSeconds = cpuSeconds(usage);
    run.ok = WIFEXITED(status) && WEXITSTATUS(status) == 0;
    return run;
}

/// `minutes` of zeros behind a plain header, as a sparse file.
bool writeZeros(const QString &path, qint64 minutes)
{
    const qint64 dataBytes = minutes * 60 * kRate * 4;
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate)
           && file.write(wavformat::canonicalHeader(1, 16384, dataBytes)) > 0
           && file.resize(file.pos() + dataBytes);
}

/// Child: the application's Draw, twice, on `base`_output.wav with the
/// marker.dat of the working directory. Prints seconds and peak MB above
/// the memory before the first Draw, for each run.
int guiChild(int argc, char *argv[], const QString &base)
{
    QApplication app(argc, argv);
    MainWindow window;
    window.show();
    QApplication::processEvents();
    {
        ModalAnswerer accept(base);
        QMetaObject::invokeMethod(&window, "saveAs");
    }
    QAction *draw = nullptr;
    for (QAction *a : window.findChildren<QAction *>())
        if (a->text() == QStringLiteral("&Draw..."))
            draw = a;
    if (!draw)
        return 1;
    const double before = statusMB("VmRSS:");
    for (int run = 0; run < 2; ++run) {
        resetPeak();
        QElapsedTimer timer;
        timer.start();
        rusage start{}, end{};
        getrusage(RUSAGE_SELF, &start);
        ModalAnswerer answerer;
        draw->trigger();
        getrusage(RUSAGE_SELF, &end);
        const double seconds = since(timer);
        if (answerer.messages.value(0).text != QStringLiteral("Drawing completed!"))
            return 1;
        std::printf("%.2f %.2f %.0f\n", seconds, cpuSeconds(end) - cpuSeconds(start),
                    statusMB("VmHWM:") - before);
    }
    std::fflush(stdout);
    return 0;
}

} // namespace

int main(int argc, char *argv[])
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    if (argc == 3 && std::string(argv[1]) == "--gui-child")
        return guiChild(1, argv, QString::fromLocal8Bit(argv[2]));

    QCoreApplication app(argc, argv);
    std::vector<qint64> lengths;
    for (int i = 1; i < argc; ++i)
        lengths.push_back(std::max(1, std::atoi(argv[i])));
    if (lengths.empty())
        lengths = {10, 60, 360};

    QTemporaryDir dir;
    if (!dir.isValid())
        return 1;
    const QString self = QCoreApplication::applicationFilePath();
    const QString batch = QStringLiteral(QUORVANE_BATCH);

    std::printf("time in seconds (CPU seconds in brackets) / peak memory; the GUI's above its\n"
                    "memory before the first Draw\n"
                    "recording        batch --draw                 GUI Draw, first            "
                    "GUI Draw, second\n");
    for (const qint64 minutes : lengths) {
        const bool zeros = minutes > 60;
        const QString sub = dir.filePath(QString::number(minutes));
        const QString recording = sub + QStringLiteral("/recording.wav");
        if (!writeDemo(sub, 60).isEmpty()
            || (zeros ? !writeZeros(recording, minutes)
                      : !writeDemo(sub, int(minutes) * 60).isEmpty()))
            return 1;
        const ChildRun b = runChild({batch, QStringLiteral("--draw"), QStringLiteral("--jobs"),
                                     QStringLiteral("1"), QStringLiteral("--marker"),
                                     sub + QStringLiteral("/marker.dat"), recording});
        // Every result the batch program writes: its peak memory against
        // the 64 MB a day's recording may take.
        const ChildRun all = runChild({batch, QStringLiteral("--draw"), QStringLiteral("--blocks"),
                                       QStringLiteral("--png"), QStringLiteral("--matches"),
                                       QStringLiteral("--jobs"), QStringLiteral("1"),
                                       QStringLiteral("--marker"),
                                       sub + QStringLiteral("/marker.dat"), recording});

        // The GUI child reads marker.dat from its working directory and
        // prints its two runs on a pipe.
        int pipeEnds[2];
        if (pipe(pipeEnds) != 0)
            return 1;
        const pid_t pid = fork();
        if (pid == 0) {
            dup2(pipeEnds[1], STDOUT_FILENO);
            const int quiet = open("/dev/null", O_WRONLY);
            dup2(quiet, STDERR_FILENO);
            close(pipeEnds[0]);
            if (chdir(QFile::encodeName(sub).constData()) != 0)
                _exit(127);
            const QByteArray base = QFile::encodeName(sub + QStringLiteral("/recording"));
            const QByteArray exe = QFile::encodeName(self);
            execl(exe.constData(), exe.constData(), "--gui-child", base.constData(), nullptr);
            _exit(127);
        }
        close(pipeEnds[1]);
        QByteArray out;
        char buffer[256];
        for (ssize_t n; (n = read(pipeEnds[0], buffer, sizeof buffer)) > 0;)
            out.append(buffer, int(n));
        close(pipeEnds[0]);
        int status = 0;
        waitpid(pid, &status, 0);
        const QList<QByteArray> runs = out.trimmed().split('\n');
        const auto gui = [&](int i) {
            const QList<QByteArray> f = runs.value(i).split(' ');
            return f.size() == 3 ? QStringLiteral("%1 s (%2) / +%3 MB")
                                       .arg(QString(f[0]), QString(f[1]), QString(f[2]))
                                 : QStringLiteral("failed");
        };
        std::printf("%4lld min%-8s %7.2f s (%6.2f) / %4.0f MB%s   %-26s %-26s\n", minutes,
                    zeros ? ", zeros" : "", b.seconds, b.cpuSeconds, b.peakMB,
                    b.ok ? "" : " (failed)", qPrintable(gui(0)), qPrintable(gui(1)));
        std::printf("%17s batch --draw --blocks --png --matches: %4.0f MB%s (%.2fx --draw)\n", "",
                    all.peakMB, all.ok ? "" : " (failed)", b.peakMB > 0 ? all.peakMB / b.peakMB : 0.0);
        std::fflush(stdout);
        QDir(sub).removeRecursively();
    }

    return 0;
}
