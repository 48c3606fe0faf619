#include "app/mainwindow.h"
#include "wav/results/resultfiles.h"

#include <QApplication>

#include <cstdio>
#include <cstring>

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

    QApplication app(argc, argv);
    QCoreApplication::setOrganizationName(QString());
    QCoreApplication::setApplicationName(QStringLiteral("Quorvane rarev"));

    MainWindow window;
    window.setWindowState(Qt::WindowMaximized);
    window.show();
    return app.exec();
}
