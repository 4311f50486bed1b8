// The window with a real system tray, on an X display: the user's close hides
// it, the agent keeps working while hidden, and the tray menu brings it back
// or quits.

#include "app/mainwindow.h"
#include "common/refservice.h"
#include "common/testagent.h"
#include "common/useractions.h"

#include <QAction>
#include <QLineEdit>
#include <QMenu>
#include <QStandardPaths>
#include <QSystemTrayIcon>
#include <QTest>

class tst_Tray : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void closeHidesAndTheAgentKeepsWorking();
    void showBringsTheSameWindowBack();
    void quitQuits_data();
    void quitQuits();

private:
    static QAction *trayAction(MainWindow &window, const QString &text);
    RefService service;
};

void tst_Tray::initTestCase()
{
    if (!QSystemTrayIcon::isSystemTrayAvailable())
        QSKIP("no system tray on this display");
    QVERIFY2(startTestService(service), qPrintable(service.errorText()));
}

QAction *tst_Tray::trayAction(MainWindow &window, const QString &text)
{
    for (QAction *action : window.findChild<QSystemTrayIcon *>()->contextMenu()->actions()) {
        if (action->text() == text)
            return action;
    }
    return nullptr;
}

void tst_Tray::closeHidesAndTheAgentKeepsWorking()
{
    AgentSettings settings = settingsFor(service.url());
    settings.heartbeatIntervalMs = 500;
    MainWindow window(settings);
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));

    QVERIFY(!closeAsUser(window));
    QVERIFY(!window.isVisible());
    QVERIFY(window.findChild<QSystemTrayIcon *>()->isVisible());

    // Hidden, the heartbeat still goes out on its period.
    const int before = int(service.requests("/api/heartbeat").size());
    QVERIFY(service.waitForRequests("/api/heartbeat", before + 2));
    QVERIFY(!window.isVisible());
}

void tst_Tray::showBringsTheSameWindowBack()
{
    MainWindow window(settingsFor(service.url()));
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    window.findChild<QLineEdit *>("usernameLineEdit")->setText("alice");
    QVERIFY(!closeAsUser(window));
    QTRY_VERIFY(!window.isVisible());

    trayAction(window, "Show")->trigger();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    QCOMPARE(window.findChild<QLineEdit *>("usernameLineEdit")->text(), QStringLiteral("alice"));
}

void tst_Tray::quitQuits_data()
{
    QTest::addColumn<bool>("shown");
    QTest::newRow("window shown") << true;
    QTest::newRow("window hidden") << false;
}

// Quit closes every window first, the tray icon's own included, in an order
// that changes from run to run; a window that refuses the close refuses the
// quit. So Quit is tried many times over.
void tst_Tray::quitQuits()
{
    QFETCH(bool, shown);
    for (int run = 0; run < 20; ++run) {
        MainWindow window(settingsFor(service.url()));
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        if (!shown)
            QVERIFY(!closeAsUser(window));
        QCOMPARE(runUntilQuit(window, [] {}, true, 0), 0);
    }
}

QTEST_MAIN(tst_Tray)

#include "tst_tray.moc"
