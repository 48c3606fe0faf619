// End-to-end tests of quorvane-batch: the built program runs through
// QProcess, and its files are compared with what the application's own
// File > Open and Graph > Draw write for the same input.

#include "app/mainwindow.h"
#include "batch/batchjob.h"
#include "batch/demorecording.h"
#include "batch/desktopfont.h"
#include "common/apptest.h"
#include "common/fileentries.h"
#include "common/listenerrecorder.h"
#include "common/modalanswerer.h"
#include "common/testfiles.h"
#ifdef Q_OS_LINUX
#include "common/addressspace.h"
#endif
#include "graph/widget.h"
#include "wav/format/reading.h"
#include "wav/passes/commands.h"
#include "wav/passes/wavfile.h"

#include <QAction>
#include <QDateTime>
#include <QDir>
#include <QImage>
#include <QProcess>
#include <QRegularExpression>
#include <QThread>
#include <QScreen>
#include <QSettings>
#include <QTemporaryDir>
#include <QtTest>

#include <array>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#ifdef Q_OS_LINUX
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#endif
#ifdef Q_OS_WIN
#include <windows.h>
#endif

using namespace apptest;
using namespace testfiles;

namespace {

const QString kWrongFormat =
    QStringLiteral("Wrong file format You need sampleRate = 16kHz bitsPerSample = 32bit");
const QByteArray kCsvHeader = "column,detector_max,cumulative_max,cumulative_min";
constexpr qint64 kLeadInWords = 48;

using Calls = recorders::Listener;

/// Records the calls the Draw step makes for the processed file `processed`
/// and the template file `marker` (may be missing); answers the two-channel
/// file it wrote into `scratchDir`, empty on failure.
QByteArray recordCalls(const QString &processed, const QString &marker, const QString &scratchDir,
                       Calls &calls)
{
    WavFile source;
    if (!commands::openChecked(source, processed, QStringLiteral("refused")).isEmpty())
        return QByteArray();
    QFile markerFile(marker);
    markerFile.open(QIODevice::ReadOnly);
    const QString stereoPath = QDir(scratchDir).filePath(QStringLiteral("calls_stereo.wav"));
    if (!commands::analyseInto(source, stereoPath, &markerFile, calls).isEmpty())
        return QByteArray();
    return readFile(stereoPath);
}

/// Compares <name>_blocks.csv with the block values the analysis handed out,
/// row by row.
void compareCsv(const QByteArray &csv, const Calls &calls)
{
    QVERIFY(csv.endsWith('\n'));
    QList<QByteArray> lines = csv.split('\n');
    lines.removeLast();
    QCOMPARE(lines.value(0), kCsvHeader);
    QCOMPARE(calls.cumulativeValues.size(), calls.detectorValues.size());
    QCOMPARE(std::size_t(lines.size() - 1), calls.detectorValues.size());
    for (std::size_t i = 0; i < calls.detectorValues.size(); ++i) {
        const auto &d = calls.detectorValues[i];
        const auto &c = calls.cumulativeValues[i];
        QCOMPARE(d.first, int(i));
        QCOMPARE(c[0], int(i));
        const QByteArray expected = QByteArray::number(qulonglong(i)) + ','
                                    + QByteArray::number(d.second) + ',' + QByteArray::number(c[1])
                                    + ',' + QByteArray::number(c[2]);
        QCOMPARE(lines[int(i) + 1], expected);
    }
}

/// Where two same-sized images first differ, for the failure message.
QByteArray firstDifference(const QImage &a, const QImage &b)
{
    if (a.size() != b.size())
        return "sizes differ";
    for (int y = 0; y < a.height(); ++y)
        for (int x = 0; x < a.width(); ++x)
            if (a.pixel(x, y) != b.pixel(x, y))
                return QStringLiteral("first difference at (%1, %2): %3 against %4")
                    .arg(x)
                    .arg(y)
                    .arg(QColor(a.pixel(x, y)).name(), QColor(b.pixel(x, y)).name())
                    .toLatin1();
    return "equal";
}

/// Dates a file back, so that any rewrite shows in its modification time.
bool makeOld(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly)
           && file.setFileTime(QDateTime(QDate(2001, 2, 3), QTime(4, 5, 6)),
                               QFileDevice::FileModificationTime);
}

/// What the application shows once Draw has finished.
struct GuiResult
{
    QImage grab;   ///< the widget rendered again
    QImage screen; ///< the widget's pixels in the shown window
    int position = 0;
    int change = 0;
};

/// Runs File > Open on `recording` and then Graph > Draw, with `workDir`
/// as the working directory (where Draw reads marker.dat).
void runGui(const QString &recording, const QString &workDir, GuiResult &result)
{
    QVERIFY(QDir::setCurrent(workDir));
    MainWindow window;
    // Large enough for the whole graph area on any test screen, so that the
    // screen grab below holds all of it.
    window.resize(1600, 1200);
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    {
        ModalAnswerer answerer(recording);
        action(window, QStringLiteral("&Open..."))->trigger();
        QCOMPARE(answerer.fileDialogs, 1);
        QCOMPARE(answerer.messages.size(), 0);
    }
    {
        ModalAnswerer answerer;
        action(window, QStringLiteral("&Draw..."))->trigger();
        QCOMPARE(answerer.messages.size(), 1);
        QCOMPARE(answerer.messages[0].text, QStringLiteral("Drawing completed!"));
    }
    auto *widget = window.findChild<Widget *>();
    QVERIFY(widget && widget->isVisible());
    result.grab = widget->grab().toImage().convertToFormat(QImage::Format_RGB32);
    const QPoint at = widget->mapTo(&window, QPoint(0, 0));
    result.screen =
        window.screen()
            ->grabWindow(window.winId(), at.x(), at.y(), widget->width(), widget->height())
            .toImage()
            .convertToFormat(QImage::Format_RGB32);
    result.position = widget->currentPosition();
    result.change = widget->currentChange();
}

/// Checks the analysis fields of a result line: numbers after a successful
/// --draw, '-' otherwise.
void checkAnalysisFields(const QStringList &fields, bool analysed)
{
    QCOMPARE(fields.size(), 6);
    for (int i = 2; i < 5; ++i) {
        bool isNumber = false;
        fields[i].toLongLong(&isNumber);
        if (analysed)
            QVERIFY2(isNumber, qPrintable(fields[i]));
        else
            QCOMPARE(fields[i], QStringLiteral("-"));
    }
    bool isNumber = false;
    QVERIFY(fields[5].toDouble(&isNumber) >= 0 && isNumber);
}

} // namespace

class TestBatch : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void matchesApplication_data();
    void matchesApplication();
    void exitCodes_data();
    void exitCodes();
    void jobsGiveSameFiles_data();
    void jobsGiveSameFiles();
    void demoPeakAtStrongestEvent();
    void commandLine_data();
    void commandLine();
    void interruptRemovesTemporaries_data();
    void interruptRemovesTemporaries();
    void csvHoldsSaturatedBlocks_data();
    void csvHoldsSaturatedBlocks();
    void rf64RecordingMatchesRiff();
    void failedAllocationIsOneRecordingsError();
    void linksAndReasons_data();
    void linksAndReasons();
    void matchOptionsRefused_data();
    void matchOptionsRefused();
    void matchesColumnAndThresholds();
    void failedReadOfOwnFiles_data();
    void failedReadOfOwnFiles();

private:
    QString path(const QString &name) const { return QDir(work->path()).filePath(name); }
    /// Creates the folder `name` in the work folder and answers its path.
    QString folder(const QString &name) const
    {
        QDir(work->path()).mkpath(name);
        return path(name);
    }

    QTemporaryDir settingsDir;
    std::unique_ptr<QTemporaryDir> work;
    QString startDir;
    DemoRecording demo30;
};

void TestBatch::initTestCase()
{
    Q_INIT_RESOURCE(images);
    QVERIFY(settingsDir.isValid());
    useTemporarySettings(settingsDir.path());
    startDir = QDir::currentPath();
    QVERIFY(QFileInfo(QStringLiteral(QUORVANE_BATCH)).isExecutable());
    demo30 = makeDemoRecording(30);
    // The window here draws in the font the application has on this
    // system's desktop, which the offscreen platform does not know; the
    // batch picture must match it, with the longest caption whole.
    QApplication::setFont(desktopFont());
    const QFontMetrics metrics(QApplication::font());
    QVERIFY(660 + metrics.horizontalAdvance("Correlation detector signal (V)") < 900);
}

void TestBatch::init()
{
    work = std::make_unique<QTemporaryDir>();
    QVERIFY(work->isValid());
}

void TestBatch::cleanup()
{
    QDir::setCurrent(startDir);
}

void TestBatch::matchesApplication_data()
{
    QTest::addColumn<QByteArray>("input");
    QTest::addColumn<bool>("withMarker");
    QTest::addColumn<bool>("markerOption");
    QTest::addColumn<bool>("tooLoud"); // warned of on standard error

    const QByteArray thirty = recording(demo30.samples);
    QTest::newRow("30 s demo, marker.dat in the working directory")
        << thirty << true << false << false;
    QTest::newRow("30 s demo, --marker and paths from another folder")
        << thirty << true << true << false;
    QTest::newRow("30 s demo as RF64")
        << rf64Header(HeaderFields(), quint64(demo30.samples.size()) * 4)
               + wordBytes(demo30.samples)
        << true << false << false;
    QTest::newRow("no template file")
        << recording(makeDemoRecording(3, 5).samples) << false << false << false;
    const std::vector<std::int32_t> short1 = makeDemoRecording(1, 6).samples;
    QTest::newRow("under one block")
        << recording({short1.begin(), short1.begin() + 700}) << true << false << false;
    QTest::newRow("shorter than the lead-in")
        << recording({short1.begin(), short1.begin() + 20}) << true << false << false;
    // The demo brought up to full scale, as a plain 32-bit conversion of
    // ordinary sound leaves it: most filtered words leave the 32-bit range.
    std::vector<std::int32_t> loud = makeDemoRecording(3, 7).samples;
    std::int64_t peak = 1;
    for (std::int32_t word : loud)
        peak = std::max(peak, std::abs(std::int64_t(word)));
    for (std::int32_t &word : loud)
        word = std::int32_t(std::int64_t(word) * 2147483647 / peak);
    QTest::newRow("at full scale") << recording(loud) << true << false << true;
}

// Same input and template: the batch writes the application's files byte for
// byte, its CSV rows are the widget's calls and its picture the widget's.
void TestBatch::matchesApplication()
{
    QFETCH(QByteArray, input);
    QFETCH(bool, withMarker);
    QFETCH(bool, markerOption);
    QFETCH(bool, tooLoud);

    const QString gui = folder(QStringLiteral("gui"));
    const QString batch = folder(QStringLiteral("batch"));
    const QString elsewhere = folder(QStringLiteral("elsewhere"));
    for (const QString &dir : {gui, batch}) {
        QVERIFY(writeFile(dir + "/rec.wav", input));
        if (withMarker)
            QVERIFY(writeFile(dir + "/marker.dat", markerBytes(demo30.marker)));
    }

    GuiResult shown;
    runGui(gui + "/rec.wav", gui, shown);
    if (QTest::currentTestFailed())
        return;
    QDir::setCurrent(startDir);
    const QByteArray guiOutput = readFile(gui + "/rec_output.wav");
    const QByteArray guiStereo = readFile(gui + "/rec_stereo.wav");
    QVERIFY(guiStereo.size() >= 44);

    QStringList args{"--draw", "--blocks", "--png"};
    QString runDir = batch;
    QString recordingArg = QStringLiteral("rec.wav");
    if (markerOption) {
        args << "--marker" << batch + "/marker.dat";
        runDir = elsewhere;
        recordingArg = batch + "/rec.wav";
    }
    args << recordingArg;
    const BatchRun run = runBatch(args, runDir);
    QVERIFY(run.exitedNormally);
    QVERIFY2(run.exitCode == 0, run.err.constData());
    // The level is told of, never mended: every file below is the application's.
    QVERIFY2(run.err.contains("Input level too high: ") == tooLoud, run.err.constData());

    const QStringList lines = run.lines();
    QCOMPARE(lines.size(), 1);
    const QStringList fields = lines[0].split('\t');
    checkAnalysisFields(fields, true);
    QCOMPARE(fields[0], recordingArg);
    QCOMPARE(fields[1], QStringLiteral("ok"));
    QCOMPARE(fields[2].toLongLong(), qint64(guiStereo.size() - 44) / 8);
    QCOMPARE(fields[3].toInt(), shown.position + 1);
    QCOMPARE(fields[4].toInt(), shown.change);

    QCOMPARE(readFile(batch + "/rec_output.wav"), guiOutput);
    QCOMPARE(readFile(batch + "/rec_stereo.wav"), guiStereo);

    Calls calls;
    const QByteArray callsStereo =
        recordCalls(gui + "/rec_output.wav", gui + "/marker.dat", folder("calls"), calls);
    QCOMPARE(callsStereo, guiStereo);
    QCOMPARE(calls.block, shown.position + 1);
    compareCsv(readFile(batch + "/rec_blocks.csv"), calls);
    if (QTest::currentTestFailed())
        return;

    const QImage picture = QImage(batch + "/rec_graph.png").convertToFormat(QImage::Format_RGB32);
    QCOMPARE(picture.size(), QSize(900, 800));
    QVERIFY2(picture == shown.grab, firstDifference(picture, shown.grab));
    QVERIFY2(picture == shown.screen, firstDifference(picture, shown.screen));

    QStringList expected{"rec.wav", "rec_blocks.csv", "rec_graph.png", "rec_output.wav",
                         "rec_stereo.wav"};
    if (withMarker)
        expected << "marker.dat";
    expected.sort();
    QCOMPARE(QDir(batch).entryList(QDir::Files | QDir::Dirs | QDir::NoDotAndDotDot | QDir::Hidden),
             expected);
    QCOMPARE(QDir(elsewhere).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden),
             QStringList());
}

void TestBatch::exitCodes_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<int>("exitCode");
    /// One "path|status|fields" per expected result line: a status ending
    /// in '*' is a prefix; fields '#' are numbers, '-' dashes.
    QTest::addColumn<QStringList>("results");
    /// Files that the run writes; every other file stays as it was.
    QTest::addColumn<QStringList>("written");
    /// Text stdout must hold instead of result lines.
    QTest::addColumn<QString>("stdoutHas");

    const QStringList none;
    QTest::newRow("one good recording")
        << QStringList{"good.wav"} << 0 << QStringList{"good.wav|ok|-"}
        << QStringList{"good_output.wav"} << QString();
    QTest::newRow("good recording with --draw")
        << QStringList{"--draw", "good.wav"} << 0 << QStringList{"good.wav|ok|#"}
        << QStringList{"good_output.wav", "good_stereo.wav"} << QString();
    // The system's own words; Windows' vary with its language.
#ifdef Q_OS_UNIX
    const QString missingReason = QStringLiteral("No such file or directory");
#else
    const QString missingReason = QStringLiteral("*");
#endif
    QTest::newRow("good, refused and missing")
        << QStringList{"--draw", "text.wav", "good.wav", "pcm16.wav", "cd.wav", "missing.wav"} << 1
        << QStringList{"text.wav|Not a WAV-file|-", "good.wav|ok|#",
                       "pcm16.wav|" + kWrongFormat + "|-", "cd.wav|" + kWrongFormat + "|-",
                       "missing.wav|Could not read missing.wav: " + missingReason + "|-"}
        << QStringList{"good_output.wav", "good_stereo.wav"} << QString();
    QTest::newRow("refused only, all outputs asked for")
        << QStringList{"--draw", "--blocks", "--png", "pcm16.wav", "text.wav"} << 1
        << QStringList{"pcm16.wav|" + kWrongFormat + "|-", "text.wav|Not a WAV-file|-"} << none
        << QString();
    QTest::newRow("output cannot be written")
        << QStringList{"blocked.wav", "good.wav"} << 1
        << QStringList{"blocked.wav|Could not write blocked_output.wav*|-", "good.wav|ok|-"}
        << QStringList{"good_output.wav"} << QString();
    QTest::newRow("two-channel result cannot be written")
        << QStringList{"--draw", "stereoblocked.wav"} << 1
        << QStringList{"stereoblocked.wav|Could not write stereoblocked_stereo.wav*|-"} << none
        << QString();
    QTest::newRow("CSV cannot be written")
        << QStringList{"--draw", "--blocks", "csvblocked.wav"} << 1
        << QStringList{"csvblocked.wav|Could not write csvblocked_blocks.csv*|-"} << none
        << QString();
    QTest::newRow("picture cannot be written")
        << QStringList{"--draw", "--png", "pngblocked.wav", "good.wav"} << 1
        << QStringList{"pngblocked.wav|Could not write pngblocked_graph.png*|-", "good.wav|ok|#"}
        << QStringList{"good_output.wav", "good_stereo.wav", "good_graph.png"} << QString();

    // Results that reach something else, inputs that are no regular files,
    // recordings whose results coincide, and what an interrupted run left.
    const auto refusedAs = [](const QString &recording, const QString &result, const QString &why) {
        return QStringList{recording + "|Could not write " + result + ": " + why + "|-"};
    };
    QTest::newRow("result a link to a device")
        << QStringList{"devnull.wav"} << 1
        << refusedAs("devnull.wav", "devnull_output.wav", "not a regular file") << none
        << QString();
    QTest::newRow("result a link to the recording")
        << QStringList{"self.wav"} << 1
        << refusedAs("self.wav", "self_output.wav", "it is the same file as self.wav") << none
        << QString();
    QTest::newRow("recording a link to its result")
        << QStringList{"linked.wav"} << 1
        << refusedAs("linked.wav", "linked_output.wav", "it is the same file as linked.wav") << none
        << QString();
    QTest::newRow("recording a FIFO")
        << QStringList{"--draw", "fifo.wav", "good.wav"} << 1
        << QStringList{"fifo.wav|Not a WAV-file|-", "good.wav|ok|#"}
        << QStringList{"good_output.wav", "good_stereo.wav"} << QString();
    QTest::newRow("--marker a FIFO") << QStringList{"--draw", "--marker", "fifo.wav", "good.wav"}
                                     << 2 << none << none << QString();
    QTest::newRow("--marker a missing file")
        << QStringList{"--draw", "--marker", "nothere.dat", "good.wav"} << 2 << none << none
        << QString();
    QTest::newRow("same result names, 2 jobs")
        << QStringList{"--jobs", "2", "take.wav", "take.WAV"} << 1
        << QStringList{"take.wav|ok|-", "take.WAV|Same result names as take.wav|-"}
        << QStringList{"take_output.wav"} << QString();
    QTest::newRow("a recording that is an earlier one's result")
        << QStringList{"good.wav", "good_output.wav"} << 1
        << QStringList{"good.wav|ok|-", "good_output.wav|It is a result of good.wav|-"}
        << QStringList{"good_output.wav"} << QString();
    QTest::newRow("leftovers of an interrupted run")
        << QStringList{"left.wav"} << 0 << QStringList{"left.wav|ok|-"}
        << QStringList{"left_output.wav", "-left_output.wav.Qw3rTy"} << QString();
    const QString longName = QString(244, 'l') + ".wav";
    QTest::newRow("result name too long to replace safely")
        << QStringList{longName} << 1
        << refusedAs(longName, QString(244, 'l') + "_output.wav",
                     "file name too long to replace safely")
        << none << QString();
    QTest::newRow("--make-demo, marker.dat cannot be written")
        << QStringList{"--make-demo", "demo"} << 1 << none << none << QString();

    QTest::newRow("no recording") << none << 2 << none << none << QString();
    QTest::newRow("--draw and no recording")
        << QStringList{"--draw"} << 2 << none << none << QString();
    QTest::newRow("--jobs 0") << QStringList{"--jobs", "0", "good.wav"} << 2 << none << none
                              << QString();
    QTest::newRow("--jobs not a number")
        << QStringList{"--jobs", "two", "good.wav"} << 2 << none << none << QString();
    QTest::newRow("--jobs beyond the limit")
        << QStringList{"--jobs", "1000000000000", "good.wav"} << 2 << none << none << QString();
    QTest::newRow("--jobs with a blank")
        << QStringList{"--jobs", " 2", "good.wav"} << 2 << none << none << QString();
    QTest::newRow("unknown option")
        << QStringList{"--bogus", "good.wav"} << 2 << none << none << QString();
    QTest::newRow("--png without --draw")
        << QStringList{"--png", "good.wav"} << 2 << none << none << QString();
    QTest::newRow("--blocks without --draw")
        << QStringList{"--blocks", "good.wav"} << 2 << none << none << QString();
    QTest::newRow("--marker without its file")
        << QStringList{"good.wav", "--marker"} << 2 << none << none << QString();

    QTest::newRow("--help") << QStringList{"--help", "good.wav"} << 0 << none << none
                            << QStringLiteral("--draw");
    QTest::newRow("--version") << QStringList{"--version", "good.wav"} << 0 << none << none
                               << QStringLiteral("quorvane-batch " QUORVANE_VERSION);
    QTest::newRow("--make-demo into a file")
        << QStringList{"--make-demo", "good.wav/demo"} << 1 << none << none << QString();
}

// Every row runs in a folder holding good, refused and blocked recordings,
// earlier results of all of them, a template and a user's own tmp.wav.
void TestBatch::exitCodes()
{
    QFETCH(QStringList, args);
    QFETCH(int, exitCode);
    QFETCH(QStringList, results);
    QFETCH(QStringList, written);
    QFETCH(QString, stdoutHas);
#ifndef Q_OS_UNIX
    const QString tag = QString::fromLatin1(QTest::currentDataTag());
    if (tag.contains("link") || tag.contains("FIFO") || tag.contains("leftovers"))
        QSKIP("links, FIFOs and planted leftovers are made on POSIX systems only");
#endif

    const QByteArray good = recording(bandSignal(16384, 1e8, 3));
    const std::vector<std::int32_t> few(3000, 5);
    const std::map<QString, QByteArray> files = {
        {"good.wav", good},
        {"text.wav", "plain text, not audio at all............"},
        {"text_output.wav", "earlier text output"},
        {"text_stereo.wav", "earlier text stereo"},
        {"pcm16.wav", recording(few, 16384, 16)},
        {"pcm16_output.wav", "earlier pcm16 output"},
        {"pcm16_stereo.wav", "earlier pcm16 stereo"},
        {"pcm16_blocks.csv", "earlier pcm16 blocks"},
        {"pcm16_graph.png", "earlier pcm16 picture"},
        {"cd.wav", recording(few, 44100, 32)},
        {"cd_output.wav", "earlier cd output"},
        {"missing_output.wav", "earlier missing output"},
        {"blocked.wav", good},
        {"stereoblocked.wav", good},
        {"csvblocked.wav", good},
        {"pngblocked.wav", good},
        {"marker.dat", markerBytes(demo30.marker)},
        {"tmp.wav", "the user's own tmp.wav"},
    };
    for (const auto &file : files) {
        QVERIFY(writeFile(path(file.first), file.second));
        QVERIFY(makeOld(path(file.first)));
    }
    // A folder where a result should go cannot be replaced, even by root.
    for (const char *blocked :
         {"blocked_output.wav", "stereoblocked_stereo.wav", "csvblocked_blocks.csv",
          "pngblocked_graph.png", "demo", "demo/marker.dat"})
        QVERIFY(QDir(work->path()).mkdir(blocked));
#ifdef Q_OS_UNIX
    for (const char *entry :
         {"devnull_output.wav->/dev/null", "self_output.wav->self.wav", "linked_output.wav",
          "linked.wav->linked_output.wav", "fifo.wav|", "left_output.wav.Qw3rTy:left",
          "left_output.wav.Qw3rT:kept", "left_output.wav.Qw-rTy:kept", "left.wav.Qw3rTy:kept",
          "demo/recording.wav:earlier demo"})
        QVERIFY2(fileentries::create(QDir(work->path()), entry, good), entry);
#endif
    for (const QString &name :
         {QStringLiteral("devnull.wav"), QStringLiteral("self.wav"), QStringLiteral("take.wav"),
          QStringLiteral("take.WAV"), QStringLiteral("left.wav"), QString(244, 'l') + ".wav"})
        QVERIFY(writeFile(path(name), good));
    const std::map<QString, FileState> before = snapshot(work->path());
    const auto entriesBefore = fileentries::state(QDir(work->path()));
    const auto demoBefore = fileentries::state(QDir(path("demo")));

    BatchRun run;
    {
        // Anything waiting on the FIFO is freed, and fails the row.
        fileentries::FifoWatchdog watchdog(QDir(work->path()), std::chrono::seconds(10));
        run = runBatch(args, work->path());
        QVERIFY2(!watchdog.hasFired(), "the run waited on a FIFO");
    }
    QVERIFY(run.exitedNormally);
    QCOMPARE(run.exitCode, exitCode);

    if (!stdoutHas.isEmpty()) {
        QVERIFY2(run.text().contains(stdoutHas), run.out.constData());
    } else {
        const QStringList lines = run.lines();
        QCOMPARE(lines.size(), results.size());
        for (int i = 0; i < lines.size(); ++i) {
            const QStringList fields = lines[i].split('\t');
            const QString expectedPath = results[i].section('|', 0, 0);
            const QString expectedStatus = results[i].section('|', 1, 1);
            QCOMPARE(fields.value(0), expectedPath);
            if (expectedStatus.endsWith('*'))
                QVERIFY2(fields.value(1).startsWith(expectedStatus.chopped(1)),
                         qPrintable(fields.value(1)));
            else
                QCOMPARE(fields.value(1), expectedStatus);
            const bool analysed = results[i].section('|', 2) == "#";
            checkAnalysisFields(fields, analysed);
            if (analysed)
                QCOMPARE(fields[2].toLongLong(), qint64(good.size() / 4) - kLeadInWords);
        }
    }
    if (exitCode == 2)
        QVERIFY(run.err.contains("quorvane-batch: "));

    // The written files are new; everything else is untouched, byte for
    // byte and in its time; no scratch file appears.
    const std::map<QString, FileState> after = snapshot(work->path());
    QStringList expectedNames = names(before);
    for (const QString &name : written)
        if (name.startsWith('-'))
            expectedNames.removeOne(name.mid(1));
        else
            expectedNames << name;
    expectedNames.sort();
    QCOMPARE(names(after), expectedNames);
    // Links, FIFOs and the devices they reach are as they were.
    auto entriesAfter = fileentries::state(QDir(work->path()));
    for (const auto &entry : entriesBefore)
        if (!written.contains(entry.first) && !written.contains('-' + entry.first))
            QVERIFY2(entriesAfter[entry.first] == entry.second, qPrintable(entry.first));
    QCOMPARE(fileentries::state(QDir(path("demo"))), demoBefore);
#ifdef Q_OS_UNIX
    QVERIFY(QFileInfo("/dev/null").exists() && !QFileInfo("/dev/null").isFile());
#endif
    for (const auto &entry : before) {
        if (written.contains('-' + entry.first))
            continue;
        const FileState &now = after.at(entry.first);
        QVERIFY2(now.bytes == entry.second.bytes, qPrintable(entry.first));
        QVERIFY2(now.isDir || now.modified == entry.second.modified, qPrintable(entry.first));
    }
    for (const QString &name : written) {
        if (name.startsWith('-'))
            continue;
        WavFile file;
        QVERIFY2(!name.endsWith(".wav") || (file.openRead(path(name)) && file.hasAnalysisFormat()),
                 qPrintable(name));
    }
}

void TestBatch::jobsGiveSameFiles_data()
{
    QTest::addColumn<QString>("jobs");
    QTest::newRow("2 jobs") << QStringLiteral("2");
    QTest::newRow("more jobs than recordings") << QStringLiteral("9");
}

void TestBatch::jobsGiveSameFiles()
{
    QFETCH(QString, jobs);

    const std::map<QString, QByteArray> files = {
        {"a.wav", recording(makeDemoRecording(2, 1).samples)},
        {"b.wav", recording(bandSignal(3 * 16384, 3e5, 2))},
        {"c.wav", "not a recording, refused in the middle"},
        {"d.wav", recording(makeDemoRecording(1, 7).samples)},
        {"e.wav", recording(makeDemoRecording(3, 9).samples)},
        {"marker.dat", markerBytes(demo30.marker)},
    };
    const QString one = folder(QStringLiteral("one"));
    const QString many = folder(QStringLiteral("many"));
    for (const QString &dir : {one, many})
        for (const auto &file : files)
            QVERIFY(writeFile(dir + '/' + file.first, file.second));

    const QStringList recordings{"a.wav", "b.wav", "c.wav", "d.wav", "e.wav"};
    const QStringList options{"--draw", "--blocks", "--png", "--jobs"};
    const BatchRun serial = runBatch(options + QStringList{"1"} + recordings, one);
    const BatchRun parallel = runBatch(options + QStringList{jobs} + recordings, many);
    QVERIFY(serial.exitedNormally && parallel.exitedNormally);
    QCOMPARE(serial.exitCode, 1);
    QCOMPARE(parallel.exitCode, 1);

    // The same lines, less the time, in the order of the recordings.
    const QStringList serialLines = serial.lines();
    const QStringList parallelLines = parallel.lines();
    QCOMPARE(serialLines.size(), recordings.size());
    QCOMPARE(parallelLines.size(), recordings.size());
    for (int i = 0; i < recordings.size(); ++i) {
        QCOMPARE(parallelLines[i].section('\t', 0, 0), recordings[i]);
        QCOMPARE(parallelLines[i].section('\t', 0, 4), serialLines[i].section('\t', 0, 4));
    }

    const std::map<QString, FileState> serialFiles = snapshot(one);
    const std::map<QString, FileState> parallelFiles = snapshot(many);
    QCOMPARE(names(parallelFiles), names(serialFiles));
    QCOMPARE(int(serialFiles.size()), int(files.size()) + 4 * 4);
    for (const auto &entry : serialFiles)
        QVERIFY2(parallelFiles.at(entry.first).bytes == entry.second.bytes,
                 qPrintable(entry.first));
}

// The demo folder holds the generated recording and its template, and the
// analysis of it shows the strongest event.
void TestBatch::demoPeakAtStrongestEvent()
{
    const BatchRun made = runBatch({"--make-demo", "made/demo"}, work->path());
    QVERIFY(made.exitedNormally);
    QCOMPARE(made.exitCode, 0);
    const QString dir = path(QStringLiteral("made/demo"));
    QCOMPARE(QDir(dir).entryList(QDir::AllEntries | QDir::NoDotAndDotDot),
             QStringList({"marker.dat", "recording.wav"}));

    const DemoRecording demo = makeDemoRecording(60);
    QCOMPARE(readFile(dir + "/marker.dat"), markerBytes(demo.marker));
    QCOMPARE(demo.marker.size(), std::size_t(1006));
    {
        WavFile wav;
        QVERIFY(wav.openRead(dir + "/recording.wav"));
        QVERIFY(wav.hasAnalysisFormat());
        QCOMPARE(wav.audioFormat().channelCount(), 1);
        QCOMPARE(wav.headerSize(), qint64(44));
        QCOMPARE(bytesToWords(wav.readAll()), demo.samples);
    }

    const BatchRun run = runBatch({"--draw", "recording.wav"}, dir);
    QVERIFY(run.exitedNormally);
    QCOMPARE(run.exitCode, 0);
    const QStringList fields = run.lines().value(0).split('\t');
    checkAnalysisFields(fields, true);
    QCOMPARE(fields[1], QStringLiteral("ok"));
    const int block = fields[3].toInt();

    // Each event's filtered ping in the display series (processed words from
    // word 48 on): the strongest is where the filtered signal is largest.
    const std::vector<std::int32_t> words = bytesToWords(readFile(dir + "/recording_output.wav"));
    const auto series = std::int64_t(words.size()) - kLeadInWords;
    std::int64_t strongestAt = -1;
    std::int64_t strongest = -1;
    QVERIFY(demo.eventStarts.size() >= 3);
    for (std::int64_t s : demo.eventStarts) {
        for (std::int64_t i = std::max<std::int64_t>(0, s - kLeadInWords);
             i < std::min(series, s - kLeadInWords + 3000); ++i) {
            const std::int64_t magnitude = std::llabs(words[std::size_t(i + kLeadInWords)]);
            if (magnitude > strongest) {
                strongest = magnitude;
                strongestAt = i;
            }
        }
    }
    const std::int64_t windowStart = std::int64_t(block) * 800;
    QVERIFY2(strongestAt >= windowStart && strongestAt < windowStart + 2400,
             qPrintable(QStringLiteral("peak block %1 shows series %2 to %3; the strongest ping "
                                       "peaks at %4")
                            .arg(block)
                            .arg(windowStart)
                            .arg(windowStart + 2399)
                            .arg(strongestAt)));
}

// From byte 192 on, the same samples give the same words and frames whether
// the recording's header is RIFF (44 bytes) or RF64 (80 bytes).
void TestBatch::rf64RecordingMatchesRiff()
{
    const std::vector<std::int32_t> &samples = demo30.samples;
    const std::vector<std::int32_t> later(samples.begin() + 9, samples.end());
    QVERIFY(writeFile(path("riff.wav"), recording(samples)));
    const QByteArray rf64 = rf64Header(HeaderFields(), later.size() * 4) + wordBytes(later);
    QVERIFY(writeFile(path("rf64.wav"), rf64));
    QVERIFY(writeFile(path("marker.dat"), markerBytes(demo30.marker)));

    const BatchRun run = runBatch({"--draw", "riff.wav", "rf64.wav"}, work->path());
    QVERIFY2(run.exitCode == 0, run.out.constData());
    const QStringList lines = run.lines();
    QCOMPARE(lines.size(), 2);
    QCOMPARE(lines[1].section('\t', 1, 4), lines[0].section('\t', 1, 4));

    const QByteArray output = readFile(path("rf64_output.wav"));
    QCOMPARE(output.left(192), rf64.left(192));
    QCOMPARE(output.mid(192), readFile(path("riff_output.wav")).mid(192));
    QCOMPARE(readFile(path("rf64_stereo.wav")), readFile(path("riff_stereo.wav")));
}

// A job whose memory runs out fails alone: a one-line error, and the next
// job in the same process succeeds.
void TestBatch::failedAllocationIsOneRecordingsError()
{
#if !defined(Q_OS_LINUX) || defined(__SANITIZE_ADDRESS__)
    QSKIP("needs RLIMIT_AS, which AddressSanitizer's reservations exceed");
#else
    QVERIFY(writeFile(path("first.wav"), recording(demo30.samples)));
    QVERIFY(writeFile(path("next.wav"), recording(demo30.samples)));
    BatchOptions options;
    options.draw = true;
    int channel[2];
    QVERIFY(pipe(channel) == 0);
    const pid_t child = fork();
    if (child == 0) {
        // Allow 32 MB more address space than is in use, and take all of it
        // in 64 KB pieces: the job's buffers cannot be had, small strings can.
        rlimit old{};
        testlimits::limitAddressSpace(rlim_t(32) << 20, &old);
        void *hog = nullptr;
        while (void *piece = std::malloc(64 << 10)) {
            *static_cast<void **>(piece) = hog;
            hog = piece;
        }
        const BatchResult first = runBatchJob(path("first.wav"), options);
        while (hog) {
            void *previous = *static_cast<void **>(hog);
            std::free(hog);
            hog = previous;
        }
        setrlimit(RLIMIT_AS, &old);
        BatchResult next = runBatchJob(path("next.wav"), options);
        commitBatchResults(next);
        const QByteArray report = (first.error + '\n' + next.error + '\n').toUtf8();
        const bool sent = write(channel[1], report.constData(), std::size_t(report.size()))
                          == ssize_t(report.size());
        _exit(sent ? 0 : 1);
    }
    ::close(channel[1]);
    QByteArray report;
    char buffer[512];
    for (ssize_t n; (n = read(channel[0], buffer, sizeof buffer)) > 0;)
        report.append(buffer, int(n));
    ::close(channel[0]);
    int status = 0;
    waitpid(child, &status, 0);
    QVERIFY2(WIFEXITED(status) && WEXITSTATUS(status) == 0, report.constData());
    const QList<QByteArray> errors = report.split('\n');
    QCOMPARE(errors.value(0), ("Not enough memory to process " + path("first.wav")).toUtf8());
    QCOMPARE(errors.value(1), QByteArray());
    QVERIFY(QFile::exists(path("next_stereo.wav")));
#endif
}

void TestBatch::csvHoldsSaturatedBlocks_data()
{
    QTest::addColumn<double>("value");
    QTest::newRow("NaN template") << std::nan("");
    QTest::newRow("infinite template") << HUGE_VAL;
}

// A template that makes every correlation undefined saturates the blocks:
// the CSV holds the block values (-2147483648), not rows mapped back.
void TestBatch::csvHoldsSaturatedBlocks()
{
    QFETCH(double, value);
    const QString dir = folder(QStringLiteral("saturated"));
    QVERIFY(writeFile(dir + "/rec.wav", recording(std::vector<std::int32_t>(6000, 1 << 20))));
    QVERIFY(writeFile(dir + "/marker.dat", markerBytes(std::vector<double>(1006, value))));
    const BatchRun run = runBatch({"--draw", "--blocks", "rec.wav"}, dir);
    QVERIFY2(run.exitCode == 0, run.err.constData());
    const QList<QByteArray> lines = readFile(dir + "/rec_blocks.csv").split('\n');
    QCOMPARE(lines.value(0), kCsvHeader);
    QCOMPARE(lines.value(2), QByteArray("1,-2147483648,-2147483648,-2147483648"));
}

void TestBatch::failedReadOfOwnFiles_data()
{
    QTest::addColumn<QString>("failing"); ///< the result whose temporary file fails to read
    QTest::newRow("the processed file read back") << "rec_output.wav";
    QTest::newRow("the blocks kept for the matches") << "rec_matches.csv";
}

// The files the job reads back (the processed file, and for a recording of
// more than 4096 blocks the blocks set aside for the matches) are checked
// reads like any other: a failure names the file and why, and nothing is
// committed.
void TestBatch::failedReadOfOwnFiles()
{
    QFETCH(QString, failing);
    const QString dir = folder(QStringLiteral("readback"));
    QVERIFY(writeFile(dir + "/rec.wav", recording(std::vector<std::int32_t>(16384 * 210, 0))));
    BatchOptions options;
    options.draw = options.matches = true;
    options.marker = dir + "/marker.dat";
    wavformat::setReadFault([&](const QIODevice &device) {
        const auto *file = qobject_cast<const QFileDevice *>(&device);
        return file && QFileInfo(file->fileName()).fileName().startsWith(failing + '.');
    });
    BatchResult result = runBatchJob(dir + "/rec.wav", options);
    wavformat::setReadFault({});
    QCOMPARE(result.error, "Could not read " + QDir::toNativeSeparators(dir + '/' + failing) + ": "
                               + wavformat::systemReason(EIO));
    commitBatchResults(result);
    QCOMPARE(QDir(dir).entryList(QDir::Files | QDir::Hidden), QStringList{"rec.wav"});
}

// QTEST_MAIN would pin fonts to 96 dpi, which neither program does: the
// application compared with the batch runs at the platform's own DPI, as
// the batch does, so that both draw their captions at one size.
int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    TestBatch test;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, argc, argv);
}

void TestBatch::commandLine_data()
{
    QTest::addColumn<QString>("script");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("stdoutHas");
    QTest::addColumn<QString>("stderrHas");
    QTest::addColumn<QStringList>("written");

    QTest::newRow("name not valid UTF-8")
        << R"sh("$B" "$(printf 'c\377.wav')")sh" << 1
        << "c\\xff.wav\tCould not read c\\xff.wav: not a valid file name here" << QString()
        << QStringList();
    QTest::newRow("tab and newline in a name")
        << R"sh("$B" "$(printf 'a\tb\nc.wav')")sh" << 0 << "a\\tb\\nc.wav\tok\t" << QString()
        << QStringList{"a\tb\nc_output.wav"};
    QTest::newRow("names like the toolkit's options")
        << R"sh("$B" -- -platform -reverse)sh" << 1
        << "-platform\tCould not read -platform: No such file or directory\t" << QString()
        << QStringList{"-rev_output.wav"};
    // Only pictures need the toolkit's platform: a machine without one
    // still runs both passes.
    QTest::newRow("no platform, no pictures")
        << R"sh(QT_QPA_PLATFORM=none "$B" --draw good.wav)sh" << 0 << "good.wav\tok\t"
        << QString() << QStringList{"good_output.wav", "good_stereo.wav"};
    QTest::newRow("standard output full")
        << R"sh("$B" good.wav >/dev/full)sh" << 1 << QString() << "No space left on device"
        << QStringList{"good_output.wav"};
    QTest::newRow("standard output closed")
        << R"sh("$B" good.wav >&-)sh" << 1 << QString() << "Bad file descriptor"
        << QStringList{"good_output.wav"};
    QTest::newRow("too many open files")
        << R"sh(ulimit -n 4; "$B" good.wav)sh" << 1
        << "good.wav\tCould not read good.wav: Too many open files\t" << QString() << QStringList();
    // A small file system of its own, in a namespace of the test's own.
    QTest::newRow("disk full")
        << R"sh(unshare -rm sh -c 'mount -t tmpfs -o size=300k none small && cd small &&
              cp ../good.wav . && "$B" good.wav; s=$?; ls; exit $s')sh"
        << 1 << "good.wav\tCould not write good_output.wav: No space left on device\t" << QString()
        << QStringList();
}

// Names arrive as the bytes given and are printed so that each stays on one
// line; a report that cannot be written fails the run.
void TestBatch::commandLine()
{
#ifndef Q_OS_UNIX
    QSKIP("the command lines are POSIX shell");
#endif
    QFETCH(QString, script);
    QFETCH(int, exitCode);
    QFETCH(QString, stdoutHas);
    QFETCH(QString, stderrHas);
    QFETCH(QStringList, written);

    if (script.startsWith("unshare") && QProcess::execute("unshare", {"-rm", "true"}) != 0)
        QSKIP("no user namespaces here");
    const QByteArray good = recording(bandSignal(60000, 1e8, 3));
    for (const char *name :
         {"good.wav", "-reverse", "a\tb\nc.wav", "c\uFFFD.wav", "c\uFFFD_output.wav"})
        QVERIFY(writeFile(path(QString::fromUtf8(name)), good));
    QVERIFY(QDir(work->path()).mkdir("small"));
    const auto before = fileentries::state(QDir(work->path()));

    // Whether the program starts at all under a descriptor limit is asked
    // of --version, not read from the row's own output.
    if (script.startsWith("ulimit -n")
        && runBatch({script.section(';', 0, 0) + R"sh(; "$B" --version)sh"}, work->path(), "bash")
               .out.isEmpty())
        QSKIP("this build needs more descriptors than that to start");
    const BatchRun run = runBatch({script}, work->path(), "bash");
    QVERIFY(run.exitedNormally);
    QCOMPARE(run.exitCode, exitCode);
    QVERIFY2(QString::fromUtf8(run.out).contains(stdoutHas), run.out.constData());
    QVERIFY2(QString::fromUtf8(run.err).contains(stderrHas), run.err.constData());
    QVERIFY2(!run.out.contains(".XXXXXX") && !run.out.contains("good_output.wav."),
             run.out.constData()); // the small disk holds no temporary file

    auto after = fileentries::state(QDir(work->path()));
    for (const QString &name : written)
        QVERIFY2(after.erase(name) == 1, qPrintable(name));
    QCOMPARE(after, before);
}

void TestBatch::interruptRemovesTemporaries_data()
{
    QTest::addColumn<int>("signalNumber");
#ifdef Q_OS_WIN
    QTest::newRow("Ctrl+Break") << 0;
#else
    QTest::newRow("SIGTERM") << int(SIGTERM);
    QTest::newRow("SIGINT") << int(SIGINT);
#endif
}

// An interrupted run removes the temporary files of the results it was
// writing, keeps the earlier results and ends as interrupted.
void TestBatch::interruptRemovesTemporaries()
{
    QFETCH(int, signalNumber);
    // Long enough to be caught mid-way: ten minutes of silence.
    QVERIFY(writeFile(path("long.wav"), recording(std::vector<std::int32_t>(16384 * 600, 0))));
    QVERIFY(writeFile(path("long_output.wav"), "earlier output"));
    const auto before = fileentries::state(QDir(work->path()));

    QProcess process;
    process.setWorkingDirectory(work->path());
#ifdef Q_OS_WIN
    // The run's own event stands in for the console, which the tests lack.
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert("QUORVANE_INTERRUPT_EVENT", "1");
    process.setProcessEnvironment(environment);
    process.start(QStringLiteral(QUORVANE_BATCH), {"--draw", "long.wav"});
#else
    // Hiding /proc makes the toolkit write its temporary files under
    // "<name>.XXXXXX" names, as it does where unnamed ones do not exist.
    if (QProcess::execute("unshare", {"-rm", "true"}) != 0)
        QSKIP("no user namespaces here");
    process.start("unshare",
                  {"-rm", "sh", "-c", "mount -t tmpfs none /proc && exec \"$0\" --draw long.wav",
                   QStringLiteral(QUORVANE_BATCH)});
#endif
    QVERIFY(process.waitForStarted());
    const QRegularExpression temporary("^long_output\\.wav\\.[A-Za-z0-9]{6}$");
    QElapsedTimer timer;
    timer.start();
    bool seen = false;
    while (!seen && timer.elapsed() < 20000 && process.state() == QProcess::Running) {
        seen = !QDir(work->path()).entryList(QDir::Files).filter(temporary).isEmpty();
        QThread::msleep(2);
    }
    QVERIFY2(seen, "no temporary file was seen while the run went on");
#ifdef Q_OS_WIN
    Q_UNUSED(signalNumber);
    const std::wstring name =
        L"Local\\quorvane-batch-interrupt-" + std::to_wstring(process.processId());
    HANDLE event = OpenEventW(EVENT_MODIFY_STATE, FALSE, name.c_str());
    QVERIFY(event);
    QVERIFY(SetEvent(event));
    CloseHandle(event);
    QVERIFY(process.waitForFinished(20000));
    QCOMPARE(quint32(process.exitCode()), 0xC000013Au);
#else
    ::kill(pid_t(process.processId()), signalNumber);
    QVERIFY(process.waitForFinished(20000));
#endif
    QCOMPARE(process.exitStatus(), QProcess::CrashExit);
    QCOMPARE(fileentries::state(QDir(work->path())), before);
}

void TestBatch::linksAndReasons_data()
{
    /// Entries as fileentries::create() takes them, besides the recordings
    /// a.wav to d.wav, marker.dat and list.txt (naming a.wav and b.wav).
    QTest::addColumn<QStringList>("entries");
    QTest::addColumn<QString>("script");
    QTest::addColumn<int>("exitCode");
    /// Lines (or their starts) of standard output, "%1" standing for the
    /// work folder.
    QTest::addColumn<QStringList>("lines");
    QTest::addColumn<QString>("stderrHas");
    QTest::addColumn<QStringList>("written");

    const QString loop = QStringLiteral("Too many levels of symbolic links");
    QTest::newRow("result a link to nothing")
        << QStringList{"a_output.wav->nowhere/a.wav"} << R"sh("$B" a.wav)sh" << 1
        << QStringList{"a.wav\tCould not write a_output.wav: it is a link to a missing file\t"}
        << QString() << QStringList();
    QTest::newRow("result a link to the template")
        << QStringList{"a_stereo.wav->marker.dat"} << R"sh("$B" --draw a.wav b.wav)sh" << 1
        << QStringList{"a.wav\tCould not write a_stereo.wav: it is the same file as marker.dat\t",
                       "b.wav\tok\t"}
        << QString() << QStringList{"b_output.wav", "b_stereo.wav"};
    QTest::newRow("result a link to a later recording")
        << QStringList{"a_output.wav->c.wav"} << R"sh("$B" a.wav c.wav)sh" << 1
        << QStringList{"a.wav\tCould not write a_output.wav: it is the same file as c.wav\t",
                       "c.wav\tok\t"}
        << QString() << QStringList{"c_output.wav"};
    QTest::newRow("result a link to the list")
        << QStringList{"b_output.wav->list.txt"} << R"sh("$B" --list list.txt)sh" << 1
        << QStringList{"%1/a.wav\tok\t", "%1/b.wav\tCould not write %1/b_output.wav: it is the "
                                            "same file as list.txt\t"}
        << QString() << QStringList{"a_output.wav"};
    QTest::newRow("recording a link loop, in parallel")
        << QStringList{"loop1->loop2", "loop2->loop1"} << R"sh("$B" --jobs 2 loop1 a.wav)sh" << 1
        << QStringList{"loop1\tCould not read loop1: " + loop + "\t", "a.wav\tok\t"}
        << QString() << QStringList{"a_output.wav"};
    QTest::newRow("--marker a link loop")
        << QStringList{"loop1->loop2", "loop2->loop1"} << R"sh("$B" --draw --marker loop1 a.wav)sh"
        << 2 << QStringList() << "--marker: loop1: " + loop << QStringList();
    QTest::newRow("--list a link loop")
        << QStringList{"loop1->loop2", "loop2->loop1"} << R"sh("$B" --list loop1)sh" << 2
        << QStringList() << "Could not read the list loop1: " + loop << QStringList();
    QTest::newRow("demo folder under a file")
        << QStringList() << R"sh("$B" --make-demo list.txt/demo)sh" << 1 << QStringList()
        << "Could not create list.txt/demo: Not a directory" << QStringList();
    // No signal ends the run: every recording is reported, in parallel too.
    QStringList tooLarge;
    for (const char *name : {"a", "b", "c", "d"})
        tooLarge << QStringLiteral("%1.wav\tCould not write %1_output.wav: File too large\t")
                        .arg(QLatin1String(name));
    QTest::newRow("file size limit, in parallel")
        << QStringList() << R"sh(ulimit -f 100; "$B" --jobs 4 a.wav b.wav c.wav d.wav)sh" << 1
        << tooLarge << QString() << QStringList();
}

// A result name that is a link to one of the run's inputs is refused before
// any work, naming the link; every failure gives the system's reason.
void TestBatch::linksAndReasons()
{
#ifndef Q_OS_UNIX
    QSKIP("links and limits as made here are POSIX only");
#else
    QFETCH(QStringList, entries);
    QFETCH(QString, script);
    QFETCH(int, exitCode);
    QFETCH(QStringList, lines);
    QFETCH(QString, stderrHas);
    QFETCH(QStringList, written);

    const QDir dir(work->path());
    const QByteArray good = recording(bandSignal(60000, 1e8, 3));
    for (const char *name : {"a.wav", "b.wav", "c.wav", "d.wav"})
        QVERIFY(writeFile(path(name), good));
    QVERIFY(writeFile(path("marker.dat"), QByteArray(8 * 1006, '\x01')));
    QVERIFY(writeFile(path("list.txt"), "a.wav\nb.wav\n"));
    for (const QString &entry : entries)
        QVERIFY2(fileentries::create(dir, entry, good), qPrintable(entry));
    const auto before = fileentries::state(dir);

    const BatchRun run = runBatch({script}, work->path(), "bash");
    QVERIFY(run.exitedNormally);
    QCOMPARE(run.exitCode, exitCode);
    const QString out = QString::fromUtf8(run.out);
    QCOMPARE(out.count('\n'), lines.size());
    for (QString line : lines) {
        line.replace("%1", work->path());
        QVERIFY2(out.contains(QRegularExpression("(^|\n)" + QRegularExpression::escape(line))),
                 qPrintable(out));
    }
    QVERIFY2(QString::fromUtf8(run.err).contains(stderrHas), run.err.constData());

    auto after = fileentries::state(dir);
    for (const QString &name : written)
        QVERIFY2(after.erase(name) == 1, qPrintable(name));
    QCOMPARE(after, before);
#endif
}

void TestBatch::matchOptionsRefused_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<QString>("message");
    const QStringList base{"--draw", "--matches"};
    QTest::newRow("zero") << base + QStringList{"--threshold", "0"} << "above 0";
    QTest::newRow("negative") << base + QStringList{"--threshold=-4"} << "above 0";
    QTest::newRow("NaN") << base + QStringList{"--threshold-value", "nan"} << "above 0";
    QTest::newRow("text") << base + QStringList{"--threshold", "many"} << "is not a number";
    QTest::newRow("|r| of 1") << base + QStringList{"--match-by", "correlation",
                                                    "--threshold-value", "1"}
                              << "between 0 and 1";
    QTest::newRow("k by |r|") << base + QStringList{"--match-by", "correlation", "--threshold", "3"}
                              << "--threshold is for --match-by detector";
    QTest::newRow("statistic") << base + QStringList{"--match-by", "energy"}
                               << "--match-by takes detector or correlation";
    QTest::newRow("both") << base + QStringList{"--threshold", "3", "--threshold-value", "9"}
                          << "not both";
    QTest::newRow("without --draw") << QStringList{"--labels"} << "need --draw";
    QTest::newRow("without --matches")
        << QStringList{"--draw", "--threshold", "3"} << "need --matches or --labels";
}

// A threshold that cannot be used ends the run before anything is written.
void TestBatch::matchOptionsRefused()
{
    QFETCH(QStringList, args);
    QFETCH(QString, message);
    QVERIFY(writeFile(path("rec.wav"), recording(bandSignal(20000, 1e6))));
    QVERIFY(writeFile(path("rec_matches.csv"), "earlier"));
    const auto before = fileentries::state(QDir(work->path()));
    const BatchRun run = runBatch(args + QStringList{"rec.wav"}, work->path());
    QCOMPARE(run.exitCode, 2);
    QVERIFY2(QString::fromLocal8Bit(run.err).contains(message), run.err.constData());
    QCOMPARE(fileentries::state(QDir(work->path())), before);
}

// The line keeps its columns and adds the number of matches; a lower
// threshold finds more.
void TestBatch::matchesColumnAndThresholds()
{
    QVERIFY(writeFile(path("rec.wav"), recording(demo30.samples)));
    QVERIFY(writeFile(path("marker.dat"), markerBytes(demo30.marker)));
    int previous = -1;
    for (const QStringList &threshold :
         {QStringList{"--threshold", "40"}, QStringList{"--threshold", "8"},
          QStringList{"--threshold-value", "2"}}) {
        const BatchRun run =
            runBatch(QStringList{"--draw", "--matches"} + threshold + QStringList{"rec.wav"},
                     work->path());
        QCOMPARE(run.exitCode, 0);
        const QStringList fields = run.lines().value(0).split('\t');
        QCOMPARE(fields.size(), 7);
        const int rows = readFile(path("rec_matches.csv")).count('\n') - 1;
        QCOMPARE(fields[6], QString::number(rows));
        QVERIFY2(rows > previous, qPrintable(threshold.join(' ')));
        previous = rows;
    }
    // Without --matches the line is as it was.
    const BatchRun plain = runBatch({"--draw", "rec.wav"}, work->path());
    QCOMPARE(plain.lines().value(0).split('\t').size(), 6);
}

#include "tst_batch.moc"
