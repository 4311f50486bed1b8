// Heartbeats against the reference service: the bytes sent, the retry chain and
// the log it writes, and the periodic timers (the identify poll's as well).

#include "app/mainwindow.h"
#include "common/logcapture.h"
#include "common/refservice.h"
#include "common/testagent.h"
#include "identity/machineidentity.h"

#include <QStandardPaths>
#include <QTest>

class tst_Heartbeat : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void bytesOnTheWire();
    void retryChainGivesUpAfterThreeRetries();
    void successResetsTheCount();
    void outcome_data();
    void outcome();
    void periodicTimersSendWithoutLogin_data();
    void periodicTimersSendWithoutLogin();
    void overlappingHeartbeatsShareOneCount();

private:
    static void sendHeartbeat(MainWindow &window);
    RefService service;
};

static const QString failedPrefix = QStringLiteral("Heartbeat failed: \"");

void tst_Heartbeat::initTestCase()
{
    QVERIFY2(startTestService(service), qPrintable(service.errorText()));
}

void tst_Heartbeat::init()
{
    QVERIFY(service.reset());
}

void tst_Heartbeat::sendHeartbeat(MainWindow &window)
{
    QVERIFY(QMetaObject::invokeMethod(&window, "sendHeartbeat"));
}

void tst_Heartbeat::bytesOnTheWire()
{
    MainWindow window(settingsFor(service.url()));
    sendHeartbeat(window);
    QVERIFY(service.waitForRequests("/api/heartbeat", 1));

    const RefService::Request request = service.requests("/api/heartbeat").constFirst();
    const QByteArray expected = "{\n    \"device_name\": \"" + Identity::deviceName().toUtf8()
            + "\",\n    \"mac_address\": \"" + Identity::macAddressText().toUtf8() + "\"\n}\n";
    QCOMPARE(request.method, QStringLiteral("POST"));
    QCOMPARE(request.query, QString());
    QCOMPARE(request.body, expected);
    QCOMPARE(request.header("Content-Type"), QByteArray("application/json"));
    QCOMPARE(request.header("Content-Length"), QByteArray::number(expected.size()));
    QVERIFY(!request.hasHeader("Authorization"));
    QVERIFY(!request.hasHeader("Cookie"));
    // The device is named in lower case, whatever the host name's case.
    QCOMPARE(Identity::deviceName(), Identity::reportedHostName().toLower());
}

void tst_Heartbeat::retryChainGivesUpAfterThreeRetries()
{
    QVERIFY(service.configure(R"({"heartbeat": {"status": 503, "body": "down"}})"));
    MainWindow window(settingsFor(service.url()));
    LogCapture log;

    sendHeartbeat(window);
    QVERIFY(service.waitForRequests("/api/heartbeat", 4));
    QTRY_COMPARE(log.matching("Max heartbeat retries").size(), 1);
    // Nothing else is scheduled after giving up.
    QTest::qWait(300);
    QCOMPARE(service.requests("/api/heartbeat").size(), 4);

    const QList<LogCapture::Entry> entries = log.entries();
    QCOMPARE(entries.size(), 8);
    const QStringList expectedDebug{ "Retrying heartbeat in 10 seconds... Attempt 1",
                                     "Retrying heartbeat in 10 seconds... Attempt 2",
                                     "Retrying heartbeat in 10 seconds... Attempt 3" };
    for (int i = 0; i < 3; ++i) {
        QCOMPARE(entries.at(2 * i).type, QtWarningMsg);
        QVERIFY2(entries.at(2 * i).text.startsWith(failedPrefix), qPrintable(entries.at(2 * i).text));
        QVERIFY(entries.at(2 * i).text.endsWith(u'"'));
        QCOMPARE(entries.at(2 * i + 1).type, QtDebugMsg);
        QCOMPARE(entries.at(2 * i + 1).text, expectedDebug.at(i));
    }
    QCOMPARE(entries.at(6).type, QtWarningMsg);
    QVERIFY(entries.at(6).text.startsWith(failedPrefix));
    QCOMPARE(entries.at(7).type, QtWarningMsg);
    QCOMPARE(entries.at(7).text, QStringLiteral("Max heartbeat retries reached. Giving up."));
    for (const LogCapture::Entry &entry : entries)
        QVERIFY(!entry.hasContext);

    // The next periodic heartbeat fails once and is not retried.
    log.clear();
    sendHeartbeat(window);
    QTRY_COMPARE(log.entries().size(), 2);
    QTest::qWait(300);
    QCOMPARE(service.requests("/api/heartbeat").size(), 5);
    QVERIFY(log.texts().at(0).startsWith(failedPrefix));
    QCOMPARE(log.texts().at(1), QStringLiteral("Max heartbeat retries reached. Giving up."));
}

void tst_Heartbeat::successResetsTheCount()
{
    QVERIFY(service.configure(R"({"fail_heartbeats": 5})"));
    MainWindow window(settingsFor(service.url()));
    LogCapture log;

    // Four failures: given up; the fifth, from the next tick, is not retried.
    sendHeartbeat(window);
    QTRY_COMPARE(log.matching("Max heartbeat retries").size(), 1);
    sendHeartbeat(window);
    QTRY_COMPARE(log.matching("Max heartbeat retries").size(), 2);
    // Only a success leaves the given-up state.
    log.clear();
    sendHeartbeat(window);
    QTRY_COMPARE(log.texts(), QStringList{ "Heartbeat sent successfully." });

    // A single failure is retried once, and the retry's success resets the count.
    QVERIFY(service.configure(R"({"fail_heartbeats": 1})"));
    log.clear();
    sendHeartbeat(window);
    QTRY_COMPARE(log.matching("Heartbeat sent successfully.").size(), 1);
    QCOMPARE(log.texts().size(), 3);
    QVERIFY(log.texts().at(0).startsWith(failedPrefix));
    QCOMPARE(log.texts().at(1), QStringLiteral("Retrying heartbeat in 10 seconds... Attempt 1"));
    QCOMPARE(log.texts().at(2), QStringLiteral("Heartbeat sent successfully."));

    // With the count reset, a new run of failures gets three retries again.
    QVERIFY(service.configure(R"({"fail_heartbeats": 4})"));
    log.clear();
    sendHeartbeat(window);
    QTRY_COMPARE(log.matching("Max heartbeat retries").size(), 1);
    QCOMPARE(log.matching("Retrying heartbeat").size(), 3);
    QCOMPARE(log.texts(QtDebugMsg).last(), QStringLiteral("Retrying heartbeat in 10 seconds... Attempt 3"));
}

void tst_Heartbeat::outcome_data()
{
    QTest::addColumn<QByteArray>("route");
    QTest::addColumn<bool>("succeeds");

    QTest::newRow("200 with JSON") << QByteArray(R"({"status": 200, "body": "{}"})") << true;
    QTest::newRow("201 with garbage") << QByteArray(R"({"status": 201, "body": "\u0000garbage"})") << true;
    QTest::newRow("204 without body") << QByteArray(R"({"status": 204, "body": ""})") << true;
    QTest::newRow("401") << QByteArray(R"({"status": 401, "body": "{\"error\": \"who?\"}"})") << false;
    QTest::newRow("404") << QByteArray(R"({"status": 404})") << false;
    QTest::newRow("500") << QByteArray(R"({"status": 500})") << false;
    QTest::newRow("dropped") << QByteArray(R"({"action": "drop"})") << false;
}

void tst_Heartbeat::outcome()
{
    QFETCH(QByteArray, route);
    QFETCH(bool, succeeds);

    QVERIFY(service.configure("{\"heartbeat\": " + route + "}"));
    AgentSettings settings = settingsFor(service.url());
    settings.retryDelayMs = 60000;   // the first decision is all this looks at
    MainWindow window(settings);
    LogCapture log;
    sendHeartbeat(window);
    QTRY_VERIFY(!log.texts().isEmpty());
    QTest::qWait(50);
    if (succeeds) {
        QCOMPARE(log.texts(), QStringList{ "Heartbeat sent successfully." });
    } else {
        QCOMPARE(log.texts().size(), 2);
        QVERIFY(log.texts().at(0).startsWith(failedPrefix));
        QCOMPARE(log.texts().at(1), QStringLiteral("Retrying heartbeat in 10 seconds... Attempt 1"));
    }
}

void tst_Heartbeat::periodicTimersSendWithoutLogin_data()
{
    QTest::addColumn<int>("heartbeatMs");
    QTest::addColumn<int>("identifyMs");
    QTest::addColumn<QString>("path");
    QTest::addColumn<QString>("quietPath");
    const int day = 24 * 3600 * 1000;
    QTest::newRow("heartbeat every 400 ms") << 400 << day << "/api/heartbeat" << "/api/ping-identify";
    QTest::newRow("identify poll every 300 ms") << day << 300 << "/api/ping-identify" << "/api/heartbeat";
}

void tst_Heartbeat::periodicTimersSendWithoutLogin()
{
    QFETCH(int, heartbeatMs);
    QFETCH(int, identifyMs);
    QFETCH(QString, path);
    QFETCH(QString, quietPath);
    AgentSettings settings = settingsFor(service.url());
    settings.heartbeatIntervalMs = heartbeatMs;
    settings.identifyIntervalMs = identifyMs;
    MainWindow window(settings);
    QVERIFY(service.waitForRequests(path, 3));
    QVERIFY(service.requests("/login").isEmpty());
    QVERIFY(service.requests(quietPath).isEmpty());
    const QList<RefService::Request> requests = service.requests(path);
    QCOMPARE(requests.at(0).body, requests.at(2).body);
}

void tst_Heartbeat::overlappingHeartbeatsShareOneCount()
{
    // Two heartbeats in flight fail together: both chains count into the one
    // number, so the limit is reached after fewer retries in each.
    QVERIFY(service.configure(R"({"heartbeat": {"status": 500, "delay": 0.2}})"));
    MainWindow window(settingsFor(service.url()));
    LogCapture log;
    sendHeartbeat(window);
    sendHeartbeat(window);
    QTRY_VERIFY(log.matching("Max heartbeat retries").size() >= 2);
    QTest::qWait(500);
    QCOMPARE(log.matching("Retrying heartbeat").size(), 3);
    QCOMPARE(service.requests("/api/heartbeat").size(), 5);
}

QTEST_MAIN(tst_Heartbeat)

#include "tst_heartbeat.moc"
