#include "app/mainwindow.h"

#include "common/apptest.h"
#include "common/fileentries.h"
#include "common/modalanswerer.h"
#include "common/signals.h"
#include "common/testfiles.h"
#include "graph/widget.h"
#include "wav/format/header.h"
#include "wav/passes/wavfile.h"
#include "reference/literalanalysis.h"
#include "reference/literalfilter.h"

#include <QAction>
#include <QMenuBar>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QScreen>
#include <QScrollArea>
#include <QScrollBar>
#include <QSettings>
#include <QStatusBar>
#include <QTemporaryDir>
#include <QtTest>

#include <csignal>
#include <functional>

#ifndef Q_OS_WIN
#include <sys/resource.h>
#include <unistd.h>
#endif

using namespace apptest;
using namespace testfiles;

namespace {

QMenu *menu(MainWindow &window, const QString &title)
{
    for (QAction *a : window.menuBar()->actions())
        if (a->text() == title)
            return a->menu();
    return nullptr;
}

QPlainTextEdit *hiddenEditor()
{
    for (QWidget *w : QApplication::allWidgets())
        if (auto *editor = qobject_cast<QPlainTextEdit *>(w))
            return editor;
    return nullptr;
}

/// Picks `file` with File > Open in `window`, shown first, answering every
/// box; the boxes it showed.
QList<SeenMessage> openAnswered(MainWindow &window, const QString &file)
{
    window.show();
    ModalAnswerer answerer(file);
    action(window, "&Open...")->trigger();
    return answerer.messages;
}

QSettings windowSettings()
{
    return QSettings(MainWindow::settingsFormat, QSettings::UserScope,
                     QString::fromLatin1(MainWindow::settingsOrganization),
                     QString::fromLatin1(MainWindow::settingsApplication));
}

const QString wrongFormat =
    QStringLiteral("Wrong file format \nYou need sampleRate = 16kHz bitsPerSample = 32bit");
const QString finishedText =
    QStringLiteral("Data processing finished. Press 'Graph->Draw' to draw graphs");

std::vector<double> testMarker()
{
    std::vector<double> marker(1006);
    for (std::size_t k = 0; k < marker.size(); ++k)
        marker[k] = 4000.0 * std::sin(2 * M_PI * 140 * double(k) / 16384.0)
                    * std::sin(M_PI * double(k) / 1006.0);
    return marker;
}

/// Names the document `name` through saveAs(), which sets the base name the
/// Draw command reads from, then runs Graph > Draw; `messages` gets the boxes
/// shown. False when saveAs() could not be called.
bool drawNamed(MainWindow &window, const QString &name, QList<SeenMessage> &messages)
{
    {
        ModalAnswerer accept(name);
        if (!QMetaObject::invokeMethod(&window, "saveAs"))
            return false;
    }
    ModalAnswerer answerer;
    action(window, "&Draw...")->trigger();
    messages = answerer.messages;
    return true;
}

/// Calls `call` whenever `target` receives an event of `type`.
class EventHook : public QObject
{
public:
    EventHook(QObject *target, QEvent::Type type, std::function<void()> call)
        : type(type), call(std::move(call))
    {
        target->installEventFilter(this);
    }
    bool eventFilter(QObject *, QEvent *event) override
    {
        if (event->type() == type)
            call();
        return false;
    }

private:
    QEvent::Type type;
    std::function<void()> call;
};

} // namespace

class TestMainWindow : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void startupState();
    void storedGeometry();
    void geometryFitsScreen_data();
    void geometryFitsScreen();
    void graphAreaScrolls_data();
    void graphAreaScrolls();
    void closeStoresGeometry();
    void closeWithModifiedDocument_data();
    void closeWithModifiedDocument();
    void aboutBox();
    void saveAsSetsTheDrawName();

    void openProcessesFile();
    void openRefusals_data();
    void openRefusals();
    void openCancelled();
    void openCannotWrite();
    void fullDiskLeavesNothingBehind();

    void drawWritesStereoFile();
    void drawRefusals_data();
    void drawRefusals();
    void drawCannotWrite();
    void fileSafety_data();
    void fileSafety();
    void overviewShowsOneRecording();
    void outputNames_data();
    void outputNames();
    void resultHeldOpen_data();
    void resultHeldOpen();
    void openWarnsOfInputLevel_data();
    void openWarnsOfInputLevel();
    void arrowKeysWorkAfterDraw();
    void closeDuringDraw_data();
    void closeDuringDraw();
    void drawNamesMissingTemplate_data();
    void drawNamesMissingTemplate();

private:
    QString path(const QString &name) const { return work.filePath(name); }

    QTemporaryDir settingsDir;
    QTemporaryDir work;
    QString startDir;
};

void TestMainWindow::initTestCase()
{
    Q_INIT_RESOURCE(images);
    QVERIFY(settingsDir.isValid());
    useTemporarySettings(settingsDir.path());
    QCoreApplication::setApplicationName(QStringLiteral("Quorvane rarev"));
    startDir = QDir::currentPath();
}

void TestMainWindow::init()
{
    windowSettings().clear();
    work.~QTemporaryDir();
    new (&work) QTemporaryDir;
    QVERIFY(work.isValid());
    QDir::setCurrent(work.path());
}

void TestMainWindow::cleanup()
{
    QDir::setCurrent(startDir);
}

void TestMainWindow::startupState()
{
    MainWindow window;
    // A title bar with minimise and close buttons and no maximise button.
    QCOMPARE(window.windowFlags(), Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint
                                       | Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint
                                       | Qt::WindowCloseButtonHint);
    QCOMPARE(window.windowFilePath(), QStringLiteral("Convert file"));
    QVERIFY(window.windowTitle().contains(QStringLiteral("Convert file")));
    QVERIFY(!window.isWindowModified());

    QStringList titles;
    for (QAction *a : window.menuBar()->actions())
        if (!a->isSeparator())
            titles << a->text();
    QCOMPARE(titles, QStringList({"&File", "&Graph", "&Help"}));
    QVERIFY(menu(window, "&File")->isEnabled());
    QVERIFY(!menu(window, "&Graph")->isEnabled());
    QVERIFY(menu(window, "&Help")->isEnabled());

    struct Expected
    {
        const char *text;
        QKeySequence::StandardKey key;
        const char *tip;
    };
    const Expected expected[] = {{"&Open...", QKeySequence::Open, "Open an existing file"},
                                 {"E&xit", QKeySequence::Quit, "Exit the application"},
                                 {"&Draw...", QKeySequence::UnknownKey, "Draw..."},
                                 {"About autors", QKeySequence::UnknownKey, ""}};
    for (const Expected &e : expected) {
        QAction *a = action(window, QString::fromLatin1(e.text));
        QVERIFY2(a, e.text);
        QVERIFY(a->isEnabled());
        QCOMPARE(a->statusTip(), QString::fromLatin1(e.tip));
        QCOMPARE(a->shortcuts(), QKeySequence::keyBindings(e.key));
    }
    // The icon draws something: not a null pixmap, not fully transparent.
    QImage clear(32, 32, QImage::Format_ARGB32_Premultiplied);
    clear.fill(Qt::transparent);
    const QImage icon = action(window, "&Open...")->icon().pixmap(32, 32).toImage();
    QCOMPARE(icon.size(), clear.size());
    QVERIFY(icon.convertToFormat(clear.format()) != clear);

    QCOMPARE(window.statusBar()->currentMessage(), QStringLiteral("Ready"));
    QVERIFY(window.findChild<QProgressBar *>()->isHidden());
    QVERIFY(window.findChild<Widget *>()->isHidden());
    // 900 x 900 at (100, 100), as much of it as the screen has room for.
    const QRect available = QGuiApplication::primaryScreen()->availableGeometry();
    QCOMPARE(window.size(), QSize(900, 900).boundedTo(available.size()));
    QVERIFY(available.contains(window.geometry()));
    if (available.contains(QRect(100, 100, 900, 900)))
        QCOMPARE(window.pos(), QPoint(100, 100));
}

void TestMainWindow::geometryFitsScreen_data()
{
    QTest::addColumn<QRect>("stored");
    QTest::addColumn<QRect>("available");
    QTest::addColumn<QRect>("opened");

    const QRect laptop(0, 0, 1366, 740);
    QTest::newRow("fits") << QRect(100, 100, 900, 900) << QRect(0, 0, 1920, 1040)
                          << QRect(100, 100, 900, 900);
    QTest::newRow("too tall") << QRect(100, 100, 900, 900) << laptop << QRect(100, 0, 900, 740);
    QTest::newRow("from a larger screen") << QRect(0, 0, 1920, 1061) << laptop << laptop;
    QTest::newRow("on a screen gone") << QRect(2000, 900, 900, 700) << laptop
                                      << QRect(466, 40, 900, 700);
    QTest::newRow("panel on top") << QRect(100, 0, 900, 900) << QRect(0, 30, 1366, 738)
                                  << QRect(100, 30, 900, 738);
    QTest::newRow("no screen") << QRect(100, 100, 900, 900) << QRect()
                               << QRect(100, 100, 900, 900);
}

void TestMainWindow::geometryFitsScreen()
{
    QFETCH(QRect, stored);
    QFETCH(QRect, available);
    QFETCH(QRect, opened);
    QCOMPARE(MainWindow::fittedGeometry(stored, available), opened);
}

// The graph area keeps its 900 x 800 in a window of any size: scroll bars
// reach what does not fit, and a window large enough has none.
void TestMainWindow::graphAreaScrolls_data()
{
    QTest::addColumn<QSize>("size");
    QTest::addColumn<bool>("horizontal");
    QTest::addColumn<bool>("vertical");

    QTest::newRow("small") << QSize(640, 480) << true << true;
    QTest::newRow("wide, low") << QSize(3000, 600) << false << true;
    QTest::newRow("narrow, tall") << QSize(1000, 1500) << true << false;
    QTest::newRow("large") << QSize(3000, 1500) << false << false;
}

void TestMainWindow::graphAreaScrolls()
{
    QFETCH(QSize, size);
    QFETCH(bool, horizontal);
    QFETCH(bool, vertical);

    MainWindow window;
    auto *graph = window.findChild<Widget *>();
    graph->show(); // as a Draw shows it
    window.show();
    window.resize(size);
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    QCoreApplication::processEvents();

    // The window takes the size: nothing holds it larger than the screen.
    QCOMPARE(window.size(), size);
    QVERIFY(window.statusBar()->geometry().bottom() < size.height());
    QCOMPARE(graph->size(), QSize(900, 800));
    auto *scroll = window.findChild<QScrollArea *>(QStringLiteral("graphScroll"));
    QVERIFY(scroll);
    QCOMPARE(scroll->horizontalScrollBar()->isVisible(), horizontal);
    QCOMPARE(scroll->verticalScrollBar()->isVisible(), vertical);
    // Scrolled to the end, the graph's far corner is in view.
    scroll->horizontalScrollBar()->setValue(scroll->horizontalScrollBar()->maximum());
    scroll->verticalScrollBar()->setValue(scroll->verticalScrollBar()->maximum());
    const QPoint corner = graph->mapTo(scroll->viewport(), QPoint(899, 799));
    QVERIFY(scroll->viewport()->rect().contains(corner));
}

void TestMainWindow::storedGeometry()
{
    {
        QSettings settings = windowSettings();
        settings.setValue("pos", QPoint(40, 50));
        settings.setValue("size", QSize(700, 500)); // inside the test's 800 x 600 screen
    }
    MainWindow window;
    QCOMPARE(window.size(), QSize(700, 500));
    QCOMPARE(window.pos(), QPoint(40, 50));
}

void TestMainWindow::closeStoresGeometry()
{
    MainWindow window;
    window.show();
    window.resize(640, 480);
    window.move(30, 20);
    QVERIFY(window.close());
    QSettings settings = windowSettings();
    QCOMPARE(settings.value("size").toSize(), QSize(640, 480));
    QCOMPARE(settings.value("pos").toPoint(), window.pos());
}

void TestMainWindow::closeWithModifiedDocument_data()
{
    QTest::addColumn<int>("answer");
    QTest::addColumn<bool>("closes");

    QTest::newRow("cancel keeps the window open") << int(QMessageBox::Cancel) << false;
    QTest::newRow("discard closes") << int(QMessageBox::Discard) << true;
    QTest::newRow("save closes, writing nothing") << int(QMessageBox::Save) << true;
}

void TestMainWindow::closeWithModifiedDocument()
{
    QFETCH(int, answer);
    QFETCH(bool, closes);

    MainWindow window;
    window.show();
    QPlainTextEdit *editor = hiddenEditor();
    QVERIFY(editor);
    QVERIFY(!editor->isVisible());
    editor->document()->setModified(true);

    ModalAnswerer answerer{QString(), QMessageBox::StandardButton(answer)};
    QCOMPARE(window.close(), closes);
    QCOMPARE(answerer.messages.size(), 1);
    QCOMPARE(answerer.messages[0].title, QStringLiteral("Application"));
    QCOMPARE(answerer.messages[0].text,
             QStringLiteral("The document has been modified.\nDo you want to save your changes?"));
    QCOMPARE(window.isVisible(), !closes);
    QCOMPARE(windowSettings().contains("size"), closes);
    QCOMPARE(work.path(), QDir::currentPath());
    QCOMPARE(QDir(work.path()).entryList(QDir::Files).size(), 0);
}

void TestMainWindow::aboutBox()
{
    MainWindow window;
    ModalAnswerer answerer;
    action(window, "About autors")->trigger();
    QCOMPARE(answerer.messages.size(), 1);
    const SeenMessage &box = answerer.messages[0];
    QCOMPARE(box.title, QStringLiteral("Warning"));
    QCOMPARE(box.icon, QMessageBox::NoIcon);
    QCOMPARE(box.buttons, 1);
    const QStringList lines = box.text.split('\n');
    QCOMPARE(lines.size(), 3);
    QVERIFY(lines[1].isEmpty());
}

void TestMainWindow::saveAsSetsTheDrawName()
{
    MainWindow window;
    window.show();
    bool result = true;
    {
        ModalAnswerer cancel;
        QVERIFY(QMetaObject::invokeMethod(&window, "saveAs", Q_RETURN_ARG(bool, result)));
        QCOMPARE(cancel.fileDialogs, 1);
    }
    QVERIFY(!result);

    // The chosen path is the new base name, extension kept.
    const QString chosen = path("x.wav");
    QVERIFY(writeFile(chosen + "_output.wav", recording(bandSignal(5000, 1e8))));
    {
        ModalAnswerer accept(chosen);
        QVERIFY(QMetaObject::invokeMethod(&window, "saveAs", Q_RETURN_ARG(bool, result)));
    }
    QVERIFY(result);
    ModalAnswerer answerer;
    action(window, "&Draw...")->trigger();
    QCOMPARE(answerer.messages.size(), 1);
    QCOMPARE(answerer.messages[0].text, QStringLiteral("Drawing completed!"));
    QVERIFY(QFile::exists(chosen + "_stereo.wav"));

    QVERIFY(QMetaObject::invokeMethod(&window, "save", Q_RETURN_ARG(bool, result)));
    QVERIFY(result);
    QVERIFY(QMetaObject::invokeMethod(&window, "documentWasModified"));
}

void TestMainWindow::openProcessesFile()
{
    const QByteArray input = recording(bandSignal(20000, 1e5, 11));
    QVERIFY(writeFile(path("night.wav"), input));

    MainWindow window;
    window.show();
    ModalAnswerer answerer(path("night.wav"));
    action(window, "&Open...")->trigger();
    QCOMPARE(answerer.fileDialogs, 1);
    QCOMPARE(answerer.messages.size(), 0);

    const std::vector<std::int32_t> expected = reference::literalFilter(bytesToWords(input));
    const std::vector<std::int32_t> got = bytesToWords(readFile(path("night_output.wav")));
    QCOMPARE(got.size(), expected.size());
    QCOMPARE(testsignals::compareWords(got, expected).beyondOne, std::size_t(0));

    auto *bar = window.findChild<QProgressBar *>();
    QVERIFY(bar->isVisible());
    QCOMPARE(bar->value(), 100);
    QCOMPARE(bar->text(), finishedText);
    QVERIFY(menu(window, "&Graph")->isEnabled());
    QCOMPARE(window.statusBar()->currentMessage(), path("night.wav"));
    QVERIFY(window.findChild<Widget *>()->isHidden());
    QCOMPARE(QDir(work.path()).entryList(QDir::Files).size(), 2); // no stray files
}

void TestMainWindow::openRefusals_data()
{
    QTest::addColumn<QByteArray>("input");
    QTest::addColumn<QString>("message");

    QTest::newRow("not a WAV file") << QByteArray("plain text, not audio at all............")
                                    << QStringLiteral("Not a WAV-file");
    const std::vector<std::int32_t> samples(100, 5);
    QTest::newRow("16-bit at 16384 Hz") << recording(samples, 16384, 16) << wrongFormat;
    QTest::newRow("32-bit at 44100 Hz") << recording(samples, 44100, 32) << wrongFormat;
    QTest::newRow("32-bit at 16000 Hz") << recording(samples, 16000, 32) << wrongFormat;
}

// A refused input leaves an earlier result, the menus and the bar as they
// were, and Draw does not take that result for this recording's.
void TestMainWindow::openRefusals()
{
    QFETCH(QByteArray, input);
    QFETCH(QString, message);

    QVERIFY(writeFile(path("night.wav"), input));
    const QByteArray earlier = recording(bandSignal(4000, 1e5));
    QVERIFY(writeFile(path("night_output.wav"), earlier));

    MainWindow window;
    window.show();
    ModalAnswerer answerer(path("night.wav"));
    action(window, "&Open...")->trigger();

    QCOMPARE(answerer.messages.size(), 1);
    QCOMPARE(answerer.messages[0].title, QStringLiteral("Warning"));
    QCOMPARE(answerer.messages[0].text, message);
    QCOMPARE(answerer.messages[0].icon, QMessageBox::NoIcon);
    QCOMPARE(readFile(path("night_output.wav")), earlier);
    QCOMPARE(readFile(path("night.wav")), input);
    QVERIFY(!menu(window, "&Graph")->isEnabled());
    QVERIFY(window.findChild<QProgressBar *>()->isVisible());

    action(window, "&Draw...")->trigger();
    QCOMPARE(answerer.messages.size(), 2);
    QCOMPARE(answerer.messages[1].title, QStringLiteral("Warning"));
    QCOMPARE(answerer.messages[1].text, QStringLiteral("not wav file"));
    QCOMPARE(QDir(work.path()).entryList(QDir::Files).size(), 2);
}

void TestMainWindow::openCancelled()
{
    MainWindow window;
    window.show();
    ModalAnswerer answerer;
    action(window, "&Open...")->trigger();
    QCOMPARE(answerer.fileDialogs, 1);
    QVERIFY(window.findChild<QProgressBar *>()->isHidden());
    QCOMPARE(window.statusBar()->currentMessage(), QStringLiteral("Ready"));
}

void TestMainWindow::openCannotWrite()
{
    const QByteArray input = recording(bandSignal(8000, 1e5));
    QVERIFY(writeFile(path("night.wav"), input));
    // A folder where the output should go cannot be replaced, even by root.
    QVERIFY(QDir(work.path()).mkdir("night_output.wav"));

    MainWindow window;
    const QList<SeenMessage> messages = openAnswered(window, path("night.wav"));
    QCOMPARE(messages.size(), 1);
    QCOMPARE(messages[0].title, QStringLiteral("Warning"));
    QVERIFY(messages[0].text.contains(QDir::toNativeSeparators(path("night_output.wav"))));
    QVERIFY(!messages[0].text.contains('\n'));
    QVERIFY(window.findChild<QProgressBar *>()->text() != finishedText);
    QVERIFY(!menu(window, "&Graph")->isEnabled());
    QVERIFY(QFileInfo(path("night_output.wav")).isDir());
    QCOMPARE(QDir(work.path()).entryList(QDir::Files), QStringList{"night.wav"});

#ifndef Q_OS_WIN
    // (A read-only folder attribute does not stop new files on Windows.)
    if (geteuid() != 0) {
        // A read-only folder keeps an earlier result byte for byte.
        QVERIFY(QDir(work.path()).rmdir("night_output.wav"));
        QVERIFY(writeFile(path("night_output.wav"), "earlier"));
        QFile::setPermissions(work.path(), QFile::ReadOwner | QFile::ExeOwner);
        ModalAnswerer again(path("night.wav"));
        action(window, "&Open...")->trigger();
        QFile::setPermissions(work.path(), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        QCOMPARE(again.messages.size(), 1);
        QCOMPARE(readFile(path("night_output.wav")), QByteArray("earlier"));
    }
#endif
}

// A disk that fills up mid-way (a file size limit stands in for it) fails
// both commands with one line naming the file; the earlier results stay as
// they were and no temporary file is left beside them.
void TestMainWindow::fullDiskLeavesNothingBehind()
{
#ifdef Q_OS_WIN
    QSKIP("a file size limit (setrlimit) stands in for a full disk, and Windows has none");
#else
    QVERIFY(writeFile(path("night.wav"), recording(bandSignal(60000, 1e5))));
    MainWindow window;
    window.show();
    QCOMPARE(openAnswered(window, path("night.wav")).size(), 0);
    const QByteArray output = readFile(path("night_output.wav"));
    QVERIFY(writeFile(path("night_stereo.wav"), "earlier stereo"));

    rlimit saved;
    QCOMPARE(getrlimit(RLIMIT_FSIZE, &saved), 0);
    const auto oldHandler = signal(SIGXFSZ, SIG_IGN);
    rlimit limited = saved;
    limited.rlim_cur = 100000;
    QCOMPARE(setrlimit(RLIMIT_FSIZE, &limited), 0);
    QList<SeenMessage> openMessages, drawMessages, staleMessages;
    {
        ModalAnswerer draw;
        action(window, "&Draw...")->trigger();
        drawMessages = draw.messages;
    }
    {
        ModalAnswerer open(path("night.wav"));
        action(window, "&Open...")->trigger();
        openMessages = open.messages;
    }
    {
        // The processed file on disk is not what the failed Open made.
        ModalAnswerer draw;
        action(window, "&Draw...")->trigger();
        staleMessages = draw.messages;
    }
    setrlimit(RLIMIT_FSIZE, &saved);
    signal(SIGXFSZ, oldHandler);

    QCOMPARE(openMessages.size(), 1);
    QCOMPARE(openMessages[0].text,
             "Could not write " + QDir::toNativeSeparators(path("night_output.wav"))
                 + ": File too large");
    QCOMPARE(drawMessages.size(), 1);
    QCOMPARE(drawMessages[0].text,
             "Could not write " + QDir::toNativeSeparators(path("night_stereo.wav"))
                 + ": File too large");
    QCOMPARE(window.findChild<Widget *>()->displayMode(), int(Widget::Graphs));
    QCOMPARE(staleMessages.size(), 1);
    QCOMPARE(staleMessages[0].text, QStringLiteral("not wav file"));
    QCOMPARE(readFile(path("night_output.wav")), output);
    QCOMPARE(readFile(path("night_stereo.wav")), QByteArray("earlier stereo"));
    QCOMPARE(QDir(work.path()).entryList(QDir::Files | QDir::Hidden),
             QStringList({"night.wav", "night_output.wav", "night_stereo.wav"}));
#endif
}

void TestMainWindow::drawWritesStereoFile()
{
    const QByteArray input = recording(bandSignal(40000, 4e5, 5));
    QVERIFY(writeFile(path("night.wav"), input));
    const std::vector<double> marker = testMarker();
    QVERIFY(writeFile(path("marker.dat"), markerBytes(marker)));
    QVERIFY(writeFile(path("tmp.wav"), "the user's own tmp.wav"));

    MainWindow window;
    window.show();
    QCOMPARE(openAnswered(window, path("night.wav")).size(), 0);
    QByteArray first;
    for (int run = 0; run < 2; ++run) {
        ModalAnswerer answerer;
        action(window, "&Draw...")->trigger();
        QCOMPARE(answerer.messages.size(), 1);
        QCOMPARE(answerer.messages[0].title, QString());
        QCOMPARE(answerer.messages[0].text, QStringLiteral("Drawing completed!"));
        const QByteArray stereo = readFile(path("night_stereo.wav"));
        if (run == 0)
            first = stereo;
        else
            QCOMPARE(stereo, first);
    }
    QCOMPARE(readFile(path("tmp.wav")), QByteArray("the user's own tmp.wav"));
    QVERIFY(window.findChild<QProgressBar *>()->isHidden());
    auto *widget = window.findChild<Widget *>();
    QVERIFY(widget->isVisible());

    // The header, then the frames the analysis writes.
    const QByteArray processed = readFile(path("night_output.wav"));
    const reference::AnalysisRecord expected =
        reference::literalAnalysis(bytesToWords(processed), marker);
    const qint64 frameBytes = qint64(expected.frames.size()) * 4;
    QCOMPARE(first.size(), frameBytes + 44);
    QCOMPARE(first.left(44), wavformat::canonicalHeader(2, 16384, frameBytes));
    const std::vector<std::int32_t> frames = bytesToWords(first.mid(44));
    QCOMPARE(testsignals::compareWords(frames, expected.frames).beyondOne, std::size_t(0));
    QCOMPARE(widget->seriesLength(), int(expected.seriesX.size()));
    QCOMPARE(widget->currentPosition(), expected.peakBlock - 1);
    QCOMPARE(QDir(work.path()).entryList(QDir::Files).size(), 6); // and night_matches.csv
}

void TestMainWindow::drawRefusals_data()
{
    QTest::addColumn<QByteArray>("processed");
    QTest::addColumn<QString>("message");

    QTest::newRow("no processed file") << QByteArray() << QStringLiteral("not wav file");
    QTest::newRow("not a WAV file") << QByteArray(60, 'z') << QStringLiteral("not wav file");
    QTest::newRow("16-bit") << recording(std::vector<std::int32_t>(4000, 1), 16384, 16)
                            << wrongFormat;
}

void TestMainWindow::drawRefusals()
{
    QFETCH(QByteArray, processed);
    QFETCH(QString, message);

    const QByteArray earlier = "an earlier stereo result";
    QVERIFY(writeFile(path("x.wav_stereo.wav"), earlier));
    if (!processed.isEmpty())
        QVERIFY(writeFile(path("x.wav_output.wav"), processed));

    MainWindow window;
    window.show();
    QList<SeenMessage> messages;
    QVERIFY(drawNamed(window, path("x.wav"), messages));
    QCOMPARE(messages.size(), 1);
    QCOMPARE(messages[0].title, QStringLiteral("Warning"));
    QCOMPARE(messages[0].text, message);
    QCOMPARE(readFile(path("x.wav_stereo.wav")), earlier);
    QVERIFY(!QFile::exists(path("tmp.wav")));
    QVERIFY(window.findChild<Widget *>()->isVisible());
}

void TestMainWindow::drawCannotWrite()
{
    QVERIFY(writeFile(path("x.wav_output.wav"), recording(bandSignal(6000, 1e8))));
    QVERIFY(QDir(work.path()).mkdir("x.wav_stereo.wav"));

    MainWindow window;
    window.show();
    QList<SeenMessage> messages;
    QVERIFY(drawNamed(window, path("x.wav"), messages));
    QCOMPARE(messages.size(), 1);
    QCOMPARE(messages[0].title, QStringLiteral("Warning"));
    QVERIFY(messages[0].text.contains(QDir::toNativeSeparators(path("x.wav_stereo.wav"))));
    QVERIFY(QFileInfo(path("x.wav_stereo.wav")).isDir());
    QCOMPARE(QDir(work.path()).entryList(QDir::Files), QStringList{"x.wav_output.wav"});

    // The graph shown is the one a Draw that can write its result shows.
    auto *widget = window.findChild<Widget *>();
    const QImage shown = widget->grab().toImage();
    QCOMPARE(widget->displayMode(), int(Widget::Graphs));
    QVERIFY(QDir(work.path()).rmdir("x.wav_stereo.wav"));
    QVERIFY(drawNamed(window, path("x.wav"), messages));
    QCOMPARE(messages.value(0).text, QStringLiteral("Drawing completed!"));
    QCOMPARE(shown, widget->grab().toImage());
}

// Each Draw starts on a black overview: after a long recording and then a
// short one, no column right of the short one's holds anything.
void TestMainWindow::overviewShowsOneRecording()
{
    QVERIFY(writeFile(path("long.wav"), recording(bandSignal(160000, 4e5, 2))));
    QVERIFY(writeFile(path("short.wav"), recording(bandSignal(24000, 4e5, 3))));
    QVERIFY(writeFile(path("marker.dat"), markerBytes(testMarker())));
    MainWindow window;
    window.show();
    // Columns 40 to 190 under the navigation text hold the long recording's
    // cumulative sum (a red point each at least), and none of the short
    // one's 29 columns.
    QImage black(150, 234, QImage::Format_RGB32);
    black.fill(Qt::black);
    for (const QString &name : QStringList{"long.wav", "short.wav"}) {
        {
            ModalAnswerer open(path(name));
            action(window, "&Open...")->trigger();
        }
        ModalAnswerer draw;
        action(window, "&Draw...")->trigger();
        const QImage shown =
            window.findChild<Widget *>()->grab().toImage().convertToFormat(QImage::Format_RGB32);
        QCOMPARE(shown.copy(40, 566, 150, 234) == black, name == "short.wav");
    }
}

// The results stay in the recording's folder whatever its name's length.
void TestMainWindow::outputNames_data()
{
    QTest::addColumn<QString>("input");
    QTest::addColumn<QString>("output");
    QTest::newRow("two characters") << QString("ab") << QString("_output.wav");
    QTest::newRow("four characters") << QString("abcd") << QString("_output.wav");
    QTest::newRow("no extension") << QString("night1") << QString("ni_output.wav");
    QTest::newRow("surrogate pair")
        << QString::fromUtf8("x\U0001F600abc") << QString("x_output.wav");
}

void TestMainWindow::outputNames()
{
    QFETCH(QString, input);
    QFETCH(QString, output);
    QVERIFY(QDir(work.path()).mkpath("odd/sub"));
    QVERIFY(writeFile(path("odd/sub/" + input), recording(bandSignal(4000, 1e5))));

    MainWindow window;
    window.show();
    ModalAnswerer answerer(path("odd/sub/" + input));
    action(window, "&Open...")->trigger();
    QCOMPARE(answerer.messages.size(), 0);
    QCOMPARE(QDir(path("odd")).entryList(QDir::Files), QStringList());
    QStringList expected{input, output};
    expected.sort();
    QCOMPARE(QDir(path("odd/sub")).entryList(QDir::Files), expected);
}

void TestMainWindow::fileSafety_data()
{
    QTest::addColumn<bool>("draw");
    /// Entries as fileentries::create() takes them; a bare name holds a
    /// good recording.
    QTest::addColumn<QStringList>("entries");
    /// The message, "%1/" standing for the work folder; its names are shown
    /// with the system's separators.
    QTest::addColumn<QString>("message");
    QTest::addColumn<QStringList>("written");
    QTest::addColumn<QStringList>("removed");

    const QString writeFailed = QStringLiteral("Could not write %1/night_%2.wav: %3");
    QTest::newRow("Open: result a link to a device")
        << false << QStringList{"night.wav", "night_output.wav->/dev/null"}
        << writeFailed.arg("%1", "output", "not a regular file") << QStringList() << QStringList();
    QTest::newRow("Open: result a link to the recording")
        << false << QStringList{"night.wav", "night_output.wav->night.wav"}
        << writeFailed.arg("%1", "output", "it is the same file as %1/night.wav") << QStringList()
        << QStringList();
    QTest::newRow("Open: recording a link to its result")
        << false << QStringList{"night_output.wav", "night.wav->night_output.wav"}
        << writeFailed.arg("%1", "output", "it is the same file as %1/night.wav") << QStringList()
        << QStringList();
    QTest::newRow("Open: result a link to nothing")
        << false << QStringList{"night.wav", "night_output.wav->nowhere/night.wav"}
        << writeFailed.arg("%1", "output", "it is a link to a missing file") << QStringList()
        << QStringList();
    QTest::newRow("Open: recording a FIFO")
        << false << QStringList{"night.wav|"} << QStringLiteral("Not a WAV-file") << QStringList()
        << QStringList();
    QTest::newRow("Open: leftovers of an interrupted run")
        << false
        << QStringList{"night.wav", "night_output.wav.AbCd9z:left", "night_output.wav.AbCdE:kept",
                       "night_output.wav.AbCd-z:kept", "night.wav.AbCdEf:kept"}
        << QString() << QStringList{"night_output.wav"} << QStringList{"night_output.wav.AbCd9z"};
    QTest::newRow("Draw: marker.dat a FIFO")
        << true << QStringList{"night_output.wav", "marker.dat|"} << QString()
        << QStringList{"night_stereo.wav", "night_matches.csv"} << QStringList();
    QTest::newRow("Draw: processed file a FIFO")
        << true << QStringList{"night_output.wav|"} << QStringLiteral("not wav file")
        << QStringList() << QStringList();
    QTest::newRow("Draw: result a link to the processed file")
        << true << QStringList{"night_output.wav", "night_stereo.wav->night_output.wav"}
        << writeFailed.arg("%1", "stereo", "it is the same file as %1/night_output.wav")
        << QStringList() << QStringList();
    QTest::newRow("Draw: result a link to marker.dat")
        << true << QStringList{"night_output.wav", "marker.dat:x", "night_stereo.wav->marker.dat"}
        << writeFailed.arg("%1", "stereo", "it is the same file as marker.dat") << QStringList()
        << QStringList();
    QTest::newRow("Draw: match file a link to the processed file")
        << true
        << QStringList{"night_output.wav", "night_stereo.wav:earlier",
                       "night_matches.csv->night_output.wav"}
        << QStringLiteral("Could not write %1/night_matches.csv: it is the same file as "
                          "%1/night_output.wav")
        << QStringList() << QStringList();
}

// Open and Draw write only where they may, and never wait on a FIFO: a
// watchdog frees a stuck command, which then fails on the time it took.
void TestMainWindow::fileSafety()
{
#ifndef Q_OS_UNIX
    QSKIP("links and FIFOs as made here are POSIX only");
#endif
    QFETCH(bool, draw);
    QFETCH(QStringList, entries);
    QFETCH(QString, message);
    QFETCH(QStringList, written);
    QFETCH(QStringList, removed);

    const QByteArray good = recording(bandSignal(6000, 1e5));
    for (const QString &entry : entries)
        QVERIFY2(fileentries::create(QDir(work.path()), entry, good), qPrintable(entry));
    const auto before = fileentries::state(QDir(work.path()));

    MainWindow window;
    window.show();
    QList<SeenMessage> messages;
    QElapsedTimer timer;
    timer.start();
    {
        fileentries::FifoWatchdog watchdog(QDir(work.path()), std::chrono::seconds(3));
        if (draw) {
            QVERIFY(drawNamed(window, path("night"), messages));
        } else {
            messages = openAnswered(window, path("night.wav"));
        }
        QVERIFY2(!watchdog.hasFired(), "the command waited on a FIFO");
    }
    QVERIFY(timer.elapsed() < 2000);

    const QString expected = message.isEmpty() && draw ? QStringLiteral("Drawing completed!")
                             : message.contains("%1")
                                 ? QDir::toNativeSeparators(message.arg(work.path()))
                                 : message;
    QCOMPARE(messages.size(), expected.isEmpty() ? 0 : 1);
    if (!expected.isEmpty())
        QCOMPARE(messages[0].text, expected);

    auto after = fileentries::state(QDir(work.path()));
    for (const QString &name : written)
        QVERIFY2(after.erase(name) == 1 && !before.count(name), qPrintable(name));
    auto kept = before;
    for (const QString &name : removed)
        kept.erase(name);
    QCOMPARE(after, kept);
#ifdef Q_OS_UNIX
    QVERIFY(QFileInfo("/dev/null").exists() && !QFileInfo("/dev/null").isFile());
#endif
}

void TestMainWindow::resultHeldOpen_data()
{
    QTest::addColumn<bool>("draw");
    QTest::addColumn<QString>("result");
    QTest::newRow("Open") << false << "night_output.wav";
    QTest::newRow("Draw") << true << "night_stereo.wav";
}

// Another program holds the earlier result open. Windows will not replace a
// file that is open without delete sharing (as QFile and most players open
// it): the user is warned with the file's name and keeps the earlier file.
// Elsewhere the result replaces it and the reader keeps what it opened.
void TestMainWindow::resultHeldOpen()
{
    QFETCH(bool, draw);
    QFETCH(QString, result);
    QVERIFY(writeFile(path("night.wav"), recording(bandSignal(20000, 1e5))));
    MainWindow window;
    window.show();
    QCOMPARE(openAnswered(window, path("night.wav")).size(), 0);
    QVERIFY(writeFile(path(result), "earlier result"));
    QFile held(path(result));
    QVERIFY(held.open(QIODevice::ReadOnly));

    QList<SeenMessage> messages;
    if (draw) {
        ModalAnswerer answerer;
        action(window, "&Draw...")->trigger();
        messages = answerer.messages;
    } else {
        messages = openAnswered(window, path("night.wav"));
    }
    QCOMPARE(held.readAll(), QByteArray("earlier result"));
    held.close();
#ifdef Q_OS_WIN
    QCOMPARE(messages.size(), 1);
    QCOMPARE(messages[0].title, QStringLiteral("Warning"));
    QVERIFY2(messages[0].text.contains(QDir::toNativeSeparators(path(result))),
             qPrintable(messages[0].text));
    QCOMPARE(readFile(path(result)), QByteArray("earlier result"));
#else
    QCOMPARE(messages.size(), draw ? 1 : 0);
    QVERIFY(readFile(path(result)).startsWith("RIFF"));
#endif
    const QStringList files = QDir(work.path()).entryList(QDir::Files | QDir::Hidden);
#ifdef Q_OS_WIN
    // Draw's results go in together or not at all: no match file either.
    QCOMPARE(files, draw ? QStringList({"night.wav", "night_output.wav", "night_stereo.wav"})
                         : QStringList({"night.wav", "night_output.wav"}));
#else
    QCOMPARE(files, draw ? QStringList({"night.wav", "night_matches.csv", "night_output.wav",
                                        "night_stereo.wav"})
                         : QStringList({"night.wav", "night_output.wav"}));
#endif
}


void TestMainWindow::arrowKeysWorkAfterDraw()
{
    QVERIFY(writeFile(path("x.wav_output.wav"), recording(bandSignal(40000, 1e8))));
    MainWindow window;
    window.show();
    QVERIFY(QTest::qWaitForWindowActive(&window));
    QList<SeenMessage> messages;
    QVERIFY(drawNamed(window, path("x.wav"), messages));
    QCOMPARE(messages.size(), 1);
    auto *widget = window.findChild<Widget *>();
    QCOMPARE(window.focusWidget(), static_cast<QWidget *>(widget));
    const int start = widget->windowStart();
    QTest::keyClick(window.focusWidget(), Qt::Key_Right);
    QVERIFY(widget->windowStart() != start);
}

void TestMainWindow::closeDuringDraw_data()
{
    QTest::addColumn<bool>("fromWindowSystem");
    QTest::newRow("close button") << true;
    QTest::newRow("File > Exit") << false;
}

// The close comes while the overview is painted: the Draw still commits its
// results, no box follows and the window closes.
void TestMainWindow::closeDuringDraw()
{
    QFETCH(bool, fromWindowSystem);
    QVERIFY(writeFile(path("x.wav_output.wav"), recording(bandSignal(40000, 1e8))));
    MainWindow window;
    window.show();
    auto *widget = window.findChild<Widget *>();
    bool asked = false;
    EventHook hook(widget, QEvent::Paint, [&] {
        if (asked)
            return;
        asked = true;
        if (fromWindowSystem)
            QCoreApplication::postEvent(window.windowHandle(), new QCloseEvent);
        else
            window.close();
    });
    QList<SeenMessage> messages;
    QVERIFY(drawNamed(window, path("x.wav"), messages));
    QVERIFY(asked);
    QCOMPARE(messages.size(), 0);
    QVERIFY(!window.isVisible());
    QVERIFY(QFile::exists(path("x.wav_stereo.wav")));
    QVERIFY(QFile::exists(path("x.wav_matches.csv")));
}

void TestMainWindow::drawNamesMissingTemplate_data()
{
    QTest::addColumn<QByteArray>("marker"); // null: no marker.dat
    QTest::addColumn<QString>("warning");
    QTest::newRow("none") << QByteArray() << QStringLiteral("not found in %1");
    QTest::newRow("empty") << QByteArray("") << QStringLiteral("in %1 is empty");
    QTest::newRow("under one value") << QByteArray(7, 'x') << QStringLiteral("in %1 is empty");
    QTest::newRow("one value") << QByteArray(8, '\0') << QString();
}

void TestMainWindow::drawNamesMissingTemplate()
{
    QFETCH(QByteArray, marker);
    QFETCH(QString, warning);
    QVERIFY(writeFile(path("x.wav_output.wav"), recording(bandSignal(5000, 1e8))));
    if (!marker.isNull())
        QVERIFY(writeFile(path("marker.dat"), marker));
    MainWindow window;
    window.show();
    QList<SeenMessage> messages;
    QVERIFY(drawNamed(window, path("x.wav"), messages));
    QCOMPARE(messages.size(), 1);
    QCOMPARE(messages[0].text, QStringLiteral("Drawing completed!"));
    const QString status = window.statusBar()->currentMessage();
    if (warning.isEmpty()) {
        QVERIFY2(!status.startsWith("No template"), qPrintable(status));
        return;
    }
    QVERIFY(status.startsWith(QStringLiteral("No template: \"marker.dat\" ")));
    QVERIFY2(status.endsWith(warning.arg(QDir::toNativeSeparators(work.path()))), qPrintable(status));
}

void TestMainWindow::openWarnsOfInputLevel_data()
{
    QTest::addColumn<double>("amplitude"); // of a 150 Hz sine
    QTest::addColumn<bool>("warns");
    QTest::newRow("full scale") << 2147483000.0 << true;
    QTest::newRow("at the level the tool is made for") << 700000.0 << false;
    QTest::newRow("silence") << 0.0 << false;
}

// The level is reported, never mended: the output is the cascade's as ever.
void TestMainWindow::openWarnsOfInputLevel()
{
    QFETCH(double, amplitude);
    QFETCH(bool, warns);
    std::vector<std::int32_t> samples(30000);
    for (std::size_t i = 0; i < samples.size(); ++i)
        samples[i] = std::int32_t(std::lround(amplitude * std::sin(2 * M_PI * 150 * double(i) / 16384.0)));
    const QByteArray input = recording(samples);
    QVERIFY(writeFile(path("loud.wav"), input));
    MainWindow window;
    QCOMPARE(openAnswered(window, path("loud.wav")).size(), 0);
    QCOMPARE(window.findChild<QProgressBar *>()->text(), finishedText);
    const QString status = window.statusBar()->currentMessage();
    QCOMPARE(status.startsWith(QStringLiteral("Input level too high: ")), warns);
    if (warns)
        QVERIFY2(status.contains(QStringLiteral("scale the recording down by about ")), qPrintable(status));
    const std::vector<std::int32_t> expected = reference::literalFilter(bytesToWords(input));
    const std::vector<std::int32_t> got = bytesToWords(readFile(path("loud_output.wav")));
    QCOMPARE(got.size(), expected.size());
    QCOMPARE(testsignals::compareWords(got, expected).beyondOne, std::size_t(0));
}

QTEST_MAIN(TestMainWindow)
#include "tst_mainwindow.moc"
