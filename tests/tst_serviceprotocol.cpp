// Request building and reply reading for the service, without a network.

#include "identity/machineidentity.h"
#include "launcher/sshlauncher.h"
#include "service/heartbeatretry.h"
#include "service/residentmemory.h"
#include "service/serviceprotocol.h"
#include "service/trust.h"

#include <algorithm>

#include <QSslCertificate>
#include <QSslConfiguration>
#include <QSet>

#include <QTest>

Q_DECLARE_METATYPE(Service::PostRequest)

using namespace Service;

class tst_ServiceProtocol : public QObject
{
    Q_OBJECT

private slots:
    void requests_data();
    void requests();
    void requestsCarryOnlyContentTypeAndTimeout();
    void publicAddressRequest();
    void loginReply_data();
    void loginReply();
    void identifyReply_data();
    void identifyReply();
    void heartbeatRetries();
    void publicAddress_data();
    void publicAddress();
    void sshArguments_data();
    void sshArguments();
    void trustedRoots();
    void residentMemory();
};

static const QString base = QStringLiteral("https://service.test:8443");

void tst_ServiceProtocol::requests_data()
{
    QTest::addColumn<PostRequest>("request");
    QTest::addColumn<QString>("url");
    QTest::addColumn<QByteArray>("body");

    QTest::newRow("login")
            << loginRequest(base, "alice", "s3cr\"et", 30000) << base + "/login"
            << QByteArray("{\n    \"password\": \"s3cr\\\"et\",\n    \"username\": \"alice\"\n}\n");
    QTest::newRow("login, empty fields")
            << loginRequest(base, QString(), QString(), 30000) << base + "/login"
            << QByteArray("{\n    \"password\": \"\",\n    \"username\": \"\"\n}\n");
    QTest::newRow("login, non-ASCII and spaces kept as typed")
            << loginRequest(base, QString::fromUtf8(" J\xc3\xb6rg "), "p w", 30000) << base + "/login"
            << QByteArray("{\n    \"password\": \"p w\",\n    \"username\": \" J\xc3\xb6rg \"\n}\n");
    QTest::newRow("registration")
            << deviceRegistrationRequest(base, 42, "Office-PC", "Windows 11 Version 23H2",
                                         "203.0.113.7", "0A:1B:2C:3D:4E:5F", 30000)
            << base + "/api/devices?uid=42"
            << QByteArray("{\n    \"device_name\": \"Office-PC\",\n"
                          "    \"ip_address\": \"203.0.113.7\",\n"
                          "    \"mac_address\": \"0A:1B:2C:3D:4E:5F\",\n"
                          "    \"os\": \"Windows 11 Version 23H2\",\n"
                          "    \"user_id\": 42\n}\n");
    QTest::newRow("registration, no user id, no address, no MAC")
            << deviceRegistrationRequest(base, 0, "pc", "Debian GNU/Linux 12 (bookworm)",
                                         QString(), QString(), 30000)
            << base + "/api/devices?uid=0"
            << QByteArray("{\n    \"device_name\": \"pc\",\n    \"ip_address\": \"\",\n"
                          "    \"mac_address\": \"\",\n"
                          "    \"os\": \"Debian GNU/Linux 12 (bookworm)\",\n    \"user_id\": 0\n}\n");
    QTest::newRow("registration, negative user id")
            << deviceRegistrationRequest(base, -2147483647 - 1, "pc", "os", "::1", "", 30000)
            << base + "/api/devices?uid=-2147483648"
            << QByteArray("{\n    \"device_name\": \"pc\",\n    \"ip_address\": \"::1\",\n"
                          "    \"mac_address\": \"\",\n    \"os\": \"os\",\n"
                          "    \"user_id\": -2147483648\n}\n");
    QTest::newRow("heartbeat")
            << heartbeatRequest(base, "office-pc", "0A:1B:2C:3D:4E:5F", 30000)
            << base + "/api/heartbeat"
            << QByteArray("{\n    \"device_name\": \"office-pc\",\n"
                          "    \"mac_address\": \"0A:1B:2C:3D:4E:5F\"\n}\n");
    QTest::newRow("identify poll")
            << identifyPollRequest(base, "office-pc", QString(), 30000)
            << base + "/api/ping-identify"
            << QByteArray("{\n    \"device_name\": \"office-pc\",\n    \"mac_address\": \"\"\n}\n");
}

void tst_ServiceProtocol::requests()
{
    QFETCH(PostRequest, request);
    QFETCH(QString, url);
    QFETCH(QByteArray, body);

    QCOMPARE(request.request.url().toString(QUrl::FullyEncoded), QUrl(url).toString(QUrl::FullyEncoded));
    QCOMPARE(request.body, body);
}

void tst_ServiceProtocol::requestsCarryOnlyContentTypeAndTimeout()
{
    const PostRequest heartbeat = heartbeatRequest(base, "pc", "", 1234);
    QCOMPARE(heartbeat.request.header(QNetworkRequest::ContentTypeHeader).toString(),
             QStringLiteral("application/json"));
    const QList<QByteArray> headers = heartbeat.request.rawHeaderList();
    QCOMPARE(headers.size(), 1);
    QCOMPARE(headers.constFirst().toLower(), QByteArray("content-type"));
    QCOMPARE(heartbeat.request.transferTimeout(), 1234);
    QCOMPARE(heartbeat.request.url().scheme(), QStringLiteral("https"));
}

void tst_ServiceProtocol::publicAddressRequest()
{
    const QNetworkRequest request = Service::publicAddressRequest("https://ip.test", 30000);
    QCOMPARE(request.url(), QUrl("https://ip.test"));
    QVERIFY(request.rawHeaderList().isEmpty());
    QCOMPARE(request.transferTimeout(), 30000);
}

void tst_ServiceProtocol::loginReply_data()
{
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<bool>("success");
    QTest::addColumn<int>("userId");

    QTest::newRow("accepted") << QByteArray(R"({"success": true, "user_id": 42})") << true << 42;
    QTest::newRow("refused") << QByteArray(R"({"success": false, "user_id": 42})") << false << 42;
    QTest::newRow("no user id") << QByteArray(R"({"success": true})") << true << 0;
    QTest::newRow("success as string") << QByteArray(R"({"success": "true", "user_id": 7})") << false << 7;
    QTest::newRow("success as number") << QByteArray(R"({"success": 1})") << false << 0;
    QTest::newRow("whole double") << QByteArray(R"({"success": true, "user_id": 42.0})") << true << 42;
    QTest::newRow("fraction") << QByteArray(R"({"success": true, "user_id": 4.5})") << true << 0;
    QTest::newRow("user id as string") << QByteArray(R"({"success": true, "user_id": "42"})") << true << 0;
    QTest::newRow("largest") << QByteArray(R"({"success": true, "user_id": 2147483647})") << true << 2147483647;
    QTest::newRow("smallest") << QByteArray(R"({"success": true, "user_id": -2147483648})") << true << -2147483647 - 1;
    QTest::newRow("above 32 bits") << QByteArray(R"({"success": true, "user_id": 2147483648})") << true << 0;
    QTest::newRow("below 32 bits") << QByteArray(R"({"success": true, "user_id": -2147483649})") << true << 0;
    QTest::newRow("huge") << QByteArray(R"({"success": true, "user_id": 1e300})") << true << 0;
    QTest::newRow("null") << QByteArray(R"({"success": null, "user_id": null})") << false << 0;
    QTest::newRow("not JSON") << QByteArray("<html>Bad gateway</html>") << false << 0;
    QTest::newRow("array") << QByteArray(R"([{"success": true, "user_id": 1}])") << false << 0;
    QTest::newRow("empty") << QByteArray() << false << 0;
    QTest::newRow("truncated") << QByteArray(R"({"success": true, "user_id": 4)") << false << 0;
}

void tst_ServiceProtocol::loginReply()
{
    QFETCH(QByteArray, body);
    QFETCH(bool, success);
    QFETCH(int, userId);

    const LoginResult result = readLoginReply(body);
    QCOMPARE(result.success, success);
    QCOMPARE(result.userId, userId);
}

void tst_ServiceProtocol::identifyReply_data()
{
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<bool>("identify");

    QTest::newRow("true") << QByteArray(R"({"identify": true})") << true;
    QTest::newRow("false") << QByteArray(R"({"identify": false})") << false;
    QTest::newRow("string true") << QByteArray(R"({"identify": "true"})") << false;
    QTest::newRow("one") << QByteArray(R"({"identify": 1})") << false;
    QTest::newRow("null") << QByteArray(R"({"identify": null})") << false;
    QTest::newRow("missing") << QByteArray(R"({"other": true})") << false;
    QTest::newRow("nested") << QByteArray(R"({"data": {"identify": true}})") << false;
    QTest::newRow("HTML page") << QByteArray("<!DOCTYPE html><html><body>OK</body></html>") << false;
    QTest::newRow("bare true") << QByteArray("true") << false;
    QTest::newRow("empty") << QByteArray() << false;
}

void tst_ServiceProtocol::identifyReply()
{
    QFETCH(QByteArray, body);
    QFETCH(bool, identify);
    QCOMPARE(readIdentifyReply(body), identify);
}

void tst_ServiceProtocol::heartbeatRetries()
{
    // A run of failures from a healthy state: retries 1, 2, 3, then giving up,
    // and every later failure gives up again until a success resets the count.
    int failures = 0;
    QList<bool> retried;
    for (int i = 0; i < 6; ++i) {
        const HeartbeatRetryDecision decision = afterHeartbeatFailure(failures, 3);
        QCOMPARE(decision.failures, failures + 1);
        failures = decision.failures;
        retried.append(decision.retry);
    }
    QCOMPARE(retried, (QList<bool>{ true, true, true, false, false, false }));

    QCOMPARE(afterHeartbeatFailure(0, 0).retry, false);
    // The count saturates instead of overflowing after years of failures.
    QCOMPARE(afterHeartbeatFailure(2147483647, 3).failures, 2147483647);
}

void tst_ServiceProtocol::publicAddress_data()
{
    QTest::addColumn<bool>("succeeded");
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<QString>("address");

    QTest::newRow("IPv4") << true << QByteArray("203.0.113.7") << "203.0.113.7";
    QTest::newRow("trailing line feed") << true << QByteArray("203.0.113.7\n") << "203.0.113.7";
    QTest::newRow("surrounding white space") << true << QByteArray(" \t203.0.113.7\r\n\v\f") << "203.0.113.7";
    QTest::newRow("IPv6") << true << QByteArray("2001:db8::1\n") << "2001:db8::1";
    QTest::newRow("failed lookup with a body") << false << QByteArray("203.0.113.7") << "";
    QTest::newRow("empty") << true << QByteArray() << "";
    QTest::newRow("error page") << true << QByteArray("<html>502 Bad Gateway</html>") << "";
    QTest::newRow("host name") << true << QByteArray("example.com") << "";
    QTest::newRow("option injection") << true << QByteArray("-pw secret") << "";
    QTest::newRow("two addresses") << true << QByteArray("1.2.3.4 5.6.7.8") << "";
    QTest::newRow("shorthand") << true << QByteArray("127.1") << "";
    QTest::newRow("bare number") << true << QByteArray("2130706433") << "";
    QTest::newRow("leading zero") << true << QByteArray("010.1.1.1") << "";
    QTest::newRow("zero address") << true << QByteArray("0.0.0.0") << "0.0.0.0";
    QTest::newRow("octet out of range") << true << QByteArray("1.2.3.256") << "";
    QTest::newRow("scope id") << true << QByteArray("fe80::1%eth0") << "";
    QTest::newRow("over the size limit") << true << QByteArray(2000, ' ') + "1.2.3.4" << "";
}

void tst_ServiceProtocol::publicAddress()
{
    QFETCH(bool, succeeded);
    QFETCH(QByteArray, body);
    QFETCH(QString, address);
    QCOMPARE(Identity::publicAddressFromReply(succeeded, body), address);
}

void tst_ServiceProtocol::sshArguments_data()
{
    QTest::addColumn<QString>("address");
    QTest::addColumn<QStringList>("arguments");

    QTest::newRow("IPv4") << "203.0.113.7" << QStringList{ "-ssh", "203.0.113.7" };
    QTest::newRow("IPv6") << "2001:db8::1" << QStringList{ "-ssh", "2001:db8::1" };
    QTest::newRow("unknown address") << "" << QStringList{ "-ssh" };
}

void tst_ServiceProtocol::sshArguments()
{
    QFETCH(QString, address);
    QFETCH(QStringList, arguments);
    QCOMPARE(Launcher::sshArguments(address), arguments);
}

void tst_ServiceProtocol::trustedRoots()
{
    const QList<QSslCertificate> compiledIn = QSslCertificate::fromData(compiledInCaCertificates());
    if (compiledIn.isEmpty())
        QSKIP("this build trusts no roots of its own");

    // Roots the system trusts already (the test CA does under wine, whose
    // root store is the machine's bundle) are not added twice.
    const QList<QSslCertificate> system = QSslConfiguration::systemCaCertificates();
    const auto added = std::count_if(compiledIn.cbegin(), compiledIn.cend(),
                                     [&system](const QSslCertificate &c) { return !system.contains(c); });
    QCOMPARE(trustCompiledInCertificates(), int(added));
    QCOMPARE(trustCompiledInCertificates(), 0);
    const QList<QSslCertificate> roots = QSslConfiguration::defaultConfiguration().caCertificates();
    for (const QSslCertificate &certificate : compiledIn)
        QVERIFY(roots.contains(certificate));
    // The system's roots stay trusted next to ours.
    for (const QSslCertificate &certificate : system)
        QVERIFY(roots.contains(certificate));
    // Each once: the system's bundle and its directory list many twice.
    QCOMPARE(QSet<QSslCertificate>(roots.cbegin(), roots.cend()).size(), roots.size());
}

// An application object: Qt finds its TLS back end, a plugin on Windows, only
// with one.
QTEST_GUILESS_MAIN(tst_ServiceProtocol)

// What the memory guard reads must follow memory the process touches, in bytes.
void tst_ServiceProtocol::residentMemory()
{
    constexpr qint64 block = 64 * 1024 * 1024;
    const qint64 before = Service::residentMemoryBytes();
    QVERIFY(before > 0);
    const QByteArray filled(block, 'x');  // every page written
    const qint64 after = Service::residentMemoryBytes();
    QVERIFY2(after - before >= block - block / 8 && after - before < 2 * block,
             qPrintable(QStringLiteral("%1 MiB more").arg((after - before) >> 20)));
}

#include "tst_serviceprotocol.moc"
