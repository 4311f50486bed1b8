// Identify polling against the reference service: the answers that count as a
// request, the alert sound and the notice, and the failures that only log.

#include "app/mainwindow.h"
#include "common/logcapture.h"
#include "common/messageboxwatcher.h"
#include "common/refservice.h"
#include "common/testagent.h"
#include "common/useractions.h"
#include "identity/machineidentity.h"

#include <QAudioOutput>
#include <QElapsedTimer>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QMediaPlayer>
#include <QStandardPaths>
#include <QTest>

class tst_Identify : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void bytesOnTheWire();
    void answers_data();
    void answers();
    void failures_data();
    void failures();
    void alertAndNotice();
    void repeatedRequestsDoNotStackNotices();
    void noticeWhileHiddenToTray();
    void slowAnswersHoldNothingElse();

private:
    static void poll(MainWindow &window)
    {
        QVERIFY(QMetaObject::invokeMethod(&window, "checkIdentifyStatus"));
    }

    RefService service;
};

void tst_Identify::initTestCase()
{
    QVERIFY2(startTestService(service), qPrintable(service.errorText()));
}

void tst_Identify::init()
{
    QVERIFY(service.reset());
}

void tst_Identify::bytesOnTheWire()
{
    MainWindow window(settingsFor(service.url()));
    poll(window);
    QVERIFY(service.waitForRequests("/api/ping-identify", 1));
    const RefService::Request request = service.requests("/api/ping-identify").constFirst();
    QCOMPARE(request.method, QStringLiteral("POST"));
    QCOMPARE(request.header("Content-Type"), QByteArray("application/json"));
    QCOMPARE(request.body, "{\n    \"device_name\": \"" + Identity::deviceName().toUtf8()
                     + "\",\n    \"mac_address\": \"" + Identity::macAddressText().toUtf8() + "\"\n}\n");
}

void tst_Identify::answers_data()
{
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<bool>("identify");

    QTest::newRow("true") << QByteArray(R"({"identify": true})") << true;
    QTest::newRow("true among others") << QByteArray(R"({"device": "x", "identify": true, "n": 1})") << true;
    QTest::newRow("false") << QByteArray(R"({"identify": false})") << false;
    QTest::newRow("string true") << QByteArray(R"({"identify": "true"})") << false;
    QTest::newRow("one") << QByteArray(R"({"identify": 1})") << false;
    QTest::newRow("null") << QByteArray(R"({"identify": null})") << false;
    QTest::newRow("missing") << QByteArray(R"({})") << false;
    QTest::newRow("empty body") << QByteArray() << false;
    QTest::newRow("HTML page") << QByteArray("<html><body>Maintenance</body></html>") << false;
    QTest::newRow("array") << QByteArray(R"([{"identify": true}])") << false;
}

void tst_Identify::answers()
{
    QFETCH(QByteArray, body);
    QFETCH(bool, identify);

    QJsonObject route{ { "status", 200 }, { "body", QString::fromUtf8(body) } };
    QVERIFY(service.configure(QJsonObject{ { "identify", route } }));
    MainWindow window(settingsFor(service.url()));
    MessageBoxWatcher watcher;
    LogCapture log;
    poll(window);
    QTRY_COMPARE(log.matching("Identify").size(), 1);
    QTRY_COMPARE(watcher.openCount(), 0);

    QCOMPARE(log.texts(QtDebugMsg).filter("Identify"),
             QStringList{ identify ? "Identify status: true" : "Identify status: false" });
    QCOMPARE(watcher.seen().size(), identify ? 1 : 0);
}

void tst_Identify::failures_data()
{
    QTest::addColumn<QByteArray>("route");

    QTest::newRow("500 with a JSON body") << QByteArray(R"({"status": 500, "body": "{\"identify\": true}"})");
    QTest::newRow("404") << QByteArray(R"({"status": 404})");
    QTest::newRow("dropped") << QByteArray(R"({"action": "drop"})");
    QTest::newRow("dropped mid-body") << QByteArray(R"({"action": "drop_mid_body", "body": "{\"identify\": true}"})");
    QTest::newRow("hangs past the timeout") << QByteArray(R"({"action": "hang"})");
}

void tst_Identify::failures()
{
    QFETCH(QByteArray, route);

    QVERIFY(service.configure("{\"identify\": " + route + "}"));
    AgentSettings settings = settingsFor(service.url());
    settings.transferTimeoutMs = 1000;
    MainWindow window(settings);
    MessageBoxWatcher watcher;
    LogCapture log;
    poll(window);
    QTRY_COMPARE_WITH_TIMEOUT(log.texts().size(), 1, 10000);
    QTest::qWait(100);

    QCOMPARE(log.entries().size(), 1);
    QCOMPARE(log.entries().constFirst().type, QtDebugMsg);
    const QString text = log.texts().constFirst();
    QVERIFY2(text.startsWith("Identify check failed: \"") && text.endsWith(u'"'), qPrintable(text));
    QVERIFY(watcher.seen().isEmpty());
    QVERIFY(window.findChildren<QMediaPlayer *>().isEmpty());
}

void tst_Identify::alertAndNotice()
{
    QVERIFY(service.configure(R"({"identify": true})"));
    MainWindow window(settingsFor(service.url()));
    window.show();
    MessageBoxWatcher watcher(false);
    // The sound starts before the box shows and plays for about a second;
    // the test's own code waits beneath the box, so a timer looks.
    struct Alert { QObject *parent; QUrl source; QObject *outputParent; float volume; };
    QList<Alert> players;
    QTimer look;
    connect(&look, &QTimer::timeout, this, [&] {
        if (watcher.openCount() == 1 && !watcher.seen().isEmpty()) {
            for (QMediaPlayer *player : window.findChildren<QMediaPlayer *>()) {
                QAudioOutput *output = player->audioOutput();
                players.append({ player->parent(), player->source(), output ? output->parent() : nullptr,
                                 output ? output->volume() : -1.0f });
            }
            look.stop();
            watcher.setClosing(true);
        }
    });
    look.start(10);
    poll(window);
    QTRY_COMPARE(watcher.seen().size(), 1);
    QTRY_COMPARE(watcher.openCount(), 0);

    const MessageBoxWatcher::Seen box = watcher.seen().constFirst();
    QCOMPARE(box.title, QStringLiteral("Identify"));
    QCOMPARE(box.text, QStringLiteral("Device identification requested!"));
    QCOMPARE(box.icon, QMessageBox::Information);
    QCOMPARE(box.buttons, QMessageBox::StandardButtons(QMessageBox::Ok));
    QCOMPARE(box.parent, &window);

    QCOMPARE(players.size(), 1);
    const Alert alert = players.constFirst();
    QCOMPARE(alert.parent, &window);
    QCOMPARE(alert.source, QUrl("qrc:/resources/mailsound.mp3"));
    QCOMPARE(alert.outputParent, &window);
    QCOMPARE(alert.volume, 1.0f);

    // Its sound ended, the player waits for the next alert, which replays it.
    const auto ended = [&window] {
        const auto players = window.findChildren<QMediaPlayer *>();
        return players.size() == 1 && players.constFirst()->mediaStatus() == QMediaPlayer::EndOfMedia;
    };
    QTRY_VERIFY_WITH_TIMEOUT(ended(), 5000);
    const QList<QMediaPlayer *> waiting = window.findChildren<QMediaPlayer *>();
    poll(window);
    QTRY_COMPARE(watcher.seen().size(), 2);
    QCOMPARE(window.findChildren<QMediaPlayer *>(), waiting);
}

void tst_Identify::repeatedRequestsDoNotStackNotices()
{
    QVERIFY(service.configure(R"({"identify": true})"));
    AgentSettings settings = settingsFor(service.url());
    settings.alertKeptMs = 3000;
    MainWindow window(settings);
    window.show();
    MessageBoxWatcher watcher(false);
    LogCapture log;

    // While a notice is open the test's own code waits beneath its event loop,
    // so the steps in between are driven from a timer.
    enum Phase { WaitingForNotice, WaitingForRepeats, Settling, Closing };
    Phase phase = WaitingForNotice;
    int boxesWhileOpen = -1;
    qsizetype mostPlayers = 0;
    QElapsedTimer settling;
    QTimer driver;
    connect(&driver, &QTimer::timeout, this, [&] {
        mostPlayers = qMax(mostPlayers, window.findChildren<QMediaPlayer *>().size());
        switch (phase) {
        case WaitingForNotice:
            if (watcher.openCount() == 1) {
                // Two more requests while the notice is open.
                poll(window);
                poll(window);
                phase = WaitingForRepeats;
            }
            break;
        case WaitingForRepeats:
            if (log.matching("Identify status: true").size() == 3) {
                settling.start();
                phase = Settling;
            }
            break;
        case Settling:
            if (settling.elapsed() > 200) {
                boxesWhileOpen = watcher.openCount();
                watcher.setClosing(true);
                phase = Closing;
            }
            break;
        case Closing:
            break;
        }
    });
    driver.start(20);

    poll(window);
    QTRY_COMPARE_WITH_TIMEOUT(phase, Closing, 15000);
    QTRY_COMPARE(watcher.openCount(), 0);
    QCOMPARE(boxesWhileOpen, 1);
    QCOMPARE(watcher.seen().size(), 1);
    // Three alerts at once play side by side on two players.
    QCOMPARE(mostPlayers, 2);

    // Once they have played and waited, nothing of them is left.
    QTRY_VERIFY_WITH_TIMEOUT(window.findChildren<QMediaPlayer *>().isEmpty(), 10000);
    QVERIFY(window.findChildren<QAudioOutput *>().isEmpty());

    // Once the box is closed, the next request opens one again.
    poll(window);
    QTRY_COMPARE(watcher.seen().size(), 2);
    QTRY_COMPARE(watcher.openCount(), 0);
}

void tst_Identify::noticeWhileHiddenToTray()
{
    QVERIFY(service.configure(R"({"identify": true})"));
    MainWindow window(settingsFor(service.url()));
    window.show();
    window.hide();
    MessageBoxWatcher watcher;
    poll(window);
    QTRY_COMPARE(watcher.seen().size(), 1);
    QTRY_COMPARE(watcher.openCount(), 0);
    QVERIFY(!window.isVisible());
}

// A service that trickles its identify answers: each poll is given up at the
// deadline, so with polls on their usual rhythm no more than deadline/interval
// + 1 are outstanding, and Qt keeps connections free for the login and the
// heartbeat. Without the deadline, the polls soon hold every connection Qt
// opens to the service.
void tst_Identify::slowAnswersHoldNothingElse()
{
    QVERIFY(service.configure(R"({"identify": {"action": "trickle", "interval": 0.2}})"));
    AgentSettings settings = settingsFor(service.url());
    settings.identifyIntervalMs = 400;
    settings.requestDeadlineMs = 800;  // the program's 15 s and 30 s, scaled down
    settings.transferTimeoutMs = 800;
    MainWindow window(settings);
    window.show();
    LogCapture log;
    // Twice as many polls as Qt's six connections per host.
    QTRY_VERIFY_WITH_TIMEOUT(service.requests("/api/ping-identify").size() >= 12, 15000);
    const int outstanding = service.requests("/api/ping-identify").size()
            - log.matching("Identify check failed:").size();
    QVERIFY2(outstanding <= 3, qPrintable(QString::number(outstanding)));

    QVERIFY(QMetaObject::invokeMethod(&window, "sendHeartbeat"));
    signIn(window, "demo", "demo");
    QTRY_COMPARE_WITH_TIMEOUT(formOf(window).status->text(),
                              QStringLiteral("Login successful. Device registered."), 5000);
    QTRY_COMPARE(log.matching("Heartbeat sent successfully.").size(), 1);
    QVERIFY(log.matching("Heartbeat failed:").isEmpty());
}

QTEST_MAIN(tst_Identify)

#include "tst_identify.moc"
