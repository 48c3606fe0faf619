#include "app/mainwindow.h"
#include "wav/results/resultfiles.h"

#include <QApplication>
#include <QDir>
#include <QStandardPaths>

#include <cstdio>
#include <cstring>

#ifdef Q_OS_WIN
#include <windows.h>
#endif

int main(int argc, char *argv[])
{
    // Answered before the application needs a display.
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--version") == 0) {
            std::fputs("quorvane-rarev " QUORVANE_VERSION "\n", stdout);
            return 0;
        }
    }
    resultfiles::reportOversizeWrites(); // a full file size limit is a write error
    Q_INIT_RESOURCE(images);
#ifdef Q_OS_WIN
    // Held until the program ends: setup and uninstall wait while it runs.
    CreateMutexW(nullptr, FALSE, QUORVANE_RUNNING_MUTEX);
#endif

    QApplication app(argc, argv);
#ifdef Q_OS_WIN
    // Started from the Start menu or the installer, the program would work
    // in its install folder, which holds no marker.dat and takes no results:
    // it works in the user's Documents instead.
    if (QDir(QDir::currentPath()) == QDir(QCoreApplication::applicationDirPath())) {
        const QString documents =
            QStandardPaths::writableLocation(QStandardPaths::DocumentsLocation);
        if (!documents.isEmpty())
            QDir::setCurrent(documents);
    }
#endif
    QCoreApplication::setOrganizationName(QString());
    QCoreApplication::setApplicationName(QStringLiteral("Quorvane rarev"));

    MainWindow window;
    window.setWindowState(Qt::WindowMaximized);
    window.show();
    return app.exec();
}
