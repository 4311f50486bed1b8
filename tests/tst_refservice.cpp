// Checks the reference service and its fixture the way the agent's tests use
// them: real TLS with verification on, through QNetworkAccessManager.
#include "refservice.h"

#include <QElapsedTimer>
#include <QEventLoop>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QNetworkProxy>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QProcess>
#include <QRegularExpression>
#include <QDir>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>

#include <memory>

namespace {

struct Outcome
{
    QNetworkReply::NetworkError error = QNetworkReply::NoError;
    int status = 0;
    QByteArray body;
    QList<QSslError> sslErrors;
    qint64 elapsedMs = 0;
    bool finished = false;
};

QByteArray deviceBody()
{
    return QJsonDocument(QJsonObject{{QStringLiteral("device_name"), QStringLiteral("desk-1")},
                                     {QStringLiteral("mac_address"), QStringLiteral("00:11:22:33:44:55")}})
        .toJson();
}

QByteArray loginBody(const QString &user, const QString &password)
{
    return QJsonDocument(QJsonObject{{QStringLiteral("username"), user},
                                     {QStringLiteral("password"), password}})
        .toJson();
}

QJsonObject jsonObject(const QByteArray &data)
{
    return QJsonDocument::fromJson(data).object();
}

} // namespace

class TestRefService : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void heartbeatIsRecordedExactly();
    void defaultAnswers_data();
    void defaultAnswers();
    void addressEchoAnswersWithPeer();
    void configuredUsers();
    void failHeartbeatsThenRecover();
    void identifyOnceAndStanding();
    void hangEndsWithClientTimeout();
    void dropsAreErrors();
    void delayAndLargeBody();
    void keepAliveReusesConnection();
    void rejectedConfigChangesNothing();
    void resetClearsRecordsAndConfig();
    void ipAddressHostFailsVerification();
    void listensOnBothLoopbacks();
    void otherStateDirIsUntrusted();
    void simultaneousFirstUseMakesOneCa();

private:
    Outcome exchange(const QByteArray &verb, const QUrl &url, const QByteArray &body = QByteArray(),
                     int transferTimeoutMs = 15000);
    Outcome post(const QString &path, const QByteArray &body)
    {
        return exchange("POST", endpoint(path), body);
    }
    QUrl endpoint(const QString &pathAndQuery) const
    {
        return QUrl(m_service.url().toString() + pathAndQuery);
    }

    RefService m_service;
    std::unique_ptr<QNetworkAccessManager> m_network;
    QSslConfiguration m_tls;
};

Outcome TestRefService::exchange(const QByteArray &verb, const QUrl &url, const QByteArray &body,
                                 int transferTimeoutMs)
{
    QNetworkRequest request(url);
    request.setSslConfiguration(m_tls);
    request.setTransferTimeout(transferTimeoutMs);
    if (verb == "POST")
        request.setHeader(QNetworkRequest::ContentTypeHeader, QByteArrayLiteral("application/json"));

    Outcome outcome;
    QElapsedTimer clock;
    clock.start();
    QNetworkReply *reply = m_network->sendCustomRequest(request, verb, body);
    connect(reply, &QNetworkReply::sslErrors, reply,
            [&outcome](const QList<QSslError> &errors) { outcome.sslErrors += errors; });
    QEventLoop loop;
    QTimer guard;
    guard.setSingleShot(true);
    connect(reply, &QNetworkReply::finished, &loop, &QEventLoop::quit);
    connect(&guard, &QTimer::timeout, &loop, &QEventLoop::quit);
    guard.start(transferTimeoutMs + 10000);
    if (!reply->isFinished())
        loop.exec();
    outcome.finished = reply->isFinished();
    if (!outcome.finished)
        reply->abort();
    outcome.elapsedMs = clock.elapsed();
    outcome.error = reply->error();
    outcome.status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    if (reply->isOpen())
        outcome.body = reply->readAll();
    reply->deleteLater();
    return outcome;
}

void TestRefService::initTestCase()
{
    QVERIFY2(m_service.start(), qPrintable(m_service.errorText()));
    QCOMPARE(m_service.url().scheme(), QStringLiteral("https"));
    QCOMPARE(m_service.url().host(), QStringLiteral("localhost"));
    QVERIFY(m_service.port() > 0);
    QVERIFY(!m_service.caCertificates().isEmpty());

    // What the agent does: default verification, with the test CA trusted.
    m_tls = QSslConfiguration::defaultConfiguration();
    m_tls.addCaCertificates(m_service.caCertificates());
    QCOMPARE(m_tls.peerVerifyMode(), QSslSocket::AutoVerifyPeer);
}

void TestRefService::init()
{
    QVERIFY2(m_service.isRunning(), qPrintable(m_service.errorText()));
    QVERIFY2(m_service.reset(), qPrintable(m_service.errorText()));
    m_network = std::make_unique<QNetworkAccessManager>();
    m_network->setProxy(QNetworkProxy::NoProxy);
}

void TestRefService::cleanup()
{
    m_network.reset();
}

void TestRefService::heartbeatIsRecordedExactly()
{
    const QByteArray body = deviceBody();
    const Outcome outcome = post(QStringLiteral("/api/heartbeat"), body);
    QCOMPARE(outcome.error, QNetworkReply::NoError);
    QCOMPARE(outcome.status, 200);
    QVERIFY(outcome.sslErrors.isEmpty());
    QCOMPARE(jsonObject(outcome.body).value(QStringLiteral("status")).toString(), QStringLiteral("ok"));

    const QList<RefService::Request> records = m_service.requests(QStringLiteral("/api/heartbeat"));
    QCOMPARE(records.size(), 1);
    const RefService::Request &r = records.first();
    QCOMPARE(r.method, QStringLiteral("POST"));
    QCOMPARE(r.path, QStringLiteral("/api/heartbeat"));
    QVERIFY(r.query.isEmpty());
    QCOMPARE(r.body, body);
    QCOMPARE(r.header("content-type"), QByteArrayLiteral("application/json"));
    QCOMPARE(r.header("CONTENT-LENGTH"), QByteArray::number(body.size()));
    QCOMPARE(r.header("Host"), QStringLiteral("localhost:%1").arg(m_service.port()).toUtf8());
    QVERIFY(!r.hasHeader("X-Not-Sent"));
    QVERIFY(r.header("X-Not-Sent").isEmpty());
    QVERIFY(r.sequence > 0);

    // The path filter really filters.
    QVERIFY(m_service.requests(QStringLiteral("/login")).isEmpty());
    QCOMPARE(m_service.requests().size(), 1);
}

void TestRefService::defaultAnswers_data()
{
    QTest::addColumn<QString>("target");
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<int>("status");
    QTest::addColumn<QByteArray>("expected");

    QTest::newRow("login accepted") << QStringLiteral("/login") << loginBody(QStringLiteral("demo"), QStringLiteral("demo"))
                                    << 200 << QByteArrayLiteral(R"({"success": true, "user_id": 42})");
    QTest::newRow("login wrong password") << QStringLiteral("/login") << loginBody(QStringLiteral("demo"), QStringLiteral("Demo"))
                                          << 200 << QByteArrayLiteral(R"({"success": false})");
    QTest::newRow("login unknown user") << QStringLiteral("/login") << loginBody(QStringLiteral("eve"), QStringLiteral("demo"))
                                        << 200 << QByteArrayLiteral(R"({"success": false})");
    QTest::newRow("login not json") << QStringLiteral("/login") << QByteArrayLiteral("demo:demo")
                                    << 200 << QByteArrayLiteral(R"({"success": false})");
    QTest::newRow("registration") << QStringLiteral("/api/devices?uid=42") << deviceBody()
                                  << 201 << QByteArrayLiteral(R"({"status": "ok"})");
    QTest::newRow("identify") << QStringLiteral("/api/ping-identify") << deviceBody()
                              << 200 << QByteArrayLiteral(R"({"identify": false})");
    QTest::newRow("unknown path") << QStringLiteral("/api/nothing") << deviceBody()
                                  << 404 << QByteArrayLiteral(R"({"error": "not found"})");
}

void TestRefService::defaultAnswers()
{
    QFETCH(QString, target);
    QFETCH(QByteArray, body);
    QFETCH(int, status);
    QFETCH(QByteArray, expected);

    const Outcome outcome = post(target, body);
    QCOMPARE(outcome.status, status);
    QCOMPARE(outcome.error == QNetworkReply::NoError, status < 400);
    QCOMPARE(jsonObject(outcome.body), jsonObject(expected));

    const QUrl url = endpoint(target);
    const QList<RefService::Request> records = m_service.requests(url.path());
    QCOMPARE(records.size(), 1);
    QCOMPARE(records.first().query, url.query());
    QCOMPARE(records.first().body, body);
}

void TestRefService::addressEchoAnswersWithPeer()
{
    const Outcome outcome = exchange("GET", m_service.url());
    QCOMPARE(outcome.error, QNetworkReply::NoError);
    const QList<RefService::Request> records = m_service.requests(QStringLiteral("/"));
    QCOMPARE(records.size(), 1);
    QCOMPARE(records.first().method, QStringLiteral("GET"));
    QVERIFY(records.first().client == QLatin1String("127.0.0.1") || records.first().client == QLatin1String("::1"));
    QCOMPARE(outcome.body, records.first().client.toUtf8() + '\n');

    // The address service is GET only.
    QCOMPARE(exchange("POST", m_service.url(), "{}").status, 405);
}

void TestRefService::configuredUsers()
{
    QVERIFY2(m_service.configure(QJsonObject{
                 {QStringLiteral("users"),
                  QJsonObject{{QStringLiteral("ann"), QJsonObject{{QStringLiteral("password"), QStringLiteral("pw")},
                                                                  {QStringLiteral("user_id"), QStringLiteral("u-7")}}},
                              {QStringLiteral("bob"), QJsonObject{{QStringLiteral("password"), QStringLiteral("pw2")}}},
                              {QStringLiteral("demo"), QJsonValue::Null}}}}),
             qPrintable(m_service.errorText()));

    QJsonObject ann = jsonObject(post(QStringLiteral("/login"), loginBody(QStringLiteral("ann"), QStringLiteral("pw"))).body);
    QCOMPARE(ann.value(QStringLiteral("success")), QJsonValue(true));
    QCOMPARE(ann.value(QStringLiteral("user_id")), QJsonValue(QStringLiteral("u-7")));

    QJsonObject bob = jsonObject(post(QStringLiteral("/login"), loginBody(QStringLiteral("bob"), QStringLiteral("pw2"))).body);
    QCOMPARE(bob.value(QStringLiteral("success")), QJsonValue(true));
    QVERIFY(!bob.contains(QStringLiteral("user_id")));

    QJsonObject demo = jsonObject(post(QStringLiteral("/login"), loginBody(QStringLiteral("demo"), QStringLiteral("demo"))).body);
    QCOMPARE(demo.value(QStringLiteral("success")), QJsonValue(false));

    // A route override wins over the user table.
    QVERIFY(m_service.configure(R"({"login": {"status": 503, "body": "down"}})"));
    const Outcome down = post(QStringLiteral("/login"), loginBody(QStringLiteral("ann"), QStringLiteral("pw")));
    QCOMPARE(down.status, 503);
    QCOMPARE(down.error, QNetworkReply::ServiceUnavailableError);
    QCOMPARE(down.body, QByteArrayLiteral("down"));
}

void TestRefService::failHeartbeatsThenRecover()
{
    QVERIFY2(m_service.configure(R"({"fail_heartbeats": 2})"), qPrintable(m_service.errorText()));
    const QList<int> expected{500, 500, 200};
    for (int i = 0; i < expected.size(); ++i) {
        const Outcome outcome = post(QStringLiteral("/api/heartbeat"), deviceBody());
        QCOMPARE(outcome.status, expected.at(i));
        QCOMPARE(outcome.error, expected.at(i) == 500 ? QNetworkReply::InternalServerError
                                                      : QNetworkReply::NoError);
    }
    QCOMPARE(m_service.requests(QStringLiteral("/api/heartbeat")).size(), 3);
}

void TestRefService::identifyOnceAndStanding()
{
    auto poll = [this] {
        const Outcome outcome = post(QStringLiteral("/api/ping-identify"), deviceBody());
        return jsonObject(outcome.body).value(QStringLiteral("identify"));
    };

    QCOMPARE(poll(), QJsonValue(false));
    QVERIFY(m_service.requestIdentify());
    QCOMPARE(poll(), QJsonValue(true));
    QCOMPARE(poll(), QJsonValue(false));

    QVERIFY(m_service.configure(R"({"identify": true})"));
    QCOMPARE(poll(), QJsonValue(true));
    QCOMPARE(poll(), QJsonValue(true));

    // An object under "identify" overrides the route; null clears both.
    QVERIFY(m_service.configure(R"({"identify": {"status": 502}})"));
    QCOMPARE(post(QStringLiteral("/api/ping-identify"), deviceBody()).status, 502);
    QVERIFY(m_service.configure(R"({"identify": null})"));
    QCOMPARE(poll(), QJsonValue(false));
}

void TestRefService::hangEndsWithClientTimeout()
{
    QVERIFY(m_service.configure(R"({"heartbeat": {"action": "hang"}})"));
    const Outcome outcome = exchange("POST", endpoint(QStringLiteral("/api/heartbeat")), deviceBody(), 700);
    QVERIFY(outcome.finished);
    QVERIFY2(outcome.error == QNetworkReply::OperationCanceledError || outcome.error == QNetworkReply::TimeoutError,
             qPrintable(QString::number(outcome.error)));
    QVERIFY(outcome.elapsedMs >= 600);
    QVERIFY(outcome.elapsedMs < 8000);
    // The request was read in full before the service went quiet.
    const QList<RefService::Request> records = m_service.requests(QStringLiteral("/api/heartbeat"));
    QVERIFY(!records.isEmpty());
    QCOMPARE(records.first().body, deviceBody());

    // Other routes still answer meanwhile.
    QCOMPARE(post(QStringLiteral("/api/ping-identify"), deviceBody()).status, 200);
}

void TestRefService::dropsAreErrors()
{
    QVERIFY(m_service.configure(R"({"devices": {"action": "drop"}, "identify": {"action": "drop_mid_body"}})"));

    const Outcome dropped = post(QStringLiteral("/api/devices?uid=1"), deviceBody());
    QVERIFY(dropped.finished);
    QCOMPARE(dropped.error, QNetworkReply::RemoteHostClosedError);
    QCOMPARE(dropped.status, 0);
    QVERIFY(!m_service.requests(QStringLiteral("/api/devices")).isEmpty());

    const Outcome cut = post(QStringLiteral("/api/ping-identify"), deviceBody());
    QVERIFY(cut.finished);
    QVERIFY2(cut.error != QNetworkReply::NoError, "a body cut short must not look like success");
    QVERIFY(!QJsonDocument::fromJson(cut.body).isObject());

    // Clearing the override brings the normal answer back.
    QVERIFY(m_service.configure(R"({"identify": null, "devices": null})"));
    QCOMPARE(post(QStringLiteral("/api/ping-identify"), deviceBody()).error, QNetworkReply::NoError);
    QCOMPARE(post(QStringLiteral("/api/devices?uid=1"), deviceBody()).status, 201);
}

void TestRefService::delayAndLargeBody()
{
    QVERIFY(m_service.configure(R"({"heartbeat": {"delay": 0.6}})"));
    const Outcome slow = post(QStringLiteral("/api/heartbeat"), deviceBody());
    QCOMPARE(slow.status, 200);
    QVERIFY2(slow.elapsedMs >= 550, qPrintable(QString::number(slow.elapsedMs)));
    // Only the delay was overridden; the answer is the usual one.
    QCOMPARE(jsonObject(slow.body).value(QStringLiteral("status")).toString(), QStringLiteral("ok"));

    // Just over 10 MiB of junk, as a broken server might send.
    const QByteArray chunk("garbage!0123456789abcdef");
    const int times = (10 * 1024 * 1024) / chunk.size() + 1;
    QVERIFY(m_service.configure(QJsonObject{
        {QStringLiteral("ip"), QJsonObject{{QStringLiteral("body"), QString::fromLatin1(chunk)},
                                           {QStringLiteral("body_repeat"), times},
                                           {QStringLiteral("content_type"), QStringLiteral("application/octet-stream")}}}}));
    const Outcome big = exchange("GET", m_service.url());
    QCOMPARE(big.error, QNetworkReply::NoError);
    QCOMPARE(big.body.size(), qsizetype(chunk.size()) * times);
    QVERIFY(big.body.startsWith(chunk + chunk));
    QVERIFY(big.body.endsWith(chunk + chunk));
}

void TestRefService::keepAliveReusesConnection()
{
    for (int i = 0; i < 3; ++i)
        QCOMPARE(post(QStringLiteral("/api/heartbeat"), deviceBody()).status, 200);
    QCOMPARE(exchange("GET", m_service.url()).status, 200);
    const QList<RefService::Request> records = m_service.requests();
    QCOMPARE(records.size(), 4);
    for (const RefService::Request &r : records)
        QCOMPARE(r.clientPort, records.first().clientPort);
    for (int i = 1; i < records.size(); ++i)
        QVERIFY(records.at(i).sequence > records.at(i - 1).sequence);
}

void TestRefService::rejectedConfigChangesNothing()
{
    // Each refusal is also reported as a warning.
    for (int i = 0; i < 6; ++i)
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral("^RefService: POST /_ref/config failed")));
    QVERIFY(!m_service.configure("not json"));
    QVERIFY(!m_service.configure(R"(["fail_heartbeats", 1])"));
    QVERIFY(!m_service.configure(R"({"no_such_key": 1})"));
    QVERIFY(!m_service.configure(R"({"login": {"action": "explode"}})"));
    QVERIFY(!m_service.configure(R"({"login": {"status": "500"}})"));
    QVERIFY(m_service.errorText().contains(QLatin1String("status")));
    // One bad key spoils the whole update.
    QVERIFY(!m_service.configure(R"({"fail_heartbeats": 3, "heartbeat": 5})"));
    QCOMPARE(post(QStringLiteral("/api/heartbeat"), deviceBody()).status, 200);
}

void TestRefService::resetClearsRecordsAndConfig()
{
    QVERIFY(m_service.configure(R"({"fail_heartbeats": 5, "identify": true})"));
    QCOMPARE(post(QStringLiteral("/api/heartbeat"), deviceBody()).status, 500);
    QVERIFY(m_service.waitForRequests(QStringLiteral("/api/heartbeat"), 1, 2000));
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral("^RefService: fewer than 2 requests")));
    QVERIFY(!m_service.waitForRequests(QStringLiteral("/api/heartbeat"), 2, 300));

    QVERIFY(m_service.reset());
    // Control calls are never recorded, so after a reset nothing is there.
    QVERIFY(m_service.requests().isEmpty());
    QCOMPARE(post(QStringLiteral("/api/heartbeat"), deviceBody()).status, 200);
    QCOMPARE(jsonObject(post(QStringLiteral("/api/ping-identify"), deviceBody()).body).value(QStringLiteral("identify")),
             QJsonValue(false));
    const QList<RefService::Request> records = m_service.requests();
    QCOMPARE(records.size(), 2);
}

void TestRefService::ipAddressHostFailsVerification()
{
    QUrl url = m_service.url();
    url.setHost(QStringLiteral("127.0.0.1"));
    url.setPath(QStringLiteral("/api/heartbeat"));
    const Outcome outcome = exchange("POST", url, deviceBody());
    QCOMPARE(outcome.error, QNetworkReply::SslHandshakeFailedError);
    bool mismatch = false;
    for (const QSslError &e : outcome.sslErrors)
        mismatch = mismatch || e.error() == QSslError::HostNameMismatch;
    QVERIFY(mismatch);
    QVERIFY(m_service.requests().isEmpty());
}

void TestRefService::listensOnBothLoopbacks()
{
    QTcpSocket v4;
    v4.connectToHost(QHostAddress(QHostAddress::LocalHost), m_service.port());
    QVERIFY(v4.waitForConnected(3000));

    QTcpServer probe;
    if (!probe.listen(QHostAddress(QHostAddress::LocalHostIPv6), 0))
        QSKIP("no IPv6 loopback on this machine");
    probe.close();
    QTcpSocket v6;
    v6.connectToHost(QHostAddress(QHostAddress::LocalHostIPv6), m_service.port());
    QVERIFY2(v6.waitForConnected(3000), qPrintable(v6.errorString()));
}

void TestRefService::otherStateDirIsUntrusted()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    RefService other(dir.path());
    QVERIFY2(other.start(), qPrintable(other.errorText()));
    QVERIFY(other.port() != m_service.port());
    QVERIFY(other.caCertificates() != m_service.caCertificates());
    // The fixture trusts the other CA for its own calls ...
    QVERIFY2(other.configure(R"({"identify": true})"), qPrintable(other.errorText()));

    // ... but a client that trusts only ours refuses the other service.
    QUrl url = other.url();
    url.setPath(QStringLiteral("/api/ping-identify"));
    const Outcome outcome = exchange("POST", url, deviceBody());
    QCOMPARE(outcome.error, QNetworkReply::SslHandshakeFailedError);
    QVERIFY(!outcome.sslErrors.isEmpty());
    QVERIFY(other.requests().isEmpty());

    const quint16 port = other.port();
    other.stop();
    QVERIFY(!other.isRunning());
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral("not running")));
    QVERIFY(!other.configure(R"({"identify": false})"));
    QTcpSocket socket;
    socket.connectToHost(QHostAddress(QHostAddress::LocalHost), port);
    QVERIFY(!socket.waitForConnected(1000));
}

void TestRefService::simultaneousFirstUseMakesOneCa()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString stateDir = dir.filePath(QStringLiteral("state"));

    std::vector<std::unique_ptr<QProcess>> makers;
    for (int i = 0; i < 4; ++i) {
        makers.push_back(std::make_unique<QProcess>());
        makers.back()->start(RefService::pythonExecutable(),
                             {RefService::scriptPath(), QStringLiteral("make-certs"),
                              QStringLiteral("--state-dir"), stateDir});
    }
    QStringList printed;
    QByteArray logs;
    for (auto &maker : makers) {
        QVERIFY(maker->waitForFinished(60000));
        QCOMPARE(maker->exitStatus(), QProcess::NormalExit);
        const QByteArray log = maker->readAllStandardError();
        QVERIFY2(maker->exitCode() == 0, log.constData());
        logs += log;
        printed << QString::fromUtf8(maker->readAllStandardOutput().trimmed());
    }
    // One maker did the work; the others waited and found it done.
    QCOMPARE(logs.count("made a new CA"), 1);
    printed.removeDuplicates();
    QCOMPARE(printed, QStringList{QDir(stateDir).filePath(QStringLiteral("ca.pem"))});

    const QList<QSslCertificate> ca = QSslCertificate::fromPath(printed.first());
    QCOMPARE(ca.size(), 1);
    const QList<QSslCertificate> leaf = QSslCertificate::fromPath(QDir(stateDir).filePath(QStringLiteral("server.pem")));
    QCOMPARE(leaf.size(), 1);
    QCOMPARE(leaf.first().issuerDisplayName(), ca.first().subjectDisplayName());
    // Whatever order the makers ran in, the files left must belong together:
    // the server certificate signed by this CA, and the key its own.
    auto openssl = [&](const QStringList &arguments) {
        QProcess tool;
        tool.setWorkingDirectory(stateDir);
        tool.start(QStringLiteral("openssl"), arguments);
        if (!tool.waitForFinished(30000) || tool.exitCode() != 0)
            return QByteArray("failed: ") + tool.readAllStandardError();
        return tool.readAllStandardOutput();
    };
    QCOMPARE(openssl({QStringLiteral("verify"), QStringLiteral("-CAfile"), QStringLiteral("ca.pem"),
                      QStringLiteral("-purpose"), QStringLiteral("sslserver"), QStringLiteral("server.pem")})
                 .trimmed(),
             QByteArrayLiteral("server.pem: OK"));
    const QByteArray certKey = openssl({QStringLiteral("x509"), QStringLiteral("-noout"), QStringLiteral("-pubkey"),
                                        QStringLiteral("-in"), QStringLiteral("server.pem")});
    QVERIFY(certKey.contains("BEGIN PUBLIC KEY"));
    QCOMPARE(openssl({QStringLiteral("pkey"), QStringLiteral("-pubout"), QStringLiteral("-in"), QStringLiteral("server.key")}),
             certKey);
    const auto names = leaf.first().subjectAlternativeNames();
    QCOMPARE(names.values(QSsl::DnsEntry), QStringList{QStringLiteral("localhost")});
    QVERIFY(names.values(QSsl::IpAddressEntry).isEmpty());
    QVERIFY(leaf.first().expiryDate() > QDateTime::currentDateTimeUtc().addDays(30));

    // A service on that directory keeps the CA and serves a matching key.
    RefService service(stateDir);
    QVERIFY2(service.start(), qPrintable(service.errorText()));
    QCOMPARE(service.caCertificates(), ca);
    QVERIFY2(service.reset(), qPrintable(service.errorText()));
}

QTEST_GUILESS_MAIN(TestRefService)
#include "tst_refservice.moc"
