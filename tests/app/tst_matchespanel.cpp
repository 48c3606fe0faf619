// The Matches panel and the whole-recording strip in the window, and the
// match file Graph > Draw writes, against quorvane-batch's.

#include "app/mainwindow.h"

#include "batch/demorecording.h"
#include "common/apptest.h"
#include "common/modalanswerer.h"
#include "common/testfiles.h"
#include "graph/matchespanel.h"
#include "graph/recordingstrip.h"
#include "graph/widget.h"

#include <QComboBox>
#include <QLineEdit>
#include <QTableView>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

using namespace apptest;
using namespace testfiles;

class TestMatchesPanel : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void drawWritesTheBatchFile();
    void badThresholdChangesNothing_data();
    void badThresholdChangesNothing();
    void rowsAndStripMoveTheCloseUp();
    void noMatchSaysSo();

private:
    /// Opens and draws `dir`/rec.wav in `window`; false when a box said more
    /// than "Drawing completed!".
    bool openAndDraw(MainWindow &window, const QString &dir);

    QTemporaryDir settingsDir;
    QString startDir;
    DemoRecording demo;
};

void TestMatchesPanel::initTestCase()
{
    QVERIFY(settingsDir.isValid());
    useTemporarySettings(settingsDir.path());
    startDir = QDir::currentPath();
    demo = makeDemoRecording(30);
}

bool TestMatchesPanel::openAndDraw(MainWindow &window, const QString &dir)
{
    QDir::setCurrent(dir);
    window.show();
    {
        ModalAnswerer answerer(dir + "/rec.wav");
        action(window, QStringLiteral("&Open..."))->trigger();
        if (!answerer.messages.isEmpty())
            return false;
    }
    ModalAnswerer answerer;
    action(window, QStringLiteral("&Draw..."))->trigger();
    QDir::setCurrent(startDir);
    return answerer.messages.size() == 1
           && answerer.messages[0].text == QStringLiteral("Drawing completed!");
}

void TestMatchesPanel::drawWritesTheBatchFile()
{
    QTemporaryDir gui, batch;
    for (const QTemporaryDir *dir : {&gui, &batch}) {
        QVERIFY(writeFile(dir->filePath("rec.wav"), recording(demo.samples)));
        QVERIFY(writeFile(dir->filePath("marker.dat"), markerBytes(demo.marker)));
    }
    MainWindow window;
    QVERIFY(openAndDraw(window, gui.path()));
    const QByteArray csv = readFile(gui.filePath("rec_matches.csv"));

    const BatchRun run = runBatch({"--draw", "--matches", "--labels", "rec.wav"}, batch.path());
    QCOMPARE(run.exitCode, 0);
    QCOMPARE(readFile(batch.filePath("rec_matches.csv")), csv);
    const int rows = csv.count('\n') - 1;
    QCOMPARE(run.lines().value(0).split('\t').size(), 7);
    QCOMPARE(run.lines().value(0).split('\t').last(), QString::number(rows));
    QCOMPARE(readFile(batch.filePath("rec_labels.txt")).count('\n'), rows);

    // Every ping of the demo is a match, no further one, each within 2 ms.
    auto *panel = window.findChild<MatchesPanel *>();
    QCOMPARE(panel->model()->matchCount(), rows);
    QCOMPARE(std::size_t(rows), demo.eventStarts.size());
    const QList<QByteArray> lines = csv.split('\n');
    for (std::size_t i = 0; i < demo.eventStarts.size(); ++i) {
        const double time = lines[int(i) + 1].split(',')[0].toDouble();
        QVERIFY2(std::fabs(time - double(demo.eventStarts[i]) / 16384.0) <= 0.002,
                 lines[int(i) + 1].constData());
    }
    QVERIFY2(panel->headerText().startsWith(QStringLiteral("%1 matches by the detector").arg(rows)),
             qPrintable(panel->headerText()));
    QVERIFY2(panel->headerText().endsWith(gui.filePath("marker.dat") + " (1006 values)"),
             qPrintable(panel->headerText()));
}

void TestMatchesPanel::badThresholdChangesNothing_data()
{
    QTest::addColumn<QString>("text");
    for (const char *text : {"0", "-2", "nan", "inf", "eight", ""})
        QTest::newRow(text) << QString::fromLatin1(text);
}

void TestMatchesPanel::badThresholdChangesNothing()
{
    QFETCH(QString, text);
    QTemporaryDir dir;
    QVERIFY(writeFile(dir.filePath("rec.wav"), recording(demo.samples)));
    QVERIFY(writeFile(dir.filePath("marker.dat"), markerBytes(demo.marker)));
    MainWindow window;
    QVERIFY(openAndDraw(window, dir.path()));
    auto *panel = window.findChild<MatchesPanel *>();
    const QString header = panel->headerText();
    const int count = panel->model()->matchCount();
    const QByteArray csv = readFile(dir.filePath("rec_matches.csv"));

    panel->valueEdit()->setText(text);
    QTest::keyClick(panel->valueEdit(), Qt::Key_Return);
    QVERIFY(panel->messageText().startsWith("Threshold not changed: "));
    QCOMPARE(panel->headerText(), header);
    QCOMPARE(panel->model()->matchCount(), count);
    QCOMPARE(readFile(dir.filePath("rec_matches.csv")), csv);

    // A good one updates the list at once; the file stays the Draw's.
    QVERIFY(panel->applyThreshold("1000000"));
    QCOMPARE(panel->model()->matchCount(), 0);
    QVERIFY(panel->headerText().startsWith("No matches by the detector"));
    QVERIFY(panel->messageText().isEmpty());
    QCOMPARE(readFile(dir.filePath("rec_matches.csv")), csv);

    // An absolute value has none until one is entered: the list keeps its
    // threshold. By |r| the list takes 0.7.
    panel->ruleBox()->setCurrentIndex(1);
    QVERIFY(QMetaObject::invokeMethod(panel, "statisticChosen"));
    QCOMPARE(panel->threshold().value, 1000000.0);
    QVERIFY(!panel->messageText().isEmpty());
    panel->statisticBox()->setCurrentIndex(1);
    QVERIFY(QMetaObject::invokeMethod(panel, "statisticChosen"));
    QVERIFY2(panel->headerText().contains("by |r| above 0.7"), qPrintable(panel->headerText()));
}

void TestMatchesPanel::rowsAndStripMoveTheCloseUp()
{
    QTemporaryDir dir;
    QVERIFY(writeFile(dir.filePath("rec.wav"), recording(demo.samples)));
    QVERIFY(writeFile(dir.filePath("marker.dat"), markerBytes(demo.marker)));
    MainWindow window;
    auto *panel = window.findChild<MatchesPanel *>();
    QVERIFY(panel->headerText().contains("no Draw yet"));
    QVERIFY(openAndDraw(window, dir.path()));
    auto *widget = window.findChild<Widget *>();
    auto *strip = window.findChild<RecordingStrip *>();
    QTableView *table = panel->view();
    QVERIFY(panel->model()->matchCount() >= 3);
    QCOMPARE(strip->blockCount(), std::int64_t(widget->seriesLength() / 800 - 3));

    // Click the first row, then Down: the close-up marks each match's column.
    table->setFocus();
    QTest::mouseClick(table->viewport(), Qt::LeftButton, {},
                      table->visualRect(panel->model()->index(0, 1)).center());
    QCOMPARE(widget->currentPosition(), panel->model()->matchAt(0).column);
    QTest::keyClick(table, Qt::Key_Down);
    QCOMPARE(widget->currentPosition(), panel->model()->matchAt(1).column);

    // Sorted by strength, the strongest comes first.
    table->sortByColumn(MatchesModel::Strength, Qt::DescendingOrder);
    QTest::mouseClick(table->viewport(), Qt::LeftButton, {},
                      table->visualRect(panel->model()->index(0, 1)).center());
    const dsp::matches::Match strongest = panel->model()->matchAt(0);
    for (int row = 1; row < panel->model()->matchCount(); ++row)
        QVERIFY(panel->model()->matchAt(row).strength <= strongest.strength);
    QCOMPARE(widget->currentPosition(), strongest.column);

    // A click on the strip moves it to the strongest block of that pixel.
    const int x = strip->pixelOf(panel->model()->matchAt(1).column);
    QTest::mouseClick(strip, Qt::LeftButton, {}, QPoint(x, 20));
    QCOMPARE(widget->currentPosition(), int(strip->blockAt(x)));
    // The keys still move the close-up, one column at a time.
    widget->setFocus();
    QTest::keyClick(widget, Qt::Key_Left);
    QCOMPARE(widget->currentPosition(), int(strip->blockAt(x)) - 1);
}

void TestMatchesPanel::noMatchSaysSo()
{
    QTemporaryDir dir;
    QVERIFY(writeFile(dir.filePath("rec.wav"), recording(bandSignal(60000, 4e5, 3))));
    MainWindow window; // no marker.dat: the empty template matches nothing
    QVERIFY(openAndDraw(window, dir.path()));
    auto *panel = window.findChild<MatchesPanel *>();
    QCOMPARE(panel->model()->matchCount(), 0);
    QVERIFY2(panel->headerText().startsWith("No matches"), qPrintable(panel->headerText()));
    QCOMPARE(readFile(dir.filePath("rec_matches.csv")),
             QByteArray("time_s,sample,block,strength,correlation\n"));
}

QTEST_MAIN(TestMatchesPanel)
#include "tst_matchespanel.moc"
