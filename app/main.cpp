#include "mainwindow.h"
#include "singleinstance.h"

#include <QApplication>

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    // A second start in this session shows the running agent's window and
    // ends here, before it sends anything or puts an icon in the tray.
    SingleInstance instance;
    if (!instance.claim())
        return 0;
    MainWindow window;
    QObject::connect(&instance, &SingleInstance::showRequested, &window, &QWidget::show);
    window.show();
    return app.exec();
}
