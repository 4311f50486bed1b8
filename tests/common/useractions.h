#ifndef USERACTIONS_H
#define USERACTIONS_H

#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMainWindow>
#include <QMenu>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <QWindow>
#include <QtTest/qtestspontaneevent.h>

#include <functional>

// What a user does with the agent's window, done the way the user does it.

struct LoginForm
{
    QLineEdit *username;
    QLineEdit *password;
    QPushButton *login;
    QLabel *status;
};

inline LoginForm formOf(QMainWindow &window)
{
    return { window.findChild<QLineEdit *>("usernameLineEdit"),
             window.findChild<QLineEdit *>("passwordLineEdit"),
             window.findChild<QPushButton *>("loginButton"),
             window.findChild<QLabel *>("statusLabel") };
}

// Types a user name and password into the window's form and clicks Login.
inline void signIn(QMainWindow &window, const QString &username, const QString &password)
{
    const LoginForm form = formOf(window);
    form.username->setText(username);
    form.password->setText(password);
    QTest::mouseClick(form.login, Qt::LeftButton);
}

// Closes the window from its title bar: the close event comes from the window
// system, not from the program. Returns whether the window accepted it.
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

#endif // USERACTIONS_H
