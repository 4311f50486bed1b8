#include "mainwindow.h"

#include "service/trust.h"

#include <QApplication>
#include <QTimer>

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    MainWindow window;
    window.show();
    // Trusting extra roots means loading the system's as well, which takes a
    // noticeable moment: it runs first thing in the event loop, once the window
    // is on its way, and before any timer or click can send a request.
    QTimer::singleShot(0, &window, [] { Service::trustCompiledInCertificates(); });
    return app.exec();
}
