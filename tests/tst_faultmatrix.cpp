// Every exchange with the service, and the public-address lookup, against every
// way the other side can fail: the outcome the user or the log sees, no crash,
// no wait beyond the transfer timeout, and nothing sent over a connection whose
// certificate did not verify.

#include "app/mainwindow.h"
#include "common/logcapture.h"
#include "common/refservice.h"
#include "common/testsettings.h"

#include <QElapsedTimer>
#include <QJsonDocument>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QStandardPaths>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QTest>

namespace {

enum class Exchange { Login, Registration, Heartbeat, Identify, PublicAddress };
enum class Endpoint { Good, Refused, Untrusted, WrongHost };

struct Fault
{
    const char *name;
    Endpoint endpoint;
    const char *route;   // the answer of the route under test, as JSON; empty for none
    bool transportFails; // the network layer reports an error
};

const QByteArray someJson = R"({\"success\": true, \"user_id\": 5, \"identify\": true})";

const Fault faults[] = {
    { "connection refused", Endpoint::Refused, "", true },
    { "untrusted certificate", Endpoint::Untrusted, "", true },
    { "wrong host name", Endpoint::WrongHost, "", true },
    { "401 with JSON", Endpoint::Good, R"({"status": 401, "body": "JSON"})", true },
    { "401 without body", Endpoint::Good, R"({"status": 401, "body": ""})", true },
    { "404 with JSON", Endpoint::Good, R"({"status": 404, "body": "JSON"})", true },
    { "404 plain", Endpoint::Good, R"({"status": 404, "body": "not here", "content_type": "text/plain"})", true },
    { "500 with JSON", Endpoint::Good, R"({"status": 500, "body": "JSON"})", true },
    { "500 plain", Endpoint::Good, R"({"status": 500, "body": "oops", "content_type": "text/plain"})", true },
    { "not JSON", Endpoint::Good, R"({"status": 200, "body": "<html>OK</html>", "content_type": "text/html"})", false },
    { "JSON array", Endpoint::Good, R"({"status": 200, "body": "[JSON]"})", false },
    { "empty body", Endpoint::Good, R"({"status": 200, "body": ""})", false },
    { "10 MiB of garbage", Endpoint::Good, R"({"status": 200, "body": "garbage!", "body_repeat": 1310720})", false },
    { "hangs", Endpoint::Good, R"({"action": "hang"})", true },
    { "dropped mid-body", Endpoint::Good, R"({"action": "drop_mid_body", "body": "JSON"})", true },
};

const char *routeName(Exchange exchange)
{
    switch (exchange) {
    case Exchange::Login: return "login";
    case Exchange::Registration: return "devices";
    case Exchange::Heartbeat: return "heartbeat";
    case Exchange::Identify: return "identify";
    case Exchange::PublicAddress: return "ip";
    }
    return "";
}

const char *pathOf(Exchange exchange)
{
    switch (exchange) {
    case Exchange::Login: return "/login";
    case Exchange::Registration: return "/api/devices";
    case Exchange::Heartbeat: return "/api/heartbeat";
    case Exchange::Identify: return "/api/ping-identify";
    case Exchange::PublicAddress: return "/";
    }
    return "";
}

} // namespace

Q_DECLARE_METATYPE(Exchange)
Q_DECLARE_METATYPE(Endpoint)

class tst_FaultMatrix : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void fault_data();
    void fault();

private:
    QString endpointUrl(Endpoint endpoint) const;

    RefService service;
    QTemporaryDir otherCa;
    std::unique_ptr<RefService> untrusted;
    quint16 closedPort = 0;
};

static constexpr int transferTimeoutMs = 1500;

void tst_FaultMatrix::initTestCase()
{
    QVERIFY2(startTestService(service), qPrintable(service.errorText()));
    // The same service with a CA of its own, which the agent does not trust.
    QVERIFY(otherCa.isValid());
    untrusted = std::make_unique<RefService>(otherCa.path());
    QVERIFY2(untrusted->start(), qPrintable(untrusted->errorText()));
    // A port on which nothing listens.
    QTcpServer server;
    QVERIFY(server.listen(QHostAddress::LocalHost));
    closedPort = server.serverPort();
    server.close();
}

void tst_FaultMatrix::init()
{
    QVERIFY(service.reset());
    QVERIFY(untrusted->reset());
}

QString tst_FaultMatrix::endpointUrl(Endpoint endpoint) const
{
    switch (endpoint) {
    case Endpoint::Good: return service.url().toString(QUrl::StripTrailingSlash);
    case Endpoint::Refused: return QStringLiteral("https://localhost:%1").arg(closedPort);
    case Endpoint::Untrusted: return untrusted->url().toString(QUrl::StripTrailingSlash);
    case Endpoint::WrongHost: return QStringLiteral("https://127.0.0.1:%1").arg(service.port());
    }
    return QString();
}

void tst_FaultMatrix::fault_data()
{
    QTest::addColumn<Exchange>("exchange");
    QTest::addColumn<Endpoint>("endpoint");
    QTest::addColumn<QByteArray>("route");
    QTest::addColumn<bool>("transportFails");

    const QList<QPair<Exchange, const char *>> exchanges{
        { Exchange::Login, "login" }, { Exchange::Registration, "registration" },
        { Exchange::Heartbeat, "heartbeat" }, { Exchange::Identify, "identify" },
        { Exchange::PublicAddress, "public address" } };
    for (const auto &[exchange, exchangeName] : exchanges) {
        for (const Fault &fault : faults) {
            // The registration goes to the login's host: a host that cannot be
            // reached fails the login first.
            if (exchange == Exchange::Registration && fault.endpoint != Endpoint::Good)
                continue;
            QByteArray route(fault.route);
            route.replace("\"JSON\"", "\"" + someJson + "\"");
            route.replace("[JSON]", "[" + someJson + "]");
            QTest::addRow("%s, %s", exchangeName, fault.name)
                    << exchange << fault.endpoint << route << fault.transportFails;
        }
    }
}

void tst_FaultMatrix::fault()
{
    QFETCH(Exchange, exchange);
    QFETCH(Endpoint, endpoint);
    QFETCH(QByteArray, route);
    QFETCH(bool, transportFails);

    if (!route.isEmpty())
        QVERIFY(service.configure("{\"" + QByteArray(routeName(exchange)) + "\": " + route + "}"));

    AgentSettings settings = settingsFor(service.url());
    settings.transferTimeoutMs = transferTimeoutMs;
    settings.retryDelayMs = 3600 * 1000;
    const QString url = endpointUrl(endpoint);
    if (exchange == Exchange::PublicAddress)
        settings.publicAddressUrl = url;
    else
        settings.serviceUrl = url;

    MainWindow window(settings);
    window.show();
    auto *status = window.findChild<QLabel *>("statusLabel");
    LogCapture log;
    QElapsedTimer clock;
    clock.start();
    const int bound = transferTimeoutMs + 8000;

    switch (exchange) {
    case Exchange::Login:
    case Exchange::Registration:
    case Exchange::PublicAddress: {
        window.findChild<QLineEdit *>("usernameLineEdit")->setText("demo");
        window.findChild<QLineEdit *>("passwordLineEdit")->setText("demo");
        QTest::mouseClick(window.findChild<QPushButton *>("loginButton"), Qt::LeftButton);
        QTRY_VERIFY_WITH_TIMEOUT(status->text() != QStringLiteral("Status"), bound);
        break;
    }
    case Exchange::Heartbeat:
        QVERIFY(QMetaObject::invokeMethod(&window, "sendHeartbeat"));
        QTRY_VERIFY_WITH_TIMEOUT(!log.matching("Heartbeat").isEmpty(), bound);
        break;
    case Exchange::Identify:
        QVERIFY(QMetaObject::invokeMethod(&window, "checkIdentifyStatus"));
        QTRY_VERIFY_WITH_TIMEOUT(!log.matching("Identify").isEmpty(), bound);
        break;
    }
    QVERIFY2(clock.elapsed() < bound, "waited beyond the transfer timeout");
    QTest::qWait(50);

    switch (exchange) {
    case Exchange::Login:
        QCOMPARE(status->text(), transportFails ? QStringLiteral("Network error.") : QStringLiteral("Login failed."));
        QCOMPARE(log.matching("Login error: \"").size(), transportFails ? 1 : 0);
        QVERIFY(service.requests("/api/devices").isEmpty());
        break;
    case Exchange::Registration:
        QCOMPARE(status->text(), transportFails ? QStringLiteral("Login OK, but device not uploaded.")
                                                : QStringLiteral("Login successful. Device registered."));
        QCOMPARE(log.matching("Device upload error: \"").size(), transportFails ? 1 : 0);
        break;
    case Exchange::Heartbeat:
        if (transportFails) {
            QCOMPARE(log.matching("Heartbeat failed: \"").size(), 1);
            QCOMPARE(log.texts(QtDebugMsg).filter("Retrying").size(), 1);
        } else {
            QCOMPARE(log.matching("Heartbeat").size(), 1);
            QCOMPARE(log.matching("Heartbeat sent successfully.").size(), 1);
        }
        break;
    case Exchange::Identify:
        QCOMPARE(log.matching("Identify").size(), 1);
        QCOMPARE(log.matching(transportFails ? "Identify check failed: \"" : "Identify status: false").size(), 1);
        break;
    case Exchange::PublicAddress: {
        QCOMPARE(status->text(), QStringLiteral("Login successful. Device registered."));
        const QList<RefService::Request> registrations = service.requests("/api/devices");
        QCOMPARE(registrations.size(), 1);
        QVERIFY2(registrations.constFirst().body.contains("\"ip_address\": \"\",\n"),
                 registrations.constFirst().body.constData());
        break;
    }
    }

    // Over a connection that failed verification, not a byte of the request.
    if (endpoint == Endpoint::Untrusted)
        QVERIFY(untrusted->requests().isEmpty());
    if (endpoint == Endpoint::WrongHost)
        QVERIFY(service.requests(pathOf(exchange)).isEmpty());
}

QTEST_MAIN(tst_FaultMatrix)

#include "tst_faultmatrix.moc"
