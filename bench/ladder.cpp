// Where the agent's start-up time and memory go: a window of the agent's size
// that takes on, one at a time, the things the agent does before its window
// is shown, so that the benchmark can time each step the same way it times
// the agent and the baseline. Where the agent's own code is public it is
// called as it is (the trust set-up, the login form); the tray icon is made
// the way the window makes it.
//
//     bench_ladder [trust] [form] [icon] [tray] [exit]
//
// With no argument it is the baseline window, but linked like the agent
// (Qt Network and Qt Multimedia and what they pull in are loaded). "exit"
// ends the program once its event loop has started, for callgrind.
#include "app/mainwindowform.h"
#include "service/trust.h"

#include <QApplication>
#include <QIcon>
#include <QMainWindow>
#include <QMenu>
#include <QSystemTrayIcon>
#include <QTimer>

#include <cstdio>
#include <cstring>

int main(int argc, char *argv[])
{
    bool trust = false, form = false, icon = false, tray = false, exitAtOnce = false;
    for (int i = 1; i < argc; ++i) {
        if (!std::strcmp(argv[i], "trust"))
            trust = true;
        else if (!std::strcmp(argv[i], "form"))
            form = true;
        else if (!std::strcmp(argv[i], "icon"))
            icon = true;
        else if (!std::strcmp(argv[i], "tray"))
            tray = true;
        else if (!std::strcmp(argv[i], "exit"))
            exitAtOnce = true;
        else {
            std::fprintf(stderr, "usage: bench_ladder [trust] [form] [icon] [tray] [exit]\n");
            return 2;
        }
    }

    QApplication app(argc, argv);
    if (trust)
        Service::trustCompiledInCertificates();

    QMainWindow window;
    MainWindowForm ui;
    if (form)
        ui.setupUi(&window);
    else
        window.resize(220, 224);
    if (icon)
        window.setWindowIcon(QIcon(QStringLiteral(":/resources/icon.ico")));

    if (tray) {
        auto *trayIcon = new QSystemTrayIcon(QIcon(QStringLiteral(":/resources/icon.ico")), &window);
        auto *menu = new QMenu(&window);
        menu->addAction(QStringLiteral("Show"));
        menu->addAction(QStringLiteral("Quit"));
        trayIcon->setContextMenu(menu);
        trayIcon->show();
    }

    window.show();
    if (exitAtOnce)
        QTimer::singleShot(0, &app, &QCoreApplication::quit);
    return app.exec();
}
