#include "app/mainwindow.h"

#include <QApplication>

int main(int argc, char *argv[])
{
    Q_INIT_RESOURCE(images);

    QApplication app(argc, argv);
    QCoreApplication::setOrganizationName(QString());
    QCoreApplication::setApplicationName(QStringLiteral("Quorvane rarev"));

    MainWindow window;
    window.setWindowState(Qt::WindowMaximized);
    window.show();
    return app.exec();
}
