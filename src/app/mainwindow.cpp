#include "mainwindow.h"

#include "app/widgetlistener.h"
#include "graph/matchespanel.h"
#include "graph/recordingstrip.h"
#include "graph/widget.h"
#include "wav/passes/commands.h"
#include "wav/passes/matchfiles.h"
#include "wav/results/resultfiles.h"

#include <QAction>
#include <QCoreApplication>
#include <QCloseEvent>
#include <QDebug>
#include <QDockWidget>
#include <QFileDialog>
#include <QFileInfo>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QMenuBar>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QScreen>
#include <QScrollArea>
#include <QSettings>
#include <QStatusBar>
#include <QVBoxLayout>

#include <algorithm>
#include <cstdint>
#include <thread>
#include <utility>

namespace {

const char *const aboutText = "Signal processing: the band-pass filter cascade and the template "
                              "correlation.\n\n"
                              "Graphical display: the detector overview and the component "
                              "close-up.";

/// The application runs one recording at a time: a pass takes a helper
/// thread when the machine has a second core.
std::shared_ptr<void> secondCore()
{
    return std::thread::hardware_concurrency() >= 2 ? std::make_shared<bool>(true) : nullptr;
}

} // namespace

const char *const MainWindow::settingsApplication = "Quorvane Rarev";
#ifdef Q_OS_WIN
const char *const MainWindow::settingsOrganization = "Quorvane Rarev";
#else
const char *const MainWindow::settingsOrganization = "";
#endif

MainWindow::MainWindow()
{
    setWindowFlags(Qt::Window | Qt::WindowTitleHint | Qt::WindowSystemMenuHint
                   | Qt::WindowMinimizeButtonHint | Qt::CustomizeWindowHint
                   | Qt::WindowCloseButtonHint);

    // Never shown: only its document's modified flag is used.
    textEditor = new QPlainTextEdit;

    progressBar = new QProgressBar;
    progressBar->setMinimum(0);
    progressBar->setMaximum(100);
    progressBar->setValue(0);
    progressBar->setAlignment(Qt::AlignCenter);

    graphWidget = new Widget(&graphStyle, this);
    recordingStrip = new RecordingStrip(this);

    progressBar->hide();
    graphWidget->hide();
    recordingStrip->hide();

    auto *graphColumn = new QVBoxLayout;
    graphColumn->addWidget(graphWidget);
    graphColumn->addWidget(recordingStrip);
    auto *layout = new QHBoxLayout;
    layout->addWidget(progressBar);
    layout->addLayout(graphColumn);
    auto *graphArea = new QWidget;
    graphArea->setLayout(layout);
    // The graph area keeps its size on any screen: in a window smaller than
    // it, scroll bars reach the rest. With no frame and the area resized to
    // the viewport, a large window shows it exactly as without the scroll area.
    graphScroll = new QScrollArea;
    graphScroll->setObjectName(QStringLiteral("graphScroll"));
    graphScroll->setFrameShape(QFrame::NoFrame);
    graphScroll->setWidgetResizable(true);
    graphScroll->setWidget(graphArea);
    setCentralWidget(graphScroll);

    matchesPanel = new MatchesPanel;
    matchesDock = new QDockWidget(QStringLiteral("Matches"), this);
    matchesDock->setObjectName(QStringLiteral("matchesDock"));
    matchesDock->setFeatures(QDockWidget::DockWidgetMovable | QDockWidget::DockWidgetFloatable);
    matchesDock->setWidget(matchesPanel);
    addDockWidget(Qt::RightDockWidgetArea, matchesDock);
    connect(matchesPanel, SIGNAL(matchChosen(int)), this, SLOT(showColumn(int)));
    connect(matchesPanel, SIGNAL(matchesChanged()), this, SLOT(matchesShown()));
    connect(recordingStrip, SIGNAL(clicked(qint64)), this, SLOT(showColumn(qint64)));
    connect(graphWidget, SIGNAL(positionChanged(int)), this, SLOT(closeUpMoved(int)));

    setupActions();
    setupMenus();
    setupStatusBar();
    loadWindowSettings();

    setCurrentFileName(QString());
    setUnifiedTitleAndToolBarOnMac(true);
}

MainWindow::~MainWindow()
{
    delete textEditor;
}

void MainWindow::setupActions()
{
    openAction = new QAction(QIcon(QStringLiteral(":/images/open.png")), tr("&Open..."), this);
    openAction->setShortcuts(QKeySequence::Open);
    openAction->setStatusTip(tr("Open an existing file"));
    connect(openAction, SIGNAL(triggered()), this, SLOT(open()));

    exitAction = new QAction(tr("E&xit"), this);
    exitAction->setShortcuts(QKeySequence::Quit);
    exitAction->setStatusTip(tr("Exit the application"));
    connect(exitAction, SIGNAL(triggered()), this, SLOT(close()));

    drawAction = new QAction(tr("&Draw..."), this);
    drawAction->setStatusTip(tr("Draw..."));
    connect(drawAction, SIGNAL(triggered()), this, SLOT(about()));

    aboutAction = new QAction(tr("About autors"), this);
    aboutAction->setStatusTip(tr(""));
    connect(aboutAction, SIGNAL(triggered()), this, SLOT(newFile()));
}

void MainWindow::setupMenus()
{
    fileMenu = menuBar()->addMenu(tr("&File"));
    fileMenu->addAction(openAction);
    fileMenu->addSeparator();
    fileMenu->addAction(exitAction);

    menuBar()->addSeparator();

    graphMenu = menuBar()->addMenu(tr("&Graph"));
    graphMenu->addAction(drawAction);
    graphMenu->setEnabled(false);

    menuBar()->addSeparator();

    helpMenu = menuBar()->addMenu(tr("&Help"));
    helpMenu->addAction(aboutAction);
}

void MainWindow::setupStatusBar()
{
    statusBar()->showMessage(tr("Ready"));
}

void MainWindow::loadWindowSettings()
{
    QSettings settings(settingsFormat, QSettings::UserScope,
                       QString::fromLatin1(settingsOrganization),
                       QString::fromLatin1(settingsApplication));
#ifdef Q_OS_WIN
    // Earlier versions kept the geometry under no organisation: taken over
    // once, so that the window opens where it was.
    if (!settings.contains(QStringLiteral("pos"))) {
        const QSettings earlier(settingsFormat, QSettings::UserScope, QString(),
                                QString::fromLatin1(settingsApplication));
        for (const QString &key : earlier.allKeys())
            settings.setValue(key, earlier.value(key));
    }
#endif
    const QPoint pos = settings.value(QStringLiteral("pos"), QPoint(100, 100)).toPoint();
    const QSize size = settings.value(QStringLiteral("size"), QSize(900, 900)).toSize();
    const QRect placed = fittedGeometry(QRect(pos, size), availableScreenArea(pos));
    resize(placed.size());
    move(placed.topLeft());
}

QRect MainWindow::availableScreenArea(const QPoint &pos)
{
    const QScreen *screen = QGuiApplication::screenAt(pos);
    if (screen == nullptr)
        screen = QGuiApplication::primaryScreen();
    return screen != nullptr ? screen->availableGeometry() : QRect();
}

QRect MainWindow::fittedGeometry(const QRect &stored, const QRect &available)
{
    if (!available.isValid())
        return stored;
    // A window stored on a larger screen, or one no longer attached, opens
    // whole on this one; a geometry that fits stays exactly as stored.
    const QSize size = stored.size().boundedTo(available.size());
    const int x = std::clamp(stored.x(), available.left(), available.right() + 1 - size.width());
    const int y = std::clamp(stored.y(), available.top(), available.bottom() + 1 - size.height());
    return QRect(QPoint(x, y), size);
}

void MainWindow::storeWindowSettings()
{
    QSettings settings(settingsFormat, QSettings::UserScope,
                       QString::fromLatin1(settingsOrganization),
                       QString::fromLatin1(settingsApplication));
    settings.setValue(QStringLiteral("pos"), pos());
    settings.setValue(QStringLiteral("size"), size());
}

void MainWindow::setCurrentFileName(const QString &fileName)
{
    currentFileName = fileName;
    textEditor->document()->setModified(false);
    setWindowModified(false);
    const QString shownName =
        currentFileName.isEmpty() ? QStringLiteral("Convert file") : currentFileName;
    setWindowFilePath(shownName);
}

void MainWindow::showMessage(const QString &title, const QString &text)
{
    QMessageBox box;
    box.setWindowTitle(title);
    box.setText(text);
    box.exec();
}

void MainWindow::newFile()
{
    showMessage(QStringLiteral("Warning"), QString::fromLatin1(aboutText));
}

bool MainWindow::save()
{
    return true;
}

bool MainWindow::saveAs()
{
    QFileDialog dialog(this);
    dialog.setWindowModality(Qt::WindowModal);
    dialog.setAcceptMode(QFileDialog::AcceptSave);
    if (dialog.exec() != QDialog::Accepted)
        return false;
    baseName = dialog.selectedFiles().value(0);
    processedFileReady = true;
    return true;
}

void MainWindow::documentWasModified()
{
    setWindowModified(textEditor->document()->isModified());
}

bool MainWindow::askToSaveChanges()
{
    if (!textEditor->document()->isModified())
        return true;
    const QMessageBox::StandardButton answer = QMessageBox::warning(
        this, tr("Application"),
        tr("The document has been modified.\nDo you want to save your changes?"),
        QMessageBox::Save | QMessageBox::Discard | QMessageBox::Cancel);
    if (answer == QMessageBox::Save)
        return save();
    return answer != QMessageBox::Cancel;
}

void MainWindow::closeEvent(QCloseEvent *event)
{
    // A close asked for while a Draw runs waits for its results: the window
    // closes once they are committed, as it does after an Open.
    if (drawing) {
        closeAfterDraw = true;
        event->ignore();
        return;
    }
    if (askToSaveChanges()) {
        storeWindowSettings();
        event->accept();
    } else {
        event->ignore();
    }
}

void MainWindow::open()
{
    const QString filter = tr("WAV (*.wav)");
    QString selectedFilter = filter;
    const QString fileName = QFileDialog::getOpenFileName(this, QStringLiteral("Open file"),
                                                          QString(), filter, &selectedFilter);
    if (!fileName.isEmpty())
        processFile(fileName);
}

// The input is checked before anything is written, and the output reaches
// its name only when the whole pass has succeeded, so a refused or failed
// run leaves every existing file as it was.
void MainWindow::processFile(const QString &fileName)
{
    progressBar->setVisible(true);
    graphWidget->setVisible(false);
    recordingStrip->setVisible(false);
    statusBar()->showMessage(fileName);

    baseName = commands::baseName(fileName);
    processedFileReady = false;
    const QString message =
        commands::open(fileName, baseName + QStringLiteral("_output.wav"), [this](int percent) {
            progressBar->setValue(percent);
            progressBar->setFormat(QStringLiteral("Data processing... ")
                                   + QString::number(percent));
        },
        secondCore);
    if (!message.isEmpty()) {
        showMessage(QStringLiteral("Warning"), message);
        return;
    }

    progressBar->setValue(100);
    progressBar->setFormat(
        QStringLiteral("Data processing finished. Press 'Graph->Draw' to draw graphs"));
    const QString levelWarning = commands::levelWarning(commands::lastInputLevel());
    if (!levelWarning.isEmpty())
        statusBar()->showMessage(levelWarning);
    qDebug() << "process ok";
    processedFileReady = true;
    graphMenu->setEnabled(true);
}

// The Draw command. The two-channel result and the match file replace
// earlier ones only when all of the new ones were written; the close-up is
// shown either way.
void MainWindow::about()
{
    drawing = true;
    closeAfterDraw = false;
    progressBar->setVisible(false);
    graphWidget->setVisible(true);
    recordingStrip->setVisible(true);

    const QString processed =
        processedFileReady ? baseName + QStringLiteral("_output.wav") : QString();
    const QString markerPath = QStringLiteral("marker.dat");
    // The template as the panel names it: the file the Draw reads, and its
    // number of values (an unreadable or irregular one is empty).
    const QFileInfo marker(markerPath);
    const std::int64_t markerValues =
        resultfiles::isRegular(markerPath) ? marker.size() / 8 : 0;

    matchesPanel->clearResult();
    matchBlocks.clear();
    recordingStrip->start(
        dsp::matches::blockCount(processed.isEmpty() ? 0 : QFileInfo(processed).size() / 4));
    WidgetListener listener(graphWidget, &matchBlocks, recordingStrip);
    // The match file is written at the threshold the panel shows.
    const std::vector<commands::AnalysisFile> extra{
        {matchfiles::matchesName(baseName), [this](const dsp::matches::Placement &where) {
             return matchfiles::csv(matchBlocks, matchesPanel->threshold(), where);
         }}};
    commands::DrawOutcome outcome =
        commands::draw(processed, baseName + QStringLiteral("_stereo.wav"), markerPath, listener,
                       secondCore, extra);
    const bool shown = !outcome.processed.isEmpty();
    if (shown) {
        listener.show(outcome);
        matchesPanel->setResult(&matchBlocks, outcome.placement, marker.absoluteFilePath(),
                                markerValues);
    }
    // A close the window system sent during the run is taken now, before a
    // box would block it; clicks and keys wait for the box.
    QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents);
    drawing = false;
    if (closeAfterDraw && close())
        return;
    closeAfterDraw = false;

    if (shown) {
        const QString warning = commands::templateWarning(markerPath);
        if (!warning.isEmpty())
            statusBar()->showMessage(warning);
    }
    if (!outcome.message.isEmpty())
        showMessage(QStringLiteral("Warning"), outcome.message);
    else
        showMessage(QString(), QStringLiteral("Drawing completed!"));
    // The screen tells the user to move the close-up with the arrow keys:
    // they work at once.
    if (shown)
        graphWidget->setFocus(Qt::OtherFocusReason);
}

void MainWindow::showColumn(int column)
{
    // As the peak's close-up: the marker on the column, the window after it.
    if (graphWidget->seriesLength() > 0)
        graphWidget->setPosition(column + 1, graphWidget->currentChange());
}

void MainWindow::showColumn(qint64 column)
{
    showColumn(int(std::min<qint64>(column, INT32_MAX - 1)));
}

void MainWindow::closeUpMoved(int column)
{
    recordingStrip->setPosition(column);
}

void MainWindow::matchesShown()
{
    std::vector<std::int64_t> columns;
    const MatchesModel *model = matchesPanel->model();
    for (int row = 0; row < model->matchCount(); ++row)
        columns.push_back(model->matchAt(row).column);
    recordingStrip->setMatches(std::move(columns));
}
