#pragma once

#include "dsp/matches.h"
#include "graph/graphpainter.h"

#include <QMainWindow>
#include <QPoint>
#include <QRect>
#include <QSettings>
#include <QString>

class MatchesPanel;
class QAction;
class QCloseEvent;
class QDockWidget;
class QMenu;
class QPlainTextEdit;
class QProgressBar;
class QScrollArea;
class RecordingStrip;
class Widget;

/// The application's one window: the File, Graph and Help menus, the
/// progress bar of the processing pass and the graph display.
class MainWindow : public QMainWindow
{
    Q_OBJECT

public:
    MainWindow();
    ~MainWindow() override;

    /// Name of the settings store.
    static const char *const settingsApplication;
    /// Its organisation: none, but on Windows the application's own name, so
    /// that the store is %APPDATA%\Quorvane Rarev\Quorvane Rarev.ini (an
    /// empty name would put it under "Unknown Organization").
    static const char *const settingsOrganization;
    /// Its format. The registry keeps nothing under an empty organisation
    /// name, so on Windows the store is an INI file in the user's profile.
    static constexpr QSettings::Format settingsFormat =
#ifdef Q_OS_WIN
        QSettings::IniFormat;
#else
        QSettings::NativeFormat;
#endif

    /// Where a window stored at `stored` opens in the screen area
    /// `available`: no larger than the area, and moved inside it as far as
    /// needed; an invalid area leaves it as stored.
    static QRect fittedGeometry(const QRect &stored, const QRect &available);

protected:
    void closeEvent(QCloseEvent *event) override;

private slots:
    void newFile();
    void open();
    bool save();
    bool saveAs();
    void about();
    void documentWasModified();
    /// Moves the close-up to overview column `column`, as the peak's is shown.
    void showColumn(int column);
    void showColumn(qint64 column);
    /// The close-up moved to column `column`: the strip follows.
    void closeUpMoved(int column);
    /// The panel's list changed: the strip marks its matches.
    void matchesShown();

private:
    void setupActions();
    void setupMenus();
    void setupStatusBar();
    void loadWindowSettings();
    void storeWindowSettings();
    /// The available area of the screen showing `pos`, else the primary one.
    static QRect availableScreenArea(const QPoint &pos);
    void setCurrentFileName(const QString &fileName);
    bool askToSaveChanges();
    void processFile(const QString &fileName);
    /// Shows a modal box with no parent, no icon and one OK button.
    static void showMessage(const QString &title, const QString &text);

    GraphPainter graphStyle;
    QPlainTextEdit *textEditor;
    QProgressBar *progressBar;
    QString currentFileName;
    QMenu *fileMenu = nullptr;
    QMenu *graphMenu = nullptr;
    QMenu *helpMenu = nullptr;
    QAction *openAction = nullptr;
    QAction *exitAction = nullptr;
    QAction *drawAction = nullptr;
    QAction *aboutAction = nullptr;
    QString baseName;
    /// True while `baseName`'s processed file is the one the last Open
    /// wrote; a refused or failed Open leaves an unrelated file there.
    bool processedFileReady = false;
    /// True while a Draw runs; a close asked for then is kept for its end.
    bool drawing = false;
    bool closeAfterDraw = false;
    Widget *graphWidget;
    /// Holds the graph, the strip and the progress bar.
    QScrollArea *graphScroll;
    /// The whole recording below the graph, and the matches beside it.
    RecordingStrip *recordingStrip;
    MatchesPanel *matchesPanel;
    QDockWidget *matchesDock;
    /// The detector blocks of the last Draw, which the panel reads.
    dsp::matches::BlockStore matchBlocks;
};
