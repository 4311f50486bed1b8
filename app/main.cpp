#include "mainwindow.h"

#include "service/trust.h"

#include <QApplication>

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    Service::trustCompiledInCertificates();
    MainWindow window;
    window.show();
    return app.exec();
}
