// Every exchange with the service, and the public-address lookup, against every
// way the other side can fail or attack: the outcome the user or the log sees,
// no crash, what ends the exchange and when, the memory it may cost, and
// nothing sent where it must not go: not over a connection whose certificate
// did not verify, not to another origin. Each exchange is one row of
// `exchanges`, each fault one row of `faults`; every pair runs.

#include "app/mainwindow.h"
#include "common/logcapture.h"
#include "common/refservice.h"
#include "common/testagent.h"
#include "common/useractions.h"
#include "identity/machineidentity.h"
#include "service/replyguard.h"

#include <QElapsedTimer>
#include <QSet>
#include <QFile>
#include <QJsonDocument>
#include <QLabel>
#include <QStandardPaths>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QTest>

#include <iterator>

#ifdef Q_OS_WIN
#  include <windows.h>
#  include <psapi.h>
#endif

namespace {

// Where an exchange's outcome shows: the status label, the log, or the public
// address in the device registration that follows the lookup.
enum class Shows { StatusLabel, Log, RegisteredAddress };

struct Exchange
{
    const char *name;
    const char *route;       // the reference service's route
    const char *path;        // as the agent asks for it; the registration carries demo's user id
    const char *goodAnswer;  // a body the agent takes for the service's own answer
    qint64 cap;              // the largest answer the agent takes
    const char *slot;        // the window's slot that sets it off; none: a sign-in
    Shows shows;
    // The status text, or the start of the one log message, when the
    // exchange fails, when its body says nothing, and when it is answered.
    const char *failed;
    const char *notAnAnswer;
    const char *answered;
};

const Exchange exchanges[] = {
    { "login", "login", "/login", R"({"success": true, "user_id": 42})",
      Service::MaxServiceReplyBytes, nullptr, Shows::StatusLabel,
      "Network error.", "Login failed.", "Login successful. Device registered." },
    { "registration", "devices", "/api/devices?uid=42", R"({"status": "ok"})",
      Service::MaxServiceReplyBytes, nullptr, Shows::StatusLabel,
      "Login OK, but device not uploaded.", "Login successful. Device registered.",
      "Login successful. Device registered." },
    { "heartbeat", "heartbeat", "/api/heartbeat", R"({"status": "ok"})",
      Service::MaxServiceReplyBytes, "sendHeartbeat", Shows::Log,
      "Heartbeat failed: \"", "Heartbeat sent successfully.", "Heartbeat sent successfully." },
    { "identify", "identify", "/api/ping-identify", R"({"identify": false})",
      Service::MaxServiceReplyBytes, "checkIdentifyStatus", Shows::Log,
      "Identify check failed: \"", "Identify status: false", "Identify status: false" },
    { "public address", "ip", "/", "127.0.0.1",
      Identity::MaxPublicAddressReplyBytes, nullptr, Shows::RegisteredAddress,
      "", "", "" },
};

// The log message that says why each exchange shown in the status label failed.
const char *failureLog(const Exchange &exchange)
{
    return QByteArray(exchange.route) == "login" ? "Login error: \"" : "Device upload error: \"";
}

// Silent: a service that accepts connections and leaves them silent, until
// it answers again for the request after the one under test. SlowHandshake:
// a service that takes 7 s to answer each new connection's TLS hello.
enum class Endpoint { Good, Refused, Untrusted, WrongHost, Silent, SlowHandshake };
// What the agent makes of the exchange.
enum class Outcome {
    Fails,       // the network layer reports an error
    NotAnAnswer, // no error, but the body says nothing (login refused, no identify, no address)
    Answers,     // the service's own answer reaches the agent
};
// What ends the exchange: the answer or a guard before any timer could, the
// memory guard once the process has grown by its bound, Qt's transfer
// timeout, the agent's own deadline, or a late answer, which no guard may cut
// short (these rows run with the program's own timer values).
enum class Ends { Promptly, AtMemoryBound, AtTimeout, AtDeadline, Late };

struct Fault
{
    const char *name;
    Endpoint endpoint;
    const char *route;    // the answer of the route under test, as JSON; empty for none
    Outcome outcome;
    Ends ends = Ends::Promptly;
    const char *settings = "";  // further service settings, as JSON members
    int requests = -1;          // requests the route must have seen; -1 for any number
};

const QByteArray someJson = R"({\"success\": true, \"user_id\": 5, \"identify\": true})";

// Where the agent allows HTTP/2, Qt itself refuses a header bomb; elsewhere
// the agent never offers HTTP/2 and the service answers over HTTP/1.1.
constexpr Outcome overHttp2 = Service::AllowsHttp2 ? Outcome::Fails : Outcome::Answers;
// A head or a chunk-size line without end: refused on sight by a Qt that
// bounds them, else given up by the agent once the process has grown by its bound.
constexpr Ends framingEnds = Service::QtBoundsHttp1Framing ? Ends::Promptly : Ends::AtMemoryBound;

// Route texts may hold {answer} (the route's own good answer), {self} (the
// route's own path), {other} (the same path on another origin that the agent
// trusts) and {http} (the same path over plain http), and "padded": N, which
// pads the body with spaces to N bytes, N being "cap" or "cap+1" for the
// exchange's byte cap.
const Fault faults[] = {
    { "connection refused", Endpoint::Refused, "", Outcome::Fails },
    { "untrusted certificate", Endpoint::Untrusted, "", Outcome::Fails },
    { "wrong host name", Endpoint::WrongHost, "", Outcome::Fails },
    { "silent handshake, then recovery", Endpoint::Silent, "", Outcome::Fails, Ends::AtTimeout },
    { "401 with JSON", Endpoint::Good, R"({"status": 401, "body": "JSON"})", Outcome::Fails },
    { "401 without body", Endpoint::Good, R"({"status": 401, "body": ""})", Outcome::Fails },
    { "404 with JSON", Endpoint::Good, R"({"status": 404, "body": "JSON"})", Outcome::Fails },
    { "404 plain", Endpoint::Good, R"({"status": 404, "body": "not here", "content_type": "text/plain"})", Outcome::Fails },
    { "500 with JSON", Endpoint::Good, R"({"status": 500, "body": "JSON"})", Outcome::Fails },
    { "500 plain", Endpoint::Good, R"({"status": 500, "body": "oops", "content_type": "text/plain"})", Outcome::Fails },
    { "not JSON", Endpoint::Good, R"({"status": 200, "body": "<html>OK</html>", "content_type": "text/html"})", Outcome::NotAnAnswer },
    { "JSON array", Endpoint::Good, R"({"status": 200, "body": "[JSON]"})", Outcome::NotAnAnswer },
    { "empty body", Endpoint::Good, R"({"status": 200, "body": ""})", Outcome::NotAnAnswer },
    { "answer at the byte cap", Endpoint::Good, R"({"body": "{answer}", "padded": "cap"})", Outcome::Answers },
    { "answer one byte past the cap", Endpoint::Good, R"({"body": "{answer}", "padded": "cap+1"})", Outcome::Fails },
    { "10 MiB of garbage", Endpoint::Good, R"({"status": 200, "body": "garbage!", "body_repeat": 1310720})", Outcome::Fails },
    { "endless body", Endpoint::Good, R"({"action": "endless"})", Outcome::Fails },
    { "endless chunked body", Endpoint::Good, R"({"action": "endless_chunked"})", Outcome::Fails },
    { "one-byte chunks", Endpoint::Good, R"({"action": "one_byte_chunks"})", Outcome::Fails },
    { "endless header lines", Endpoint::Good, R"({"action": "endless_headers"})", Outcome::Fails, framingEnds },
    { "one endless header line", Endpoint::Good, R"({"action": "endless_header_line"})", Outcome::Fails, framingEnds },
    { "endless chunk-size line", Endpoint::Good, R"({"action": "endless_chunk_line"})", Outcome::Fails, framingEnds },
    { "hangs", Endpoint::Good, R"({"action": "hang"})", Outcome::Fails, Ends::AtTimeout },
    { "trickles", Endpoint::Good, R"({"action": "trickle", "interval": 0.25})", Outcome::Fails, Ends::AtDeadline },
    { "announces more than the cap", Endpoint::Good, R"({"action": "trickle", "interval": 0.25, "announced": 100000})", Outcome::Fails },
    { "dropped mid-body", Endpoint::Good, R"({"action": "drop_mid_body", "body": "JSON"})", Outcome::Fails, Ends::AtTimeout },
    { "307 to the same origin, once", Endpoint::Good, R"({"action": "redirect", "status": 307, "location": "{self}", "times": 1})", Outcome::Answers, Ends::Promptly, "", 2 },
    { "redirect loop on the origin", Endpoint::Good, R"({"action": "redirect", "status": 307, "location": "{self}"})", Outcome::Fails, Ends::Promptly, "", 1 + Service::MaxRedirects },
    { "307 to another origin", Endpoint::Good, R"({"action": "redirect", "status": 307, "location": "{other}"})", Outcome::Fails, Ends::Promptly, "", 1 },
    { "308 to another origin", Endpoint::Good, R"({"action": "redirect", "status": 308, "location": "{other}"})", Outcome::Fails, Ends::Promptly, "", 1 },
    { "302 to plain http", Endpoint::Good, R"({"action": "redirect", "status": 302, "location": "{http}"})", Outcome::Fails, Ends::Promptly, "", 1 },
    { "HTTP/2 header bomb", Endpoint::Good, R"({"action": "h2_header_bomb"})", overHttp2, Ends::Promptly, R"("http2": true)" },
    { "HTTP/2 endless CONTINUATION", Endpoint::Good, R"({"action": "h2_endless_continuation"})", overHttp2, Ends::Promptly, R"("http2": true)" },
    { "slow honest: answered after 3 s", Endpoint::Good, R"({"delay": 3})", Outcome::Answers, Ends::Late, "", 1 },
    { "slow honest: answered after 20 s", Endpoint::Good, R"({"delay": 20})", Outcome::Answers, Ends::Late, "", 1 },
    { "slow honest: head at once, body 4 s later", Endpoint::Good, R"({"body_delay": 4})", Outcome::Answers, Ends::Late, "", 1 },
    { "slow honest: 7 s handshake", Endpoint::SlowHandshake, "", Outcome::Answers, Ends::Late, "", 1 },
};

// Resident memory the process took beyond what it held when last reset. On
// Windows, where the peak cannot be reset, the peak over the whole run.
qint64 memoryGrowthBytes(bool reset)
{
#ifdef Q_OS_WIN
    PROCESS_MEMORY_COUNTERS counters{};
    GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof counters);
    static qint64 start = qint64(counters.WorkingSetSize);
    Q_UNUSED(reset);
    return qint64(counters.PeakWorkingSetSize) - start;
#else
    static qint64 base = 0;
    if (reset) {
        QFile clear(QStringLiteral("/proc/self/clear_refs"));
        if (clear.open(QIODevice::WriteOnly))
            clear.write("5");  // the peak starts again from the current size
    }
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    qint64 peak = -1, current = -1;
    for (const QByteArray &line : status.readAll().split('\n')) {
        const QList<QByteArray> fields = line.simplified().split(' ');
        if (fields.size() < 2)
            continue;
        if (fields.at(0) == "VmHWM:")
            peak = fields.at(1).toLongLong() * 1024;
        else if (fields.at(0) == "VmRSS:")
            current = fields.at(1).toLongLong() * 1024;
    }
    if (reset)
        base = current;
    return peak - base;
#endif
}

QString pathOf(const Exchange &exchange)
{
    return QString::fromLatin1(exchange.path).section(u'?', 0, 0);
}

} // namespace

Q_DECLARE_METATYPE(Endpoint)
Q_DECLARE_METATYPE(Outcome)
Q_DECLARE_METATYPE(Ends)

class tst_FaultMatrix : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void fault_data();
    void fault();
    // The rows of late answers, apart: they take minutes of waiting, which
    // ctest can then spend beside the other rows.
    void lateAnswer_data() { rows(true); }
    void lateAnswer() { fault(); }

private:
    void rows(bool late);
    QString endpointUrl(Endpoint endpoint) const;
    QByteArray routeFor(const Exchange &exchange, QByteArray route) const;
    void setOff(MainWindow &window, const Exchange &exchange);
    void run(MainWindow &window, const Exchange &exchange, LogCapture &log, int deadline);
    void checkOutcome(MainWindow &window, const Exchange &exchange, Outcome outcome,
                      const LogCapture &log, RefService &home);

    RefService service;
    // The same service on another port, trusted like it: another origin.
    RefService other;
    QTemporaryDir otherCa;
    std::unique_ptr<RefService> untrusted;
    // A service that accepts connections and stays silent, or takes long to
    // shake hands, as each row tells it.
    RefService stalled;
    quint16 closedPort = 0;
};

// AddressSanitizer slows every step down, pads every allocation and holds
// freed memory back: under it the stand-ins below are twice as long and the
// memory bound four times as large.
#if defined(__SANITIZE_ADDRESS__)
#  define TESSALY_UNDER_ASAN
#elif defined(__has_feature)
#  if __has_feature(address_sanitizer)
#    define TESSALY_UNDER_ASAN
#  endif
#endif
#ifdef TESSALY_UNDER_ASAN
static constexpr int slowdown = 2;
static constexpr qint64 memoryFactor = 4;
#else
static constexpr int slowdown = 1;
static constexpr qint64 memoryFactor = 1;
#endif

// Short stand-ins for the program's values, each timer well apart from the
// next, so that each can be told from the others; but for the rows of late
// answers, which run with the program's own.
static constexpr int transferTimeoutMs = 1500 * slowdown;
static constexpr int deadlineMs = 4000 * slowdown;
// Far above what one exchange needs, far below what an unbounded one takes.
static constexpr qint64 maxMemoryGrowth = 64 * 1024 * 1024 * memoryFactor;

void tst_FaultMatrix::initTestCase()
{
    QVERIFY2(startTestService(service), qPrintable(service.errorText()));
    QVERIFY2(other.start(), qPrintable(other.errorText()));
    QVERIFY2(stalled.start(), qPrintable(stalled.errorText()));
    // The same service with a CA of its own, which the agent does not trust.
    QVERIFY(otherCa.isValid());
    untrusted = std::make_unique<RefService>(otherCa.path());
    QVERIFY2(untrusted->start(), qPrintable(untrusted->errorText()));
    // A port on which nothing listens.
    QTcpServer server;
    QVERIFY(server.listen(QHostAddress::LocalHost));
    closedPort = server.serverPort();
    server.close();

    // One good sign-in first, so that what the process sets up once (the TLS
    // library, the system's roots, fonts) is not counted against the first row.
    MainWindow window(settingsFor(service.url()));
    window.show();
    signIn(window, "demo", "demo");
    QTRY_COMPARE_WITH_TIMEOUT(formOf(window).status->text(),
                              QStringLiteral("Login successful. Device registered."), 10000);
    memoryGrowthBytes(true);
}

void tst_FaultMatrix::init()
{
    QVERIFY(service.reset());
    QVERIFY(other.reset());
    QVERIFY(untrusted->reset());
    QVERIFY(stalled.reset());
}

QString tst_FaultMatrix::endpointUrl(Endpoint endpoint) const
{
    switch (endpoint) {
    case Endpoint::Good: return service.url().toString(QUrl::StripTrailingSlash);
    case Endpoint::Refused: return QStringLiteral("https://localhost:%1").arg(closedPort);
    case Endpoint::Untrusted: return untrusted->url().toString(QUrl::StripTrailingSlash);
    case Endpoint::WrongHost: return QStringLiteral("https://127.0.0.1:%1").arg(service.port());
    case Endpoint::Silent:
    case Endpoint::SlowHandshake: return stalled.url().toString(QUrl::StripTrailingSlash);
    }
    return QString();
}

// The route's answer with the row's placeholders filled in for exchange.
QByteArray tst_FaultMatrix::routeFor(const Exchange &exchange, QByteArray route) const
{
    const QByteArray path = exchange.path;
    route.replace("\"JSON\"", "\"" + someJson + "\"");
    route.replace("[JSON]", "[" + someJson + "]");
    route.replace("{self}", path);
    route.replace("{other}", other.url().toString(QUrl::StripTrailingSlash).toUtf8() + path);
    route.replace("{http}", "http://localhost:" + QByteArray::number(service.port()) + path);

    QJsonObject object = QJsonDocument::fromJson(route).object();
    if (object.value("body") == QStringLiteral("{answer}"))
        object.insert("body", QString::fromUtf8(exchange.goodAnswer));
    const QString padded = object.take("padded").toString();
    if (!padded.isEmpty()) {
        const qint64 size = exchange.cap + (padded == QStringLiteral("cap+1") ? 1 : 0);
        object.insert("body", object.value("body").toString().leftJustified(int(size), u' '));
    }
    return QJsonDocument(object).toJson(QJsonDocument::Compact);
}

void tst_FaultMatrix::fault_data()
{
    rows(false);
}

void tst_FaultMatrix::rows(bool late)
{
    QTest::addColumn<int>("exchange");
    QTest::addColumn<Endpoint>("endpoint");
    QTest::addColumn<QByteArray>("route");
    QTest::addColumn<QByteArray>("settings");
    QTest::addColumn<Outcome>("outcome");
    QTest::addColumn<Ends>("ends");
    QTest::addColumn<int>("requests");

    for (int index = 0; index < int(std::size(exchanges)); ++index) {
        const Exchange &exchange = exchanges[index];
        for (const Fault &fault : faults) {
            if ((fault.ends == Ends::Late) != late)
                continue;
            // The registration goes to the login's host: a host that cannot be
            // reached fails the login first.
            if (QByteArray(exchange.route) == "devices" && fault.endpoint != Endpoint::Good)
                continue;
            QTest::addRow("%s, %s", exchange.name, fault.name)
                    << index << fault.endpoint << QByteArray(fault.route)
                    << QByteArray(fault.settings) << fault.outcome << fault.ends << fault.requests;
        }
    }
}

void tst_FaultMatrix::setOff(MainWindow &window, const Exchange &exchange)
{
    if (exchange.slot)
        QVERIFY(QMetaObject::invokeMethod(&window, exchange.slot));
    else
        signIn(window, "demo", "demo");
}

// Sets the exchange off and waits until its outcome shows.
void tst_FaultMatrix::run(MainWindow &window, const Exchange &exchange, LogCapture &log, int deadline)
{
    log.clear();
    auto *status = formOf(window).status;
    status->setText(QStringLiteral("Status"));
    setOff(window, exchange);
    const int bound = deadline + 8000;
    if (exchange.shows == Shows::Log) {
        const QString topic = QString::fromLatin1(exchange.failed).section(u' ', 0, 0);
        QTRY_VERIFY_WITH_TIMEOUT(!log.matching(topic).isEmpty(), bound);
    } else {
        QTRY_VERIFY_WITH_TIMEOUT(status->text() != QStringLiteral("Status"), bound);
    }
}

// home is the service the agent signs in to, the one that sees the registration.
void tst_FaultMatrix::checkOutcome(MainWindow &window, const Exchange &exchange, Outcome outcome,
                                   const LogCapture &log, RefService &home)
{
    const QString status = formOf(window).status->text();
    const QString expected = QString::fromUtf8(outcome == Outcome::Fails ? exchange.failed
                                                : outcome == Outcome::NotAnAnswer ? exchange.notAnAnswer
                                                                                  : exchange.answered);
    switch (exchange.shows) {
    case Shows::StatusLabel:
        QCOMPARE(status, expected);
        QCOMPARE(log.matching(failureLog(exchange)).size(), outcome == Outcome::Fails ? 1 : 0);
        if (QByteArray(exchange.route) == "login")
            QCOMPARE(home.requests("/api/devices").size(), outcome == Outcome::Answers ? 1 : 0);
        break;
    case Shows::Log: {
        // One message, and for a failed heartbeat one retry.
        const QString topic = expected.section(u' ', 0, 0);
        QCOMPARE(log.matching(topic), QStringList{ log.matching(expected).value(0) });
        if (QByteArray(exchange.route) == "heartbeat")
            QCOMPARE(log.texts(QtDebugMsg).filter("Retrying").size(), outcome == Outcome::Fails ? 1 : 0);
        break;
    }
    case Shows::RegisteredAddress: {
        QCOMPARE(status, QStringLiteral("Login successful. Device registered."));
        const QList<RefService::Request> registrations = home.requests("/api/devices");
        QCOMPARE(registrations.size(), 1);
        const bool noAddress = registrations.constFirst().body.contains("\"ip_address\": \"\",\n");
        QVERIFY2(noAddress == (outcome != Outcome::Answers), registrations.constFirst().body.constData());
        break;
    }
    }
}

void tst_FaultMatrix::fault()
{
    QFETCH(int, exchange);
    QFETCH(Endpoint, endpoint);
    QFETCH(QByteArray, route);
    QFETCH(QByteArray, settings);
    QFETCH(Outcome, outcome);
    QFETCH(Ends, ends);
    QFETCH(int, requests);
    const Exchange &under = exchanges[exchange];

    QByteArray config = "{";
    if (!route.isEmpty())
        config += "\"" + QByteArray(under.route) + "\": " + routeFor(under, route);
    if (!settings.isEmpty())
        config += (route.isEmpty() ? "" : ", ") + settings;
    QVERIFY2(service.configure(config + "}"), config.constData());
    if (endpoint == Endpoint::Silent)
        QVERIFY(stalled.configure(R"({"silent": true})"));
    if (endpoint == Endpoint::SlowHandshake)
        QVERIFY(stalled.configure(R"({"handshake_delay": 7})"));

    AgentSettings agent = settingsFor(service.url());
    if (ends == Ends::Late) {
        agent.transferTimeoutMs = AgentSettings().transferTimeoutMs;
        agent.requestDeadlineMs = AgentSettings().requestDeadlineMs;
    } else {
        // Bytes of a head restart no transfer timeout of Qt's: the stand-in
        // would end a framing flood before the memory guard is needed.
        agent.transferTimeoutMs = ends == Ends::AtMemoryBound ? AgentSettings().transferTimeoutMs
                                                             : transferTimeoutMs;
        agent.requestDeadlineMs = deadlineMs;
    }
    agent.retryDelayMs = 3600 * 1000;
    const QString url = endpointUrl(endpoint);
    if (under.shows == Shows::RegisteredAddress)
        agent.publicAddressUrl = url;
    else
        agent.serviceUrl = url;
    // The service the exchange under test goes to, and the one the agent signs in to.
    RefService &target = endpoint == Endpoint::Silent || endpoint == Endpoint::SlowHandshake
            ? stalled : service;
    RefService &home = under.shows == Shows::RegisteredAddress ? service : target;

    MainWindow window(agent);
    window.show();
    LogCapture log;
    memoryGrowthBytes(true);
    QElapsedTimer clock;
    clock.start();
    run(window, under, log, agent.requestDeadlineMs);
    if (QTest::currentTestFailed())
        return;
    const qint64 elapsed = clock.elapsed();
    const qint64 growth = memoryGrowthBytes(false);
    qInfo("ended after %lld ms, memory grew by %lld KiB", elapsed, growth / 1024);
    switch (ends) {
    case Ends::Promptly:  // before any timer could have ended it
        QVERIFY2(elapsed < (Service::QtBoundsHttp1Framing ? deadlineMs / 2 : transferTimeoutMs),
                 "the exchange was not ended by its answer or a guard");
        break;
    case Ends::AtMemoryBound:
        QVERIFY2(elapsed < deadlineMs, "the memory guard did not end the exchange");
        break;
    case Ends::Late:  // whatever it took, within the program's own deadline
        break;
    case Ends::AtTimeout:
        QVERIFY2(elapsed < deadlineMs, "the transfer timeout did not end the exchange");
        break;
    case Ends::AtDeadline:
        QVERIFY2(elapsed >= deadlineMs - 100 && elapsed < deadlineMs + 3000,
                 "the deadline did not end the exchange");
        break;
    }
    // Where Qt gathers a head or a chunk-size line without bound, tens of MiB
    // a second, until the memory guard, checking a few times a second, sees
    // the process past its bound.
    const qint64 memoryBound = ends == Ends::AtMemoryBound ? 2 * maxMemoryGrowth : maxMemoryGrowth;
    QVERIFY2(growth < memoryBound, qPrintable(QStringLiteral("memory grew by %1 MiB").arg(growth >> 20)));
    QTest::qWait(50);

    checkOutcome(window, under, outcome, log, home);
    if (QTest::currentTestFailed())
        return;

    if (requests >= 0) {
        const auto seen = target.requests(pathOf(under)).size();
        // A client may send an idempotent GET again on a fresh connection
        // (seen after followed redirects, on Qt 6.4 and under wine); a POST never.
        if (under.shows == Shows::RegisteredAddress)
            QVERIFY2(seen >= requests && seen <= 2 * requests, qPrintable(QString::number(seen)));
        else
            QCOMPARE(seen, requests);
    }
    // Nothing leaves the origin, not even after a redirect.
    QVERIFY(other.requests().isEmpty());
    // Over a connection that failed verification, or never finished its
    // handshake, not a byte of the request.
    if (endpoint == Endpoint::Untrusted)
        QVERIFY(untrusted->requests().isEmpty());
    if (endpoint == Endpoint::WrongHost || endpoint == Endpoint::Silent)
        QVERIFY(target.requests(pathOf(under)).isEmpty());

    // The connection that never finished its handshake stays open; once the
    // service answers again, the very next request must not wait behind it.
    if (endpoint == Endpoint::Silent) {
        QVERIFY(service.reset());
        QVERIFY(stalled.reset());  // silent no more
        clock.restart();
        run(window, under, log, deadlineMs);
        if (QTest::currentTestFailed())
            return;
        QVERIFY2(clock.elapsed() < deadlineMs / 2, "the request after the outage did not get through");
        checkOutcome(window, under, Outcome::Answers, log, home);
        if (QTest::currentTestFailed())
            return;
        QCOMPARE(stalled.requests(pathOf(under)).size(), 1);
    }

    // A connection that was slow to come up is a good one: the next exchange
    // goes over it, as it would on a fast network, with no handshake to wait for.
    if (endpoint == Endpoint::SlowHandshake) {
        QSet<quint16> connections;
        const auto noteConnections = [&] {
            for (const RefService::Request &request : stalled.requests())
                connections.insert(request.clientPort);
        };
        noteConnections();
        QVERIFY(service.reset());
        QVERIFY(stalled.reset());
        run(window, under, log, agent.requestDeadlineMs);
        if (QTest::currentTestFailed())
            return;
        checkOutcome(window, under, Outcome::Answers, log, home);
        if (QTest::currentTestFailed())
            return;
        noteConnections();
        QCOMPARE(connections.size(), 1);
    }
}

QTEST_MAIN(tst_FaultMatrix)

#include "tst_faultmatrix.moc"
