#ifndef TESTSETTINGS_H
#define TESTSETTINGS_H

#include "app/agentsettings.h"
#include "common/refservice.h"

#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QLineEdit>
#include <QMenu>
#include <QPushButton>
#include <QStandardPaths>
#include <QTest>
#include <QTimer>
#include <QUrl>
#include <QWindow>
#include <QtTest/qtestspontaneevent.h>

#include <functional>

// Readies a test process whose agents talk to service: their files go to
// QtTest's own location, and the service is started. The agent trusts the
// build's test CA by itself before its first request.
inline bool startTestService(RefService &service)
{
    QStandardPaths::setTestModeEnabled(true);
    return service.start();
}

// Settings that point the agent at a local service. The periodic timers are
// pushed out of the way; a test that wants them sets its own intervals.
inline AgentSettings settingsFor(const QUrl &service)
{
    AgentSettings settings = AgentSettings::compiledIn();
    settings.serviceUrl = service.toString(QUrl::StripTrailingSlash);
    settings.publicAddressUrl = settings.serviceUrl;
    settings.heartbeatIntervalMs = 24 * 3600 * 1000;
    settings.identifyIntervalMs = 24 * 3600 * 1000;
    settings.retryDelayMs = 50;
    // Some Qt versions notice a connection closed mid-body only at the timeout.
    settings.transferTimeoutMs = 4000;
    return settings;
}

// Types a user name and password into the window's form and clicks Login.
inline void signIn(QMainWindow &window, const QString &username, const QString &password)
{
    window.findChild<QLineEdit *>("usernameLineEdit")->setText(username);
    window.findChild<QLineEdit *>("passwordLineEdit")->setText(password);
    QTest::mouseClick(window.findChild<QPushButton *>("loginButton"), Qt::LeftButton);
}

// Closes the window as its user does, from its title bar: the close event
// comes from the window system, not from the program. Returns whether the
// window accepted it.
inline bool closeAsUser(QWidget &window)
{
    QCloseEvent event;
    QSpontaneKeyEvent::setSpontaneous(&event);
    QCoreApplication::sendEvent(window.windowHandle(), &event);
    return event.isAccepted();
}

// Runs the application's own event loop, as the program does: start() runs
// from it, and quitAfterMs later the user quits, from the tray menu or by
// closing the window (which ends the program where there is no tray).
// Returns what the loop returned, as the program's main() would, or -1 when
// the quit did not end it.
inline int runUntilQuit(QMainWindow &window, const std::function<void()> &start, bool fromTray,
                        int quitAfterMs)
{
    QTimer::singleShot(0, &window, start);
    QTimer::singleShot(quitAfterMs, &window, [&window, fromTray] {
        if (fromTray)
            window.findChild<QMenu *>()->actions().at(1)->trigger();  // "Quit"
        else
            closeAsUser(window);
    });
    QTimer guard;  // never hang the suite
    guard.callOnTimeout(qApp, [] { QCoreApplication::exit(-1); });
    guard.start(quitAfterMs + 20000);
    const int status = QApplication::exec();
    // Quitting may have posted a second quit (the window closed last); in the
    // program nothing runs after the loop, here the test goes on.
    QCoreApplication::removePostedEvents(qApp, QEvent::Quit);
    return status;
}

#endif // TESTSETTINGS_H
