// Checks the reference service and its fixture the way the agent's tests use
// them: real TLS with verification on, through QNetworkAccessManager.
#include "refservice.h"

#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QNetworkProxy>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QProcess>
#include <QRegularExpression>
#include <QSslSocket>
#include <QDir>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTimer>
#include <QtEndian>
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
    QByteArray location; // the Location header, as sent
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

// This process's resident memory in KiB, from Linux's /proc; -1 elsewhere.
qint64 residentKiB()
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith("VmRSS:"))
            return line.mid(6).trimmed().split(' ').value(0).toLongLong();
    }
    return -1;
}

struct Http2Frame
{
    enum Type : quint8 { Headers = 0x1, Continuation = 0x9 };
    enum Flag : quint8 { EndStream = 0x1, EndHeaders = 0x4 };
    quint8 type = 0;
    quint8 flags = 0;
    quint32 stream = 0;
    QByteArray payload;
};

// An HPACK integer with a prefix of bits bits, starting at block[at].
qint64 hpackInteger(const QByteArray &block, int &at, int bits)
{
    const int mask = (1 << bits) - 1;
    qint64 value = quint8(block.at(at++)) & mask;
    if (value < mask)
        return value;
    for (int shift = 0; at < block.size(); shift += 7) {
        const quint8 byte = quint8(block.at(at++));
        value += qint64(byte & 0x7f) << shift;
        if (!(byte & 0x80))
            break;
    }
    return value;
}

// Just enough HTTP/2 to send one request and see the frames of its answer
// as they are, where Qt's client would decode them.
struct RawHttp2Client
{
    QSslSocket socket;
    QByteArray buffer;

    bool open(quint16 port, QSslConfiguration tls)
    {
        tls.setAllowedNextProtocols({QByteArrayLiteral("h2")});
        socket.setSslConfiguration(tls);
        socket.connectToHostEncrypted(QStringLiteral("localhost"), port);
        return socket.waitForEncrypted(10000)
            && socket.sslConfiguration().nextNegotiatedProtocol() == "h2";
    }

    void post(const QByteArray &path, const QByteArray &authority)
    {
        // :method POST and :scheme https from the static table, :path and
        // :authority as literals without indexing.
        QByteArray block("\x83\x87", 2);
        block += char(0x04) + QByteArray(1, char(path.size())) + path;
        block += char(0x01) + QByteArray(1, char(authority.size())) + authority;
        socket.write("PRI * HTTP/2.0\r\n\r\nSM\r\n\r\n");
        socket.write(frame(0x4, 0, 0, QByteArray())); // our SETTINGS: all defaults
        socket.write(frame(Http2Frame::Headers, Http2Frame::EndStream | Http2Frame::EndHeaders, 1, block));
        socket.flush();
    }

    // The frames of stream 1, until its header block ends or ms have passed.
    QList<Http2Frame> readStream(int ms)
    {
        QList<Http2Frame> frames;
        QDeadlineTimer deadline(ms);
        while (!deadline.hasExpired()) {
            if (!socket.bytesAvailable() && !socket.waitForReadyRead(int(qMax<qint64>(1, deadline.remainingTime()))))
                break;
            buffer += socket.readAll();
            while (buffer.size() >= 9) {
                const int length = (quint8(buffer[0]) << 16) | (quint8(buffer[1]) << 8) | quint8(buffer[2]);
                if (buffer.size() < 9 + length)
                    break;
                Http2Frame f;
                f.type = quint8(buffer[3]);
                f.flags = quint8(buffer[4]);
                f.stream = qFromBigEndian<quint32>(buffer.constData() + 5) & 0x7fffffff;
                f.payload = buffer.mid(9, length);
                buffer.remove(0, 9 + length);
                if (f.stream != 1)
                    continue;
                frames.append(f);
                if (f.flags & Http2Frame::EndHeaders)
                    return frames;
            }
        }
        return frames;
    }

    static QByteArray frame(quint8 type, quint8 flags, quint32 stream, const QByteArray &payload)
    {
        QByteArray f(9, Qt::Uninitialized);
        f[0] = char(payload.size() >> 16);
        f[1] = char(payload.size() >> 8);
        f[2] = char(payload.size());
        f[3] = char(type);
        f[4] = char(flags);
        qToBigEndian<quint32>(stream, f.data() + 5);
        return f + payload;
    }
};

} // namespace

class tst_RefService : public QObject
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
    void delayAndLargeBody_data();
    void delayAndLargeBody();
    void streamsForEver_data();
    void streamsForEver();
    void redirectsAndTimes_data();
    void redirectsAndTimes();
    void http2OnlyActions_data();
    void http2OnlyActions();
    void endlessHeaders_data();
    void endlessHeaders();
    void keepAliveReusesConnection();
    void rejectedConfigChangesNothing();
    void resetClearsRecordsAndConfig();
    void ipAddressHostFailsVerification();
    void listensOnBothLoopbacks();
    void otherStateDirIsUntrusted();
    void simultaneousFirstUseMakesOneCa();
    void readyFileAndShutdownCall_data();
    void readyFileAndShutdownCall();

private:
    QNetworkRequest makeRequest(const QByteArray &verb, const QUrl &url, int transferTimeoutMs) const;
    Outcome exchange(const QByteArray &verb, const QUrl &url, const QByteArray &body = QByteArray(),
                     int transferTimeoutMs = 15000);
    Outcome post(const QString &path, const QByteArray &body)
    {
        return exchange("POST", endpoint(path), body);
    }
    QUrl endpoint(const QString &pathAndQuery) const
    {
        return QUrl(service.url().toString() + pathAndQuery);
    }

    // Turns HTTP/2 on in the service and allows it in the client.
    bool useHttp2(bool service, bool client);

    RefService service;
    std::unique_ptr<QNetworkAccessManager> network;
    QSslConfiguration tls;
    // For the requests of the test now running; init() puts them back.
    bool clientAllowsHttp2 = false;
    QNetworkRequest::RedirectPolicy redirectPolicy = QNetworkRequest::NoLessSafeRedirectPolicy;
};

QNetworkRequest tst_RefService::makeRequest(const QByteArray &verb, const QUrl &url, int transferTimeoutMs) const
{
    QNetworkRequest request(url);
    request.setSslConfiguration(tls);
    request.setTransferTimeout(transferTimeoutMs);
    request.setAttribute(QNetworkRequest::Http2AllowedAttribute, clientAllowsHttp2);
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute, redirectPolicy);
    if (verb == "POST")
        request.setHeader(QNetworkRequest::ContentTypeHeader, QByteArrayLiteral("application/json"));
    return request;
}

bool tst_RefService::useHttp2(bool inService, bool inClient)
{
    clientAllowsHttp2 = inClient;
    return !inService || service.configure(R"({"http2": true})");
}

Outcome tst_RefService::exchange(const QByteArray &verb, const QUrl &url, const QByteArray &body,
                                 int transferTimeoutMs)
{
    const QNetworkRequest request = makeRequest(verb, url, transferTimeoutMs);
    Outcome outcome;
    QElapsedTimer clock;
    clock.start();
    QNetworkReply *reply = network->sendCustomRequest(request, verb, body);
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
    outcome.location = reply->rawHeader("Location");
    if (reply->isOpen())
        outcome.body = reply->readAll();
    reply->deleteLater();
    return outcome;
}

void tst_RefService::initTestCase()
{
    QVERIFY2(service.start(), qPrintable(service.errorText()));
    QCOMPARE(service.url().scheme(), QStringLiteral("https"));
    QCOMPARE(service.url().host(), QStringLiteral("localhost"));
    QVERIFY(service.port() > 0);
    QVERIFY(!service.caCertificates().isEmpty());

    // What the agent does: default verification, with the test CA trusted.
    tls = QSslConfiguration::defaultConfiguration();
    tls.addCaCertificates(service.caCertificates());
    QCOMPARE(tls.peerVerifyMode(), QSslSocket::AutoVerifyPeer);
}

void tst_RefService::init()
{
    QVERIFY2(service.isRunning(), qPrintable(service.errorText()));
    QVERIFY2(service.reset(), qPrintable(service.errorText()));
    network = std::make_unique<QNetworkAccessManager>();
    network->setProxy(QNetworkProxy::NoProxy);
    clientAllowsHttp2 = false;
    redirectPolicy = QNetworkRequest::NoLessSafeRedirectPolicy;
}

void tst_RefService::cleanup()
{
    network.reset();
}

void tst_RefService::heartbeatIsRecordedExactly()
{
    const QByteArray body = deviceBody();
    const Outcome outcome = post(QStringLiteral("/api/heartbeat"), body);
    QCOMPARE(outcome.error, QNetworkReply::NoError);
    QCOMPARE(outcome.status, 200);
    QVERIFY(outcome.sslErrors.isEmpty());
    QCOMPARE(jsonObject(outcome.body).value(QStringLiteral("status")).toString(), QStringLiteral("ok"));

    const QList<RefService::Request> records = service.requests(QStringLiteral("/api/heartbeat"));
    QCOMPARE(records.size(), 1);
    const RefService::Request &r = records.first();
    QCOMPARE(r.method, QStringLiteral("POST"));
    QCOMPARE(r.path, QStringLiteral("/api/heartbeat"));
    QVERIFY(r.query.isEmpty());
    QCOMPARE(r.body, body);
    QCOMPARE(r.header("content-type"), QByteArrayLiteral("application/json"));
    QCOMPARE(r.header("CONTENT-LENGTH"), QByteArray::number(body.size()));
    QCOMPARE(r.header("Host"), QStringLiteral("localhost:%1").arg(service.port()).toUtf8());
    QVERIFY(!r.hasHeader("X-Not-Sent"));
    QVERIFY(r.header("X-Not-Sent").isEmpty());
    QVERIFY(r.sequence > 0);

    // The path filter really filters.
    QVERIFY(service.requests(QStringLiteral("/login")).isEmpty());
    QCOMPARE(service.requests().size(), 1);
}

void tst_RefService::defaultAnswers_data()
{
    QTest::addColumn<QString>("target");
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<QByteArray>("config");
    QTest::addColumn<bool>("serviceHttp2");
    QTest::addColumn<bool>("clientHttp2");
    QTest::addColumn<int>("status");
    QTest::addColumn<QByteArray>("expected");

    struct Row
    {
        const char *name;
        QString target;
        QByteArray body;
        int status;
        QByteArray expected;
    };
    const Row rows[] = {
        {"login accepted", QStringLiteral("/login"), loginBody(QStringLiteral("demo"), QStringLiteral("demo")),
         200, R"({"success": true, "user_id": 42})"},
        {"login wrong password", QStringLiteral("/login"), loginBody(QStringLiteral("demo"), QStringLiteral("Demo")),
         200, R"({"success": false})"},
        {"login unknown user", QStringLiteral("/login"), loginBody(QStringLiteral("eve"), QStringLiteral("demo")),
         200, R"({"success": false})"},
        {"login not json", QStringLiteral("/login"), "demo:demo", 200, R"({"success": false})"},
        {"registration", QStringLiteral("/api/devices?uid=42"), deviceBody(), 201, R"({"status": "ok"})"},
        {"identify", QStringLiteral("/api/ping-identify"), deviceBody(), 200, R"({"identify": false})"},
        {"unknown path", QStringLiteral("/api/nothing"), deviceBody(), 404, R"({"error": "not found"})"},
    };
    // Every answer is the same over HTTP/2.
    for (const bool http2 : {false, true}) {
        for (const Row &row : rows) {
            QTest::newRow(http2 ? qPrintable(QLatin1String(row.name) + QLatin1String(" over h2")) : row.name)
                << row.target << row.body << QByteArray() << http2 << http2 << row.status << row.expected;
        }
    }
    // HTTP/2 needs both sides.
    QTest::newRow("registration, client without h2")
        << QStringLiteral("/api/devices?uid=7") << deviceBody() << QByteArray() << true << false
        << 201 << QByteArrayLiteral(R"({"status": "ok"})");
    QTest::newRow("identify, service without h2")
        << QStringLiteral("/api/ping-identify") << deviceBody() << QByteArray() << false << true
        << 200 << QByteArrayLiteral(R"({"identify": false})");
    // Over HTTP/1.1 the HTTP/2-only answers are the route's usual one,
    // with whatever else the override says.
    QTest::newRow("header bomb over http/1.1")
        << QStringLiteral("/api/heartbeat") << deviceBody()
        << QByteArrayLiteral(R"({"heartbeat": {"action": "h2_header_bomb"}})") << true << false
        << 200 << QByteArrayLiteral(R"({"status": "ok"})");
    QTest::newRow("endless continuation over http/1.1")
        << QStringLiteral("/api/ping-identify") << deviceBody()
        << QByteArrayLiteral("{\"identify\": {\"action\": \"h2_endless_continuation\", \"status\": 503, \"body\": \"{\\\"down\\\": true}\"}}")
        << false << false << 503 << QByteArrayLiteral(R"({"down": true})");
}

void tst_RefService::defaultAnswers()
{
    QFETCH(QString, target);
    QFETCH(QByteArray, body);
    QFETCH(QByteArray, config);
    QFETCH(bool, serviceHttp2);
    QFETCH(bool, clientHttp2);
    QFETCH(int, status);
    QFETCH(QByteArray, expected);

    QVERIFY2(useHttp2(serviceHttp2, clientHttp2), qPrintable(service.errorText()));
    if (!config.isEmpty())
        QVERIFY2(service.configure(config), qPrintable(service.errorText()));
    const Outcome outcome = post(target, body);
    QCOMPARE(outcome.status, status);
    QCOMPARE(outcome.error == QNetworkReply::NoError, status < 400);
    QCOMPARE(jsonObject(outcome.body), jsonObject(expected));

    const QUrl url = endpoint(target);
    const QList<RefService::Request> records = service.requests(url.path());
    QCOMPARE(records.size(), 1);
    const RefService::Request &r = records.first();
    QCOMPARE(r.query, url.query());
    QCOMPARE(r.body, body);
    const bool h2 = serviceHttp2 && clientHttp2;
    QCOMPARE(r.protocol, h2 ? QStringLiteral("h2") : QStringLiteral("http/1.1"));
    // Headers as they came: HTTP/2 names the host in a pseudo-header.
    const QByteArray host = QStringLiteral("localhost:%1").arg(service.port()).toUtf8();
    QCOMPARE(r.header(h2 ? ":authority" : "Host"), host);
    QCOMPARE(r.hasHeader(":method"), h2);
}

void tst_RefService::addressEchoAnswersWithPeer()
{
    const Outcome outcome = exchange("GET", service.url());
    QCOMPARE(outcome.error, QNetworkReply::NoError);
    const QList<RefService::Request> records = service.requests(QStringLiteral("/"));
    QCOMPARE(records.size(), 1);
    QCOMPARE(records.first().method, QStringLiteral("GET"));
    QVERIFY(records.first().client == QLatin1String("127.0.0.1") || records.first().client == QLatin1String("::1"));
    QCOMPARE(outcome.body, records.first().client.toUtf8() + '\n');

    // The address service is GET only.
    QCOMPARE(exchange("POST", service.url(), "{}").status, 405);
}

void tst_RefService::configuredUsers()
{
    QVERIFY2(service.configure(QJsonObject{
                 {QStringLiteral("users"),
                  QJsonObject{{QStringLiteral("ann"), QJsonObject{{QStringLiteral("password"), QStringLiteral("pw")},
                                                                  {QStringLiteral("user_id"), QStringLiteral("u-7")}}},
                              {QStringLiteral("bob"), QJsonObject{{QStringLiteral("password"), QStringLiteral("pw2")}}},
                              {QStringLiteral("demo"), QJsonValue::Null}}}}),
             qPrintable(service.errorText()));

    QJsonObject ann = jsonObject(post(QStringLiteral("/login"), loginBody(QStringLiteral("ann"), QStringLiteral("pw"))).body);
    QCOMPARE(ann.value(QStringLiteral("success")), QJsonValue(true));
    QCOMPARE(ann.value(QStringLiteral("user_id")), QJsonValue(QStringLiteral("u-7")));

    QJsonObject bob = jsonObject(post(QStringLiteral("/login"), loginBody(QStringLiteral("bob"), QStringLiteral("pw2"))).body);
    QCOMPARE(bob.value(QStringLiteral("success")), QJsonValue(true));
    QVERIFY(!bob.contains(QStringLiteral("user_id")));

    QJsonObject demo = jsonObject(post(QStringLiteral("/login"), loginBody(QStringLiteral("demo"), QStringLiteral("demo"))).body);
    QCOMPARE(demo.value(QStringLiteral("success")), QJsonValue(false));

    // A route override wins over the user table.
    QVERIFY(service.configure(R"({"login": {"status": 503, "body": "down"}})"));
    const Outcome down = post(QStringLiteral("/login"), loginBody(QStringLiteral("ann"), QStringLiteral("pw")));
    QCOMPARE(down.status, 503);
    QCOMPARE(down.error, QNetworkReply::ServiceUnavailableError);
    QCOMPARE(down.body, QByteArrayLiteral("down"));
}

void tst_RefService::failHeartbeatsThenRecover()
{
    QVERIFY2(service.configure(R"({"fail_heartbeats": 2})"), qPrintable(service.errorText()));
    const QList<int> expected{500, 500, 200};
    for (int i = 0; i < expected.size(); ++i) {
        const Outcome outcome = post(QStringLiteral("/api/heartbeat"), deviceBody());
        QCOMPARE(outcome.status, expected.at(i));
        QCOMPARE(outcome.error, expected.at(i) == 500 ? QNetworkReply::InternalServerError
                                                      : QNetworkReply::NoError);
    }
    QCOMPARE(service.requests(QStringLiteral("/api/heartbeat")).size(), 3);
}

void tst_RefService::identifyOnceAndStanding()
{
    auto poll = [this] {
        const Outcome outcome = post(QStringLiteral("/api/ping-identify"), deviceBody());
        return jsonObject(outcome.body).value(QStringLiteral("identify"));
    };

    QCOMPARE(poll(), QJsonValue(false));
    QVERIFY(service.requestIdentify());
    QCOMPARE(poll(), QJsonValue(true));
    QCOMPARE(poll(), QJsonValue(false));

    QVERIFY(service.configure(R"({"identify": true})"));
    QCOMPARE(poll(), QJsonValue(true));
    QCOMPARE(poll(), QJsonValue(true));

    // An object under "identify" overrides the route; null clears both.
    QVERIFY(service.configure(R"({"identify": {"status": 502}})"));
    QCOMPARE(post(QStringLiteral("/api/ping-identify"), deviceBody()).status, 502);
    QVERIFY(service.configure(R"({"identify": null})"));
    QCOMPARE(poll(), QJsonValue(false));
}

void tst_RefService::hangEndsWithClientTimeout()
{
    QVERIFY(service.configure(R"({"heartbeat": {"action": "hang"}})"));
    const Outcome outcome = exchange("POST", endpoint(QStringLiteral("/api/heartbeat")), deviceBody(), 700);
    QVERIFY(outcome.finished);
    QVERIFY2(outcome.error == QNetworkReply::OperationCanceledError || outcome.error == QNetworkReply::TimeoutError,
             qPrintable(QString::number(outcome.error)));
    QVERIFY(outcome.elapsedMs >= 600);
    QVERIFY(outcome.elapsedMs < 8000);
    // The request was read in full before the service went quiet.
    const QList<RefService::Request> records = service.requests(QStringLiteral("/api/heartbeat"));
    QVERIFY(!records.isEmpty());
    QCOMPARE(records.first().body, deviceBody());

    // Other routes still answer meanwhile.
    QCOMPARE(post(QStringLiteral("/api/ping-identify"), deviceBody()).status, 200);
}

void tst_RefService::dropsAreErrors()
{
    QVERIFY(service.configure(R"({"devices": {"action": "drop"}, "identify": {"action": "drop_mid_body"}})"));

    const Outcome dropped = post(QStringLiteral("/api/devices?uid=1"), deviceBody());
    QVERIFY(dropped.finished);
    QCOMPARE(dropped.error, QNetworkReply::RemoteHostClosedError);
    QCOMPARE(dropped.status, 0);
    QVERIFY(!service.requests(QStringLiteral("/api/devices")).isEmpty());

    const Outcome cut = post(QStringLiteral("/api/ping-identify"), deviceBody());
    QVERIFY(cut.finished);
    QVERIFY2(cut.error != QNetworkReply::NoError, "a body cut short must not look like success");
    QVERIFY(!QJsonDocument::fromJson(cut.body).isObject());

    // Clearing the override brings the normal answer back.
    QVERIFY(service.configure(R"({"identify": null, "devices": null})"));
    QCOMPARE(post(QStringLiteral("/api/ping-identify"), deviceBody()).error, QNetworkReply::NoError);
    QCOMPARE(post(QStringLiteral("/api/devices?uid=1"), deviceBody()).status, 201);
}

void tst_RefService::delayAndLargeBody_data()
{
    QTest::addColumn<bool>("http2");
    QTest::newRow("http/1.1") << false;
    // Ten MiB over HTTP/2 goes through flow control many times over.
    QTest::newRow("h2") << true;
}

void tst_RefService::delayAndLargeBody()
{
    QFETCH(bool, http2);
    QVERIFY(useHttp2(http2, http2));
    QVERIFY(service.configure(R"({"heartbeat": {"delay": 0.6}})"));
    const Outcome slow = post(QStringLiteral("/api/heartbeat"), deviceBody());
    QCOMPARE(slow.status, 200);
    QVERIFY2(slow.elapsedMs >= 550, qPrintable(QString::number(slow.elapsedMs)));
    // Only the delay was overridden; the answer is the usual one.
    QCOMPARE(jsonObject(slow.body).value(QStringLiteral("status")).toString(), QStringLiteral("ok"));

    // Just over 10 MiB of junk, as a broken server might send.
    const QByteArray chunk("garbage!0123456789abcdef");
    const int times = (10 * 1024 * 1024) / chunk.size() + 1;
    QVERIFY(service.configure(QJsonObject{
        {QStringLiteral("ip"), QJsonObject{{QStringLiteral("body"), QString::fromLatin1(chunk)},
                                           {QStringLiteral("body_repeat"), times},
                                           {QStringLiteral("content_type"), QStringLiteral("application/octet-stream")}}}}));
    const Outcome big = exchange("GET", service.url());
    QCOMPARE(big.error, QNetworkReply::NoError);
    QCOMPARE(big.body.size(), qsizetype(chunk.size()) * times);
    QVERIFY(big.body.startsWith(chunk + chunk));
    QVERIFY(big.body.endsWith(chunk + chunk));
    for (const RefService::Request &r : service.requests())
        QCOMPARE(r.protocol, http2 ? QStringLiteral("h2") : QStringLiteral("http/1.1"));
}

void tst_RefService::streamsForEver_data()
{
    QTest::addColumn<QByteArray>("route"); // the heartbeat's override
    QTest::addColumn<bool>("http2");
    QTest::addColumn<qint64>("minBytes"); // received in the first 1.5 s
    QTest::addColumn<qint64>("maxBytes");
    QTest::addColumn<qint64>("announced"); // Content-Length, -1 for none
    QTest::addColumn<bool>("chunked");

    for (const bool http2 : {false, true}) {
        const QByteArray suffix = http2 ? " over h2" : "";
        // Ten bytes a second outlast a 500 ms inactivity timer.
        QTest::newRow("trickle" + suffix) << QByteArrayLiteral(R"({"action": "trickle", "interval": 0.1})")
                                          << http2 << qint64(8) << qint64(40) << qint64(1000) << false;
        QTest::newRow("endless" + suffix) << QByteArrayLiteral("{\"action\": \"endless\", \"body\": \"{\\\"status\\\": \\\"ok\\\"}\"}")
                                          << http2 << qint64(1 << 20) << qint64(1) << qint64(-1) << false;
        // HTTP/2 has no chunked framing: the same DATA frames for ever.
        QTest::newRow("endless chunked" + suffix) << QByteArrayLiteral(R"({"action": "endless_chunked", "status": 202})")
                                                  << http2 << qint64(1 << 20) << qint64(1) << qint64(-1) << !http2;
    }
}

void tst_RefService::streamsForEver()
{
    QFETCH(QByteArray, route);
    QFETCH(bool, http2);
    QFETCH(qint64, minBytes);
    QFETCH(qint64, maxBytes);
    QFETCH(qint64, announced);
    QFETCH(bool, chunked);

    QVERIFY(useHttp2(http2, http2));
    QVERIFY2(service.configure("{\"heartbeat\": " + route + "}"), qPrintable(service.errorText()));
    const QJsonObject override = jsonObject(route);

    std::unique_ptr<QNetworkReply> reply(
        network->post(makeRequest("POST", endpoint(QStringLiteral("/api/heartbeat")), 500), deviceBody()));
    qint64 received = 0;
    QByteArray start;
    connect(reply.get(), &QIODevice::readyRead, reply.get(), [&] {
        const QByteArray data = reply->readAll();
        received += data.size();
        if (start.size() < 64)
            start += data.left(64);
    });
    QElapsedTimer clock;
    clock.start();
    QTRY_VERIFY_WITH_TIMEOUT(received > 0 || reply->isFinished(), 5000);
    QVERIFY2(!reply->isFinished(), qPrintable(reply->errorString()));

    // Meanwhile everyone else is answered: control calls and other routes.
    QElapsedTimer others;
    others.start();
    QVERIFY2(service.configure(R"({"identify": true})"), qPrintable(service.errorText()));
    QCOMPARE(service.requests(QStringLiteral("/api/heartbeat")).size(), 1);
    const Outcome poll = post(QStringLiteral("/api/ping-identify"), deviceBody());
    QCOMPARE(poll.status, 200);
    QCOMPARE(jsonObject(poll.body).value(QStringLiteral("identify")), QJsonValue(true));
    QVERIFY2(others.elapsed() < 3000, qPrintable(QString::number(others.elapsed())));

    QTest::qWait(qMax(qint64(0), 1500 - clock.elapsed()));
    QVERIFY2(!reply->isFinished(), qPrintable(reply->errorString()));
    qInfo("%lld bytes in %lld ms", received, clock.elapsed());
    QVERIFY2(received >= minBytes, qPrintable(QString::number(received)));
    if (maxBytes > 1)
        QVERIFY2(received <= maxBytes, qPrintable(QString::number(received)));

    QCOMPARE(reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt(),
             override.value(QStringLiteral("status")).toInt(200));
    QCOMPARE(reply->attribute(QNetworkRequest::Http2WasUsedAttribute).toBool(), http2);
    const QVariant length = reply->header(QNetworkRequest::ContentLengthHeader);
    QCOMPARE(length.isValid() ? length.toLongLong() : -1, announced);
    QCOMPARE(reply->rawHeader("Transfer-Encoding") == "chunked", chunked);
    // A trickle sends the route's answer; endless bodies repeat the body given.
    if (override.contains(QStringLiteral("body")))
        QVERIFY2(start.startsWith(R"({"status": "ok"}{"status": "ok"})"), start.constData());
    else if (override.value(QStringLiteral("action")) == QLatin1String("trickle"))
        QVERIFY2(QByteArray(R"({"status": "ok"})").startsWith(start), start.constData());
    reply->abort();
}

void tst_RefService::redirectsAndTimes_data()
{
    QTest::addColumn<QString>("target");
    QTest::addColumn<QByteArray>("config");
    QTest::addColumn<bool>("http2");
    QTest::addColumn<bool>("follow");
    QTest::addColumn<QList<int>>("statuses"); // of successive requests
    QTest::addColumn<QByteArray>("location");
    QTest::addColumn<int>("records");
    QTest::addColumn<bool>("overrideLeft");

    const QString login = QStringLiteral("/login");
    const QByteArray once = R"({"login": {"action": "redirect", "location": "/login", "times": 1}})";
    // Followed by hand: after following a redirect over HTTP/1.1, Qt 6.4 now
    // and then sends the next request twice, on two new connections.
    QTest::newRow("307 to itself once") << login << once << false << false << QList<int>{307, 200, 200}
                                        << QByteArrayLiteral("/login") << 3 << false;
    QTest::newRow("307 to itself once, followed by Qt over h2") << login << once << true << true
                                                                << QList<int>{200, 200} << QByteArray() << 3 << false;
    QTest::newRow("308 elsewhere, absolute, for good")
        << login << QByteArrayLiteral("{\"login\": {\"action\": \"redirect\", \"status\": 308, \"location\": \"https://elsewhere.invalid/login\"}}")
        << false << false << QList<int>{308, 308} << QByteArrayLiteral("https://elsewhere.invalid/login") << 2 << true;
    for (const int status : {301, 302, 303}) {
        QTest::newRow(qPrintable(QString::number(status)))
            << login
            << QStringLiteral(R"({"login": {"action": "redirect", "status": %1, "location": "/login?moved"}})").arg(status).toUtf8()
            << false << false << QList<int>{status} << QByteArrayLiteral("/login?moved") << 1 << true;
    }
    QTest::newRow("307 by default")
        << login << QByteArrayLiteral(R"({"login": {"action": "redirect", "location": "/"}})")
        << true << false << QList<int>{307} << QByteArrayLiteral("/") << 1 << true;
    QTest::newRow("503 twice, then the usual answer")
        << QStringLiteral("/api/heartbeat") << QByteArrayLiteral(R"({"heartbeat": {"status": 503, "times": 2}})")
        << false << false << QList<int>{503, 503, 200} << QByteArray() << 3 << false;
    // The request after the dropped one finds the route back to normal.
    QTest::newRow("a drop once, then the usual answer")
        << QStringLiteral("/api/devices?uid=1") << QByteArrayLiteral(R"({"devices": {"action": "drop", "times": 1}})")
        << false << false << QList<int>{201} << QByteArray() << 2 << false;
}

void tst_RefService::redirectsAndTimes()
{
    QFETCH(QString, target);
    QFETCH(QByteArray, config);
    QFETCH(bool, http2);
    QFETCH(bool, follow);
    QFETCH(QList<int>, statuses);
    QFETCH(QByteArray, location);
    QFETCH(int, records);
    QFETCH(bool, overrideLeft);

    QVERIFY(useHttp2(http2, http2));
    QVERIFY2(service.configure(config), qPrintable(service.errorText()));
    redirectPolicy = follow ? QNetworkRequest::NoLessSafeRedirectPolicy : QNetworkRequest::ManualRedirectPolicy;
    const bool login = target == QLatin1String("/login");
    const QByteArray body = login ? loginBody(QStringLiteral("demo"), QStringLiteral("demo")) : deviceBody();
    for (const int status : statuses) {
        // A connection of its own: after following a redirect, Qt 6.4 now
        // and then sends the next request on a kept-alive connection twice.
        network = std::make_unique<QNetworkAccessManager>();
        network->setProxy(QNetworkProxy::NoProxy);
        Outcome outcome = post(target, body);
        // Qt 6.4 sends a POST whose connection dropped again by itself;
        // Qt 6.11 does not (a POST is not idempotent), so the test does.
        if (outcome.status == 0 && config.contains("\"drop\""))
            outcome = post(target, body);
        QCOMPARE(outcome.status, status);
        if (status >= 300 && status < 400) {
            QCOMPARE(outcome.location, location);
            QVERIFY(outcome.body.isEmpty());
        } else if (login) {
            QCOMPARE(jsonObject(outcome.body).value(QStringLiteral("success")), QJsonValue(true));
        }
    }

    // Each request is recorded with its body, the redirected one too.
    const QList<RefService::Request> seen = service.requests(endpoint(target).path());
    QCOMPARE(seen.size(), records);
    for (const RefService::Request &r : seen) {
        QCOMPARE(r.method, QStringLiteral("POST"));
        QCOMPARE(r.body, body);
        QCOMPARE(r.protocol, http2 ? QStringLiteral("h2") : QStringLiteral("http/1.1"));
    }
    const QString route = jsonObject(config).keys().first();
    const QJsonObject routes = jsonObject(exchange("GET", endpoint(QStringLiteral("/_ref/config"))).body)
                                   .value(QStringLiteral("routes")).toObject();
    QCOMPARE(routes.contains(route), overrideLeft);
}

void tst_RefService::http2OnlyActions_data()
{
    QTest::addColumn<QByteArray>("route");
    QTest::addColumn<bool>("endless");

    QTest::newRow("header bomb") << QByteArrayLiteral(R"({"action": "h2_header_bomb"})") << false;
    QTest::newRow("endless continuation") << QByteArrayLiteral(R"({"action": "h2_endless_continuation"})") << true;
}

void tst_RefService::http2OnlyActions()
{
    QFETCH(QByteArray, route);
    QFETCH(bool, endless);

    QVERIFY(useHttp2(true, true));
    QVERIFY(service.configure("{\"heartbeat\": " + route + "}"));
    // Qt's client would try to decode what comes, so read the frames raw.
    RawHttp2Client client;
    QVERIFY2(client.open(service.port(), tls), qPrintable(client.socket.errorString()));
    client.post("/api/heartbeat", QStringLiteral("localhost:%1").arg(service.port()).toLatin1());
    const int watchMs = 1000;
    const QList<Http2Frame> frames = client.readStream(watchMs);
    QVERIFY(!frames.isEmpty());
    QCOMPARE(frames.first().type, Http2Frame::Headers);
    QVERIFY(!(frames.first().flags & Http2Frame::EndHeaders));
    QByteArray block;
    qint64 wire = 0;
    for (int i = 0; i < frames.size(); ++i) {
        const Http2Frame &f = frames.at(i);
        if (i > 0)
            QCOMPARE(f.type, Http2Frame::Continuation);
        QVERIFY(f.payload.size() <= 16384); // our client left the frame size at its default
        QCOMPARE(bool(f.flags & Http2Frame::EndHeaders), !endless && i == frames.size() - 1);
        block += f.payload;
        wire += 9 + f.payload.size();
    }
    QCOMPARE(service.requests(QStringLiteral("/api/heartbeat")).value(0).protocol, QStringLiteral("h2"));

    if (endless) {
        qInfo("%lld bytes of CONTINUATION frames in %d ms", wire, watchMs);
        QVERIFY2(frames.size() > 32, qPrintable(QString::number(frames.size())));
        return;
    }
    QVERIFY(frames.first().flags & Http2Frame::EndStream);
    // ":status: 200", then a literal with incremental indexing, new name.
    QVERIFY(block.startsWith(QByteArray("\x88\x40\x06x-bomb", 9)));
    int at = 9;
    const qint64 valueSize = hpackInteger(block, at, 7);
    QVERIFY2(valueSize >= 4000 && valueSize <= 4096, qPrintable(QString::number(valueSize)));
    at += int(valueSize);
    // The rest: references to that entry, the newest in the dynamic table.
    const QByteArray references = block.mid(at);
    QCOMPARE(references.count('\xbe'), references.size());
    // An entry counts its name, its value and 32 bytes.
    const qint64 decoded = (references.size() + 1) * (6 + valueSize + 32);
    qInfo("header bomb: %lld bytes on the wire in %lld frames, %lld references, %lld bytes decoded",
          wire, qint64(frames.size()), qint64(references.size()), decoded);
    QVERIFY2(wire > 250000 && wire < 270000, qPrintable(QString::number(wire)));
    QVERIFY(decoded > 1000000000);
}

void tst_RefService::endlessHeaders_data()
{
    QTest::addColumn<bool>("http2");
    QTest::newRow("http/1.1") << false;
    // No such thing over h2: the route answers as usual there.
    QTest::newRow("h2 gets the usual answer") << true;
}

void tst_RefService::endlessHeaders()
{
    QFETCH(bool, http2);
    QVERIFY(useHttp2(http2, http2));
    QVERIFY2(service.configure(R"({"heartbeat": {"action": "endless_headers", "status": 201}})"),
             qPrintable(service.errorText()));
    if (http2) {
        const Outcome outcome = post(QStringLiteral("/api/heartbeat"), deviceBody());
        QCOMPARE(outcome.error, QNetworkReply::NoError);
        QCOMPARE(outcome.status, 201);
        QCOMPARE(jsonObject(outcome.body).value(QStringLiteral("status")).toString(), QStringLiteral("ok"));
        QCOMPARE(service.requests(QStringLiteral("/api/heartbeat")).value(0).protocol, QStringLiteral("h2"));
        return;
    }

    // Read raw, as fast as we can, for a second.
    QSslSocket socket;
    socket.setSslConfiguration(tls);
    socket.connectToHostEncrypted(QStringLiteral("localhost"), service.port());
    QVERIFY2(socket.waitForEncrypted(10000), qPrintable(socket.errorString()));
    const QByteArray body = deviceBody();
    socket.write("POST /api/heartbeat HTTP/1.1\r\nHost: localhost\r\nContent-Type: application/json\r\n"
                 "Content-Length: " + QByteArray::number(body.size()) + "\r\n\r\n" + body);
    QByteArray head;
    QByteArray carry; // the end of the last read, for a blank line split across reads
    qint64 received = 0;
    bool blankLine = false;
    QElapsedTimer clock;
    clock.start();
    while (clock.elapsed() < 1000 && socket.state() == QAbstractSocket::ConnectedState) {
        if (!socket.bytesAvailable() && !socket.waitForReadyRead(200))
            continue;
        const QByteArray data = socket.readAll();
        received += data.size();
        if (head.size() < 4096)
            head += data.left(4096);
        blankLine = blankLine || (carry + data).contains("\r\n\r\n");
        carry = data.right(3);
    }
    const qint64 elapsed = clock.elapsed();
    qInfo("%lld bytes of header lines in %lld ms", received, elapsed);
    QVERIFY2(head.startsWith("HTTP/1.1 201 "), head.left(40).constData());
    const QList<QByteArray> lines = head.split('\n');
    QVERIFY(lines.size() > 3);
    QCOMPARE(lines.at(1), "X-Filler-0: " + QByteArray(1024, 'f') + '\r');
    QVERIFY2(lines.at(2).startsWith("X-Filler-1: f"), lines.at(2).left(40).constData());
    QVERIFY(!blankLine);
    QCOMPARE(socket.state(), QAbstractSocket::ConnectedState);
    QVERIFY2(received > (1 << 20), qPrintable(QString::number(received)));
    socket.abort();

    // Qt's client never gets an answer out of it; what it does instead is
    // Qt's business, only noted here.
    std::unique_ptr<QNetworkReply> reply(
        network->post(makeRequest("POST", endpoint(QStringLiteral("/api/heartbeat")), 2000), body));
    clock.restart();
    const qint64 residentBefore = residentKiB();
    qint64 residentPeak = residentBefore;
    const bool finished = QTest::qWaitFor([&] {
        residentPeak = qMax(residentPeak, residentKiB());
        return reply->isFinished();
    }, 3000);
    qInfo("Qt's reply: %s after %lld ms, error %d (%s); resident memory grew by up to %lld KiB",
          finished ? "finished" : "still running", clock.elapsed(), int(reply->error()),
          qPrintable(reply->errorString()), residentPeak - residentBefore);
    QVERIFY(!reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).isValid());
    reply->abort();
    QCOMPARE(service.requests(QStringLiteral("/api/heartbeat")).size(), 2);
}

void tst_RefService::keepAliveReusesConnection()
{
    for (int i = 0; i < 3; ++i)
        QCOMPARE(post(QStringLiteral("/api/heartbeat"), deviceBody()).status, 200);
    QCOMPARE(exchange("GET", service.url()).status, 200);
    const QList<RefService::Request> records = service.requests();
    QCOMPARE(records.size(), 4);
    for (const RefService::Request &r : records)
        QCOMPARE(r.clientPort, records.first().clientPort);
    for (int i = 1; i < records.size(); ++i)
        QVERIFY(records.at(i).sequence > records.at(i - 1).sequence);
}

void tst_RefService::rejectedConfigChangesNothing()
{
    // Each refusal is also reported as a warning.
    for (int i = 0; i < 12; ++i)
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral("^RefService: POST /_ref/config failed")));
    QVERIFY(!service.configure("not json"));
    QVERIFY(!service.configure(R"(["fail_heartbeats", 1])"));
    QVERIFY(!service.configure(R"({"no_such_key": 1})"));
    QVERIFY(!service.configure(R"({"login": {"action": "explode"}})"));
    QVERIFY(!service.configure(R"({"login": {"status": "500"}})"));
    QVERIFY(service.errorText().contains(QLatin1String("status")));
    QVERIFY(!service.configure(R"({"login": {"times": 0}})"));
    QVERIFY(!service.configure(R"({"heartbeat": {"action": "trickle", "interval": 0}})"));
    QVERIFY(!service.configure(R"({"login": {"action": "redirect"}})"));
    QVERIFY(service.errorText().contains(QLatin1String("location")));
    QVERIFY(!service.configure(R"({"login": {"action": "redirect", "status": 200, "location": "/"}})"));
    QVERIFY(!service.configure(R"({"login": {"action": "redirect", "location": 5}})"));
    QVERIFY(!service.configure(R"({"http2": "yes"})"));
    // One bad key spoils the whole update.
    QVERIFY(!service.configure(R"({"fail_heartbeats": 3, "heartbeat": 5})"));
    QCOMPARE(post(QStringLiteral("/api/heartbeat"), deviceBody()).status, 200);
}

void tst_RefService::resetClearsRecordsAndConfig()
{
    QVERIFY(service.configure(R"({"fail_heartbeats": 5, "identify": true})"));
    QCOMPARE(post(QStringLiteral("/api/heartbeat"), deviceBody()).status, 500);
    QVERIFY(service.waitForRequests(QStringLiteral("/api/heartbeat"), 1, 2000));
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral("^RefService: fewer than 2 requests")));
    QVERIFY(!service.waitForRequests(QStringLiteral("/api/heartbeat"), 2, 300));

    QVERIFY(service.reset());
    // Control calls are never recorded, so after a reset nothing is there.
    QVERIFY(service.requests().isEmpty());
    QCOMPARE(post(QStringLiteral("/api/heartbeat"), deviceBody()).status, 200);
    QCOMPARE(jsonObject(post(QStringLiteral("/api/ping-identify"), deviceBody()).body).value(QStringLiteral("identify")),
             QJsonValue(false));
    const QList<RefService::Request> records = service.requests();
    QCOMPARE(records.size(), 2);
}

void tst_RefService::ipAddressHostFailsVerification()
{
    QUrl url = service.url();
    url.setHost(QStringLiteral("127.0.0.1"));
    url.setPath(QStringLiteral("/api/heartbeat"));
    const Outcome outcome = exchange("POST", url, deviceBody());
    QCOMPARE(outcome.error, QNetworkReply::SslHandshakeFailedError);
    bool mismatch = false;
    for (const QSslError &e : outcome.sslErrors)
        mismatch = mismatch || e.error() == QSslError::HostNameMismatch;
    QVERIFY(mismatch);
    QVERIFY(service.requests().isEmpty());
}

void tst_RefService::listensOnBothLoopbacks()
{
    QTcpSocket v4;
    v4.connectToHost(QHostAddress(QHostAddress::LocalHost), service.port());
    QVERIFY(v4.waitForConnected(3000));

    QTcpServer probe;
    if (!probe.listen(QHostAddress(QHostAddress::LocalHostIPv6), 0))
        QSKIP("no IPv6 loopback on this machine");
    probe.close();
    QTcpSocket v6;
    v6.connectToHost(QHostAddress(QHostAddress::LocalHostIPv6), service.port());
    QVERIFY2(v6.waitForConnected(3000), qPrintable(v6.errorString()));
}

void tst_RefService::otherStateDirIsUntrusted()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    RefService other(dir.path());
    QVERIFY2(other.start(), qPrintable(other.errorText()));
    QVERIFY(other.port() != service.port());
    QVERIFY(other.caCertificates() != service.caCertificates());
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
    // The fixture asked; it did not have to terminate the service.
    QVERIFY2(other.serverLog().contains("shutdown requested through the control API"), other.serverLog().constData());
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral("not running")));
    QVERIFY(!other.configure(R"({"identify": false})"));
    QTcpSocket socket;
    socket.connectToHost(QHostAddress(QHostAddress::LocalHost), port);
    QVERIFY(!socket.waitForConnected(1000));
}

void tst_RefService::simultaneousFirstUseMakesOneCa()
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
    RefService reused(stateDir);
    QVERIFY2(reused.start(), qPrintable(reused.errorText()));
    QCOMPARE(reused.caCertificates(), ca);
    QVERIFY2(reused.reset(), qPrintable(reused.errorText()));
}

void tst_RefService::readyFileAndShutdownCall_data()
{
    QTest::addColumn<QStringList>("pythonOptions");
    QTest::addColumn<bool>("hasHttp2");

    QTest::newRow("with h2") << QStringList() << true;
    // Without site packages, Debian's python3-h2 cannot be imported.
    QTest::newRow("without h2") << QStringList{QStringLiteral("-S")} << false;
}

void tst_RefService::readyFileAndShutdownCall()
{
    QFETCH(QStringList, pythonOptions);
    QFETCH(bool, hasHttp2);

    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString readyFile = dir.filePath(QStringLiteral("ready.json"));
    QProcess process;
    process.start(RefService::pythonExecutable(),
                  pythonOptions + QStringList{RefService::scriptPath(), QStringLiteral("serve"),
                                              QStringLiteral("--port"), QStringLiteral("0"),
                                              QStringLiteral("--state-dir"), RefService::defaultStateDir(),
                                              QStringLiteral("--ready-file"), readyFile,
                                              QStringLiteral("--stdin-watch")});
    QTRY_VERIFY_WITH_TIMEOUT(QFileInfo::exists(readyFile) || process.state() == QProcess::NotRunning, 30000);
    QVERIFY2(process.state() == QProcess::Running, process.readAllStandardError().constData());
    QFile file(readyFile);
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QByteArray ready = file.readAll();
    // The same line as on standard output, and no temporary file left.
    QTRY_VERIFY(process.canReadLine());
    QCOMPARE(ready, process.readLine());
    QCOMPARE(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden), QStringList{QStringLiteral("ready.json")});
    const QJsonObject first = jsonObject(ready);
    QCOMPARE(first.value(QStringLiteral("pid")).toInteger(), process.processId());
    const QString url = first.value(QStringLiteral("url")).toString();
    QVERIFY(url.startsWith(QLatin1String("https://localhost:")));

    auto call = [&](const QString &path, const QByteArray &body) {
        return exchange("POST", QUrl(url + path), body);
    };
    const Outcome h2 = call(QStringLiteral("/_ref/config"), R"({"http2": true})");
    QCOMPARE(h2.status, hasHttp2 ? 200 : 400);
    if (!hasHttp2)
        QVERIFY2(h2.body.contains("python3-h2"), h2.body.constData());
    QCOMPARE(call(QStringLiteral("/_ref/config"), R"({"http2": false})").status, 200);

    // Slow and endless answers in flight when the call comes.
    QCOMPARE(call(QStringLiteral("/_ref/config"),
                  R"({"heartbeat": {"action": "trickle", "interval": 0.2}, "identify": {"action": "endless"},
                      "devices": {"action": "hang"}, "login": {"action": "endless_chunked"}})").status, 200);
    const QStringList paths{QStringLiteral("/api/heartbeat"), QStringLiteral("/api/ping-identify"),
                            QStringLiteral("/api/devices"), QStringLiteral("/login")};
    std::vector<std::unique_ptr<QNetworkReply>> replies;
    qint64 received = 0;
    for (const QString &path : paths) {
        replies.emplace_back(network->post(makeRequest("POST", QUrl(url + path), 60000), deviceBody()));
        QNetworkReply *reply = replies.back().get();
        connect(reply, &QIODevice::readyRead, reply, [reply, &received] { received += reply->readAll().size(); });
    }
    QTest::qWait(700);
    QVERIFY(received > 0);
    for (const auto &reply : replies)
        QVERIFY(!reply->isFinished());

    const Outcome stopping = call(QStringLiteral("/_ref/shutdown"), "{}");
    QCOMPARE(stopping.status, 200);
    QCOMPARE(jsonObject(stopping.body).value(QStringLiteral("status")).toString(), QStringLiteral("stopping"));
    QElapsedTimer clock;
    clock.start();
    auto allFinished = [&] {
        return std::all_of(replies.begin(), replies.end(), [](const auto &r) { return r->isFinished(); });
    };
    QTRY_VERIFY_WITH_TIMEOUT(allFinished(), 5000);
    const qint64 endedMs = clock.elapsed();
    // It may have exited already, while the replies finished.
    QVERIFY2(process.state() == QProcess::NotRunning || process.waitForFinished(5000),
             process.readAllStandardError().right(3000).constData());
    qInfo("answers in flight ended %lld ms after the shutdown answer, the service %lld ms after it",
          endedMs, clock.elapsed());
    QVERIFY2(endedMs < 1000, qPrintable(QString::number(endedMs)));
    // All cut short, but for the endless body without a length: that one
    // ends, as far as the client can tell, where the connection does.
    for (const auto &reply : replies) {
        if (!reply->url().path().endsWith(QLatin1String("ping-identify")))
            QVERIFY2(reply->error() != QNetworkReply::NoError, qPrintable(reply->url().path()));
    }
    QCOMPARE(process.exitStatus(), QProcess::NormalExit);
    QCOMPARE(process.exitCode(), 0);
}

QTEST_GUILESS_MAIN(tst_RefService)
#include "tst_refservice.moc"
