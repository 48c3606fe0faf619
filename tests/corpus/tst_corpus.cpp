// The malformed-input corpus walked through the application's File > Open
// and Graph > Draw, through quorvane-batch and through the fuzz entries,
// together with the inputs the fuzzers once broke the program with; then
// the faults a disk or a changing file can cause. Every file lives in a
// folder whose name holds a space and non-ASCII letters, and every folder
// starts with earlier results and a user's own tmp.wav that must survive.

#include "app/mainwindow.h"
#include "common/apptest.h"
#include "common/fileentries.h"
#include "common/listenerrecorder.h"
#include "common/modalanswerer.h"
#include "common/testfiles.h"
#include "corpus/malformedcorpus.h"
#include "fuzzentries.h"
#include "wav/format/header.h"
#include "wav/passes/commands.h"
#include "wav/passes/wavfile.h"

#include <QAction>
#include <QDirIterator>
#include <QMenuBar>
#include <QProcess>
#include <QSettings>
#include <QTemporaryDir>
#include <QtTest>

using namespace apptest;
using namespace testfiles;

Q_DECLARE_METATYPE(corpus::Open)
Q_DECLARE_METATYPE(corpus::Draw)
Q_DECLARE_METATYPE(corpus::Recording)

namespace {

const QString kFolder = QStringLiteral("Mérés 1");
const QString kWrongFormat =
    QStringLiteral("Wrong file format \nYou need sampleRate = 16kHz bitsPerSample = 32bit");

bool graphMenuEnabled(MainWindow &window)
{
    for (QAction *a : window.menuBar()->actions())
        if (a->text() == QStringLiteral("&Graph"))
            return a->menu()->isEnabled();
    return false;
}

/// Checks that every entry of `before` is still there with the same bytes,
/// except those named in `written`, and that nothing else has appeared.
void compareFolder(const std::map<QString, FileState> &before,
                   const std::map<QString, FileState> &after, const QStringList &written)
{
    QStringList expectedNames = names(before);
    for (const QString &name : written)
        if (!expectedNames.contains(name))
            expectedNames << name;
    expectedNames.sort();
    QCOMPARE(names(after), expectedNames);
    for (const auto &entry : before) {
        if (written.contains(entry.first))
            continue;
        const FileState &now = after.at(entry.first);
        QVERIFY2(now.isDir == entry.second.isDir && now.bytes == entry.second.bytes,
                 qPrintable(entry.first));
    }
}

/// True when `path` holds a WAV file that passes the analysis format check,
/// with `channels` channels unless that is 0.
bool isResult(const QString &path, int channels = 0)
{
    WavFile file;
    return file.openRead(path) && file.hasAnalysisFormat()
           && (channels == 0 || file.audioFormat().channelCount() == channels);
}

/// The earlier files of a recording named `name`: its results and a user's
/// own tmp.wav. A result that is there already (a link) is kept.
void writeEarlierFiles(const QDir &dir, const QString &name)
{
    const QString base = name.chopped(4);
    const auto earlier = [&](const QString &file, const QByteArray &bytes) {
        return QFileInfo(dir.filePath(file)).isSymLink() || writeFile(dir.filePath(file), bytes);
    };
    QVERIFY(earlier(base + "_output.wav", "earlier output of " + name.toUtf8()));
    QVERIFY(earlier(base + "_stereo.wav", "earlier stereo of " + name.toUtf8()));
    QVERIFY(writeFile(dir.filePath("tmp.wav"), "the user's own tmp.wav"));
}

/// Puts the corpus recording `r` into `dir`, as what its entry says.
bool place(const QDir &dir, const corpus::Recording &r)
{
    const QString output = r.name.chopped(4) + "_output.wav";
    switch (r.entry) {
    case corpus::Entry::File:
        return writeFile(dir.filePath(r.name), r.bytes);
    case corpus::Entry::Folder:
        return dir.mkdir(r.name);
    case corpus::Entry::Fifo:
        return fileentries::create(dir, r.name + "|", {});
    case corpus::Entry::LinkToDevice:
        return fileentries::create(dir, r.name + "->/dev/null", {});
    case corpus::Entry::Link:
        return writeFile(dir.filePath(r.name + ".target"), r.bytes)
               && fileentries::create(dir, r.name + "->" + r.name + ".target", {});
    case corpus::Entry::ResultLinkToRecording:
        return writeFile(dir.filePath(r.name), r.bytes)
               && fileentries::create(dir, output + "->" + r.name, {});
    case corpus::Entry::ResultLinkToDevice:
        return writeFile(dir.filePath(r.name), r.bytes)
               && fileentries::create(dir, output + "->/dev/null", {});
    }
    return false;
}

/// Links and FIFOs are made as POSIX systems make them.
bool placeable(const corpus::Recording &r)
{
#ifdef Q_OS_UNIX
    Q_UNUSED(r);
    return true;
#else
    return r.entry == corpus::Entry::File || r.entry == corpus::Entry::Folder;
#endif
}

/// The message that refuses `r`'s result, its recording named `path`; the
/// names in it have the system's separators.
QString refusalText(const corpus::Recording &r, const QString &path)
{
    const QString shown = QDir::toNativeSeparators(path);
    return QStringLiteral("Could not write %1_output.wav: %2")
        .arg(shown.chopped(4), r.why.contains("%1") ? r.why.arg(shown) : r.why);
}


/// The status quorvane-batch --draw prints for a corpus recording.
QString batchStatus(const corpus::Recording &r)
{
    if (!r.sameResultsAs.isEmpty())
        return "Same result names as " + r.sameResultsAs;
    switch (r.open) {
    case corpus::Open::Refused:
        return refusalText(r, r.name);
    case corpus::Open::NotWav:
        return QString::fromLatin1(commands::notWavInput);
    case corpus::Open::WrongFormat:
        return QString(kWrongFormat).replace(" \n", " ");
    case corpus::Open::Processed:
        break;
    }
    return r.draw == corpus::Draw::NotWav ? QString::fromLatin1(commands::notWavProcessed)
                                          : QStringLiteral("ok");
}

const corpus::Template &goodTemplate()
{
    static const std::vector<corpus::Template> all = corpus::templates();
    for (const corpus::Template &t : all)
        if (t.name == QStringLiteral("marker-1006-values"))
            return t;
    return all.front();
}

} // namespace

class TestCorpus : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();

    void application_data();
    void application();
    void templates_data();
    void templates();
    void batch();
    void fuzzEntries_data();
    void fuzzEntries();

    void inputShrinks_data();
    void inputShrinks();
    void batchOnFullDisk_data();
    void batchOnFullDisk();

private:
    /// A new folder named kFolder inside a fresh folder of its own.
    QDir freshFolder();

    QTemporaryDir root;
    QTemporaryDir settingsDir;
    int folders = 0;
};

void TestCorpus::initTestCase()
{
    QVERIFY(root.isValid());
    QVERIFY(settingsDir.isValid());
    useTemporarySettings(settingsDir.path());
    // The passes log the time of day; the rows would drown in it.
    QLoggingCategory::setFilterRules(QStringLiteral("quorvane.pass.clock.debug=false"));
}

QDir TestCorpus::freshFolder()
{
    QDir dir(root.filePath(QString::number(folders++)));
    if (!dir.mkpath(kFolder) || !dir.cd(kFolder))
        qFatal("cannot make a test folder");
    return dir;
}

void TestCorpus::application_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<corpus::Open>("open");
    QTest::addColumn<corpus::Draw>("draw");
    QTest::addColumn<corpus::Recording>("r");
    for (const corpus::Recording &r : corpus::recordings())
        QTest::newRow(qPrintable(r.name)) << r.name << r.bytes << r.open << r.draw << r;
}

// File > Open, then Graph > Draw when it is offered, on each recording.
void TestCorpus::application()
{
    QFETCH(QString, name);
    QFETCH(QByteArray, bytes);
    QFETCH(corpus::Open, open);
    QFETCH(corpus::Draw, draw);
    QFETCH(corpus::Recording, r);
    const bool directory = r.entry == corpus::Entry::Folder;
    if (!placeable(r))
        QSKIP("links and FIFOs as made here are POSIX only");

    const QDir dir = freshFolder();
    const QString recording = dir.filePath(name);
    const QString base = recording.chopped(4);
    QVERIFY(place(dir, r));
    QVERIFY(writeFile(dir.filePath("marker.dat"), goodTemplate().bytes));
    writeEarlierFiles(dir, name);
    const auto before = snapshot(dir.path());

    if (directory) {
        // A file dialog never returns a folder; the command's check refuses
        // one all the same.
        WavFile file;
        QCOMPARE(commands::openChecked(file, recording, "refused"), QStringLiteral("refused"));
        QVERIFY(!file.isOpen());
        compareFolder(before, snapshot(dir.path()), {});
        return;
    }

    QVERIFY(QDir::setCurrent(dir.path()));
    MainWindow window;
    window.show();
    QList<SeenMessage> openMessages;
    {
        // Frees, and fails, an Open that waits on a FIFO.
        fileentries::FifoWatchdog watchdog(dir, std::chrono::seconds(5));
        ModalAnswerer answerer(recording);
        action(window, "&Open...")->trigger();
        QCOMPARE(answerer.fileDialogs, 1);
        openMessages = answerer.messages;
        QVERIFY(!watchdog.hasFired());
    }
    QStringList written;
    switch (open) {
    case corpus::Open::Processed:
        QCOMPARE(openMessages.size(), 0);
        QVERIFY(graphMenuEnabled(window));
        written << name.chopped(4) + "_output.wav";
        break;
    case corpus::Open::NotWav:
    case corpus::Open::WrongFormat:
        QCOMPARE(openMessages.size(), 1);
        QCOMPARE(openMessages[0].title, QStringLiteral("Warning"));
        QCOMPARE(openMessages[0].text, open == corpus::Open::NotWav
                                           ? QString::fromLatin1(commands::notWavInput)
                                           : kWrongFormat);
        QVERIFY(!graphMenuEnabled(window));
        break;
    case corpus::Open::Refused:
        QCOMPARE(openMessages.size(), 1);
        QCOMPARE(openMessages[0].text, refusalText(r, recording));
        QVERIFY(!graphMenuEnabled(window));
        break;
    }
#ifdef Q_OS_UNIX
    QVERIFY(QFileInfo("/dev/null").exists() && !QFileInfo("/dev/null").isFile());
#endif

    if (draw != corpus::Draw::Skipped) {
        ModalAnswerer answerer;
        action(window, "&Draw...")->trigger();
        QCOMPARE(answerer.messages.size(), 1);
        if (draw == corpus::Draw::Drawn) {
            QCOMPARE(answerer.messages[0].text, QStringLiteral("Drawing completed!"));
            written << name.chopped(4) + "_stereo.wav" << name.chopped(4) + "_matches.csv";
            QVERIFY(isResult(base + "_stereo.wav", 2));
        } else {
            QCOMPARE(answerer.messages[0].title, QStringLiteral("Warning"));
            QCOMPARE(answerer.messages[0].text, QString::fromLatin1(commands::notWavProcessed));
        }
    }
    if (open == corpus::Open::Processed) {
        // The lead-in is the input's first 192 bytes, so a header longer
        // than that may leave a processed file that is no WAV file itself.
        QCOMPARE(isResult(base + "_output.wav"), draw == corpus::Draw::Drawn);
        const qint64 samples = qMax<qint64>(0, bytes.size() / 4 - 48);
        QCOMPARE(QFileInfo(base + "_output.wav").size(), 192 + 4 * samples);
    }
    compareFolder(before, snapshot(dir.path()), written);
}

void TestCorpus::templates_data()
{
    QTest::addColumn<QByteArray>("marker");
    QTest::addColumn<bool>("missing");
    for (const corpus::Template &t : corpus::templates())
        QTest::newRow(qPrintable(t.name)) << t.bytes << t.missing;
}

// Every template draws, in the application and in the batch program alike,
// and both write the same two-channel file.
void TestCorpus::templates()
{
    QFETCH(QByteArray, marker);
    QFETCH(bool, missing);

    const QDir dir = freshFolder();
    const QByteArray input = recording(corpus::corpusSamples(12000));
    QVERIFY(writeFile(dir.filePath("éjjel.wav"), input));
    QVERIFY(writeFile(dir.filePath("batch.wav"), input));
    if (!missing)
        QVERIFY(writeFile(dir.filePath("marker.dat"), marker));
    writeEarlierFiles(dir, "éjjel.wav");

    QVERIFY(QDir::setCurrent(dir.path()));
    {
        MainWindow window;
        window.show();
        {
            ModalAnswerer answerer(dir.filePath("éjjel.wav"));
            action(window, "&Open...")->trigger();
            QCOMPARE(answerer.messages.size(), 0);
        }
        ModalAnswerer answerer;
        action(window, "&Draw...")->trigger();
        QCOMPARE(answerer.messages.size(), 1);
        QCOMPARE(answerer.messages[0].text, QStringLiteral("Drawing completed!"));
    }
    QVERIFY(isResult(dir.filePath("éjjel_stereo.wav"), 2));
    QCOMPARE(QFileInfo(dir.filePath("éjjel_stereo.wav")).size(),
             44 + wavformat::frameBytes(QFileInfo(dir.filePath("éjjel_output.wav")).size()));

    const BatchRun run = runBatch({"--draw", "batch.wav"}, dir.path());
    QCOMPARE(run.exitCode, 0);
    QCOMPARE(run.statuses()["batch.wav"], QStringLiteral("ok"));
    QCOMPARE(readFile(dir.filePath("batch_stereo.wav")),
             readFile(dir.filePath("éjjel_stereo.wav")));
    QCOMPARE(readFile(dir.filePath("tmp.wav")), QByteArray("the user's own tmp.wav"));
}

// The whole corpus in one batch run: one line per recording in the GUI's
// words, every earlier file of a refused recording as it was.
void TestCorpus::batch()
{
    const QDir dir = freshFolder();
    QVERIFY(writeFile(dir.filePath("marker.dat"), goodTemplate().bytes));
    QVERIFY(writeFile(dir.filePath("tmp.wav"), "the user's own tmp.wav"));
    QStringList args{"--draw", "--jobs", "2"};
    std::vector<corpus::Recording> recordings;
    for (const corpus::Recording &r : corpus::recordings()) {
        if (!placeable(r))
            continue;
        recordings.push_back(r);
        QVERIFY(place(dir, r));
        QVERIFY(writeFile(dir.filePath(r.name.chopped(4) + "_stereo.wav"), "earlier"));
        args << r.name;
    }
    const auto before = snapshot(dir.path());

    const BatchRun run = runBatch(args, dir.path());
    QCOMPARE(run.exitCode, 1);
    const std::map<QString, QString> statuses = run.statuses();
    QCOMPARE(statuses.size(), recordings.size());
    QStringList written;
    for (const corpus::Recording &r : recordings) {
        QCOMPARE(statuses.count(r.name), std::size_t(1));
        QVERIFY2(statuses.at(r.name) == batchStatus(r),
                 qPrintable(r.name + ": " + statuses.at(r.name)));
        if (!r.sameResultsAs.isEmpty())
            continue;
        // A recording's results are written together or not at all.
        if (r.draw == corpus::Draw::Drawn)
            written << r.name.chopped(4) + "_output.wav" << r.name.chopped(4) + "_stereo.wav";
    }
    compareFolder(before, snapshot(dir.path()), written);
}

void TestCorpus::fuzzEntries_data()
{
    QTest::addColumn<QByteArray>("entry");
    QTest::addColumn<QByteArray>("input");
    for (const corpus::Recording &r : corpus::recordings()) {
        for (const char *entry : {"header", "processing"})
            QTest::addRow("%s %s", entry, qPrintable(r.name)) << QByteArray(entry) << r.bytes;
        QTest::addRow("analysis %s", qPrintable(r.name))
            << QByteArray("analysis") << fuzzentries::analysisInput(r.bytes, goodTemplate().bytes);
    }
    const QByteArray processed = corpus::validHeader() + wordBytes(corpus::corpusSamples(3000));
    for (const corpus::Template &t : corpus::templates())
        QTest::addRow("analysis %s", qPrintable(t.name))
            << QByteArray("analysis") << fuzzentries::analysisInput(processed, t.bytes);

    // Inputs that once broke a promise, kept under the entry's name.
    QDirIterator found(qEnvironmentVariable("QUORVANE_TEST_DATA") + "/fuzz", QDir::Files,
                       QDirIterator::Subdirectories);
    while (found.hasNext()) {
        const QString file = found.next();
        const QString entry = QFileInfo(file).dir().dirName();
        QTest::addRow("%s %s", qPrintable(entry), qPrintable(QFileInfo(file).fileName()))
            << entry.toLatin1() << readFile(file);
    }
}

void TestCorpus::fuzzEntries()
{
    QFETCH(QByteArray, entry);
    QFETCH(QByteArray, input);
    QCOMPARE(fuzzentries::run(entry, input), QString());
}

void TestCorpus::inputShrinks_data()
{
    QTest::addColumn<bool>("draw");
    QTest::newRow("Open") << false;
    QTest::newRow("Draw") << true;
}

// The input loses its end after its header was checked: the command says so
// in one line naming the input, and the earlier result stays as it was.
void TestCorpus::inputShrinks()
{
    QFETCH(bool, draw);
    const QDir dir = freshFolder();
    const QString input = dir.filePath(draw ? "éjjel_output.wav" : "éjjel.wav");
    const QString output = dir.filePath(draw ? "éjjel_stereo.wav" : "éjjel_output.wav");
    QVERIFY(writeFile(input, recording(corpus::corpusSamples(40000))));
    QVERIFY(writeFile(output, "earlier result"));
    QVERIFY(writeFile(dir.filePath("marker.dat"), goodTemplate().bytes));
    const auto before = snapshot(dir.path());

    WavFile source;
    QCOMPARE(commands::openChecked(source, input, "refused"), QString());
    QVERIFY(QFile::resize(input, 44 + 4 * 1000));
    QString error;
    if (draw) {
        recorders::Listener ignore;
        QFile marker(dir.filePath("marker.dat"));
        QVERIFY(marker.open(QIODevice::ReadOnly));
        error = commands::analyseInto(source, output, &marker, ignore);
    } else {
        error = commands::filterInto(source, output, {});
    }
    source.close();

    QVERIFY2(error.contains(QDir::toNativeSeparators(input)), qPrintable(error));
    QVERIFY(!error.contains('\n'));
    auto expected = before;
    expected[QFileInfo(input).fileName()].bytes = readFile(input);
    compareFolder(expected, snapshot(dir.path()), {});
}

void TestCorpus::batchOnFullDisk_data()
{
    QTest::addColumn<int>("limitKiB");
    QTest::addColumn<QString>("failing");
    // The recording's output takes 240 KiB, its two-channel file 480 KiB.
    QTest::newRow("output") << 100 << "éjjel_output.wav";
    QTest::newRow("stereo") << 300 << "éjjel_stereo.wav";
}

// The disk fills up while the batch program writes a result: it reports
// the file, exits 1, and keeps every earlier file and no temporary one.
void TestCorpus::batchOnFullDisk()
{
#ifdef Q_OS_WIN
    QSKIP("a file size limit (ulimit -f) stands in for a full disk, and Windows has none");
#endif
    QFETCH(int, limitKiB);
    QFETCH(QString, failing);
    const QDir dir = freshFolder();
    QVERIFY(writeFile(dir.filePath("éjjel.wav"), recording(corpus::corpusSamples(60000))));
    QVERIFY(writeFile(dir.filePath("marker.dat"), goodTemplate().bytes));
    writeEarlierFiles(dir, "éjjel.wav");
    const auto before = snapshot(dir.path());

    const BatchRun run = runBatch({"--draw", "éjjel.wav"}, dir.path(), limitKiB);
    QCOMPARE(run.exitCode, 1);
    const QString status = run.statuses()["éjjel.wav"];
    QVERIFY2(status.startsWith("Could not write " + failing), qPrintable(status));
    QVERIFY2(!status.contains("Unknown error"), qPrintable(status));
    // The results of one recording are replaced together or not at all.
    compareFolder(before, snapshot(dir.path()), {});
}

QTEST_MAIN(TestCorpus)
#include "tst_corpus.moc"
