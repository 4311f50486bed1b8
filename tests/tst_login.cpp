// Signing in and registering the device against the reference service.

#include "app/mainwindow.h"
#include "common/logcapture.h"
#include "common/refservice.h"
#include "common/testagent.h"
#include "common/useractions.h"
#include "identity/machineidentity.h"

#include <QDirIterator>
#include <QHostInfo>
#include <QSysInfo>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QStandardPaths>
#include <QTest>

class tst_Login : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void outcomes_data();
    void outcomes();
    void registrationBytes();
    void emptyFieldsAreSentAsTheyAre();
    void onlyTheLoginButtonSignsIn();
    void twoQuickClicks();
    void publicAddressUnavailable_data();
    void publicAddressUnavailable();
    void labelKeepsItsTextUntilTheRegistrationAnswers();
    void passwordStaysInTheLoginBody();

private:
    QString echoedAddress();

    RefService service;
};

static const QString statusSuccess = QStringLiteral("Login successful. Device registered.");

void tst_Login::initTestCase()
{
    QVERIFY2(startTestService(service), qPrintable(service.errorText()));
}

void tst_Login::init()
{
    QVERIFY(service.reset());
}

// The address the service's echo gives this client: loopback, over IPv4 or IPv6.
QString tst_Login::echoedAddress()
{
    const QList<RefService::Request> lookups = service.requests("/");
    return lookups.isEmpty() ? QString() : lookups.constLast().client;
}

void tst_Login::outcomes_data()
{
    QTest::addColumn<QByteArray>("config");
    QTest::addColumn<QString>("password");
    QTest::addColumn<QString>("status");
    QTest::addColumn<QString>("debugPrefix");
    QTest::addColumn<int>("registrations");

    QTest::newRow("accepted and registered")
            << QByteArray("{}") << "demo" << statusSuccess << "" << 1;
    QTest::newRow("registered whatever the answer's body")
            << QByteArray(R"({"devices": {"status": 201, "body": "<html>created</html>"}})") << "demo"
            << statusSuccess << "" << 1;
    QTest::newRow("refused")
            << QByteArray("{}") << "wrong" << "Login failed." << "" << 0;
    QTest::newRow("refused with 401 and a JSON body")
            << QByteArray(R"({"login": {"status": 401, "body": "{\"success\": false}"}})") << "demo"
            << "Network error." << "Login error: \"" << 0;
    QTest::newRow("server error even with success in the body")
            << QByteArray(R"({"login": {"status": 500, "body": "{\"success\": true, \"user_id\": 1}"}})")
            << "demo" << "Network error." << "Login error: \"" << 0;
    QTest::newRow("connection dropped")
            << QByteArray(R"({"login": {"action": "drop"}})") << "demo" << "Network error."
            << "Login error: \"" << 0;
    QTest::newRow("success as a string")
            << QByteArray(R"({"login": {"status": 200, "body": "{\"success\": \"true\", \"user_id\": 3}"}})")
            << "demo" << "Login failed." << "" << 0;
    QTest::newRow("not JSON")
            << QByteArray(R"({"login": {"status": 200, "body": "<html>OK</html>"}})") << "demo"
            << "Login failed." << "" << 0;
    QTest::newRow("registration fails")
            << QByteArray(R"({"devices": {"status": 500}})") << "demo"
            << "Login OK, but device not uploaded." << "Device upload error: \"" << 1;
    QTest::newRow("registration dropped mid-body")
            << QByteArray(R"({"devices": {"action": "drop_mid_body", "body": "{\"ok\": true}"}})") << "demo"
            << "Login OK, but device not uploaded." << "Device upload error: \"" << 1;
}

void tst_Login::outcomes()
{
    QFETCH(QByteArray, config);
    QFETCH(QString, password);
    QFETCH(QString, status);
    QFETCH(QString, debugPrefix);
    QFETCH(int, registrations);

    QVERIFY(service.configure(config));
    MainWindow window(settingsFor(service.url()));
    window.show();
    LogCapture log;
    signIn(window, "demo", password);
    QTRY_COMPARE_WITH_TIMEOUT(formOf(window).status->text(), status, 10000);
    QTest::qWait(100);

    const QStringList flowMessages = log.matching("Login error:") + log.matching("Device upload error:");
    if (debugPrefix.isEmpty()) {
        QVERIFY2(flowMessages.isEmpty(), qPrintable(flowMessages.join('\n')));
    } else {
        QCOMPARE(flowMessages.size(), 1);
        QVERIFY(flowMessages.constFirst().startsWith(debugPrefix));
        QVERIFY(flowMessages.constFirst().endsWith(u'"'));
        QCOMPARE(log.texts(QtDebugMsg).filter(debugPrefix).size(), 1);
    }
    // The network stack resends a request whose connection was dropped, so
    // requests are counted as present or absent, not exactly.
    QVERIFY(!service.requests("/login").isEmpty());
    QCOMPARE(service.requests("/").size(), registrations);
    QCOMPARE(service.requests("/api/devices").isEmpty(), registrations == 0);
}

void tst_Login::registrationBytes()
{
    MainWindow window(settingsFor(service.url()));
    window.show();
    signIn(window, "demo", "demo");
    QTRY_COMPARE(formOf(window).status->text(), statusSuccess);

    const QList<RefService::Request> registrations = service.requests("/api/devices");
    QCOMPARE(registrations.size(), 1);
    const RefService::Request registration = registrations.constFirst();
    QCOMPARE(registration.method, QStringLiteral("POST"));
    QCOMPARE(registration.query, QStringLiteral("uid=42"));
    QCOMPARE(registration.header("Content-Type"), QByteArray("application/json"));
    // The host name goes out as the platform reports it, not lower-cased.
    const QByteArray expected = "{\n    \"device_name\": \"" + QHostInfo::localHostName().toUtf8()
            + "\",\n    \"ip_address\": \"" + echoedAddress().toUtf8()
            + "\",\n    \"mac_address\": \"" + Identity::macAddressText().toUtf8()
            + "\",\n    \"os\": \"" + QSysInfo::prettyProductName().toUtf8()
            + "\",\n    \"user_id\": 42\n}\n";
    QCOMPARE(registration.body, expected);

    // The lookup happened between the login's answer and the registration.
    const RefService::Request login = service.requests("/login").constFirst();
    const RefService::Request lookup = service.requests("/").constFirst();
    QCOMPARE(lookup.method, QStringLiteral("GET"));
    QVERIFY(login.sequence < lookup.sequence);
    QVERIFY(lookup.sequence < registration.sequence);
}

void tst_Login::emptyFieldsAreSentAsTheyAre()
{
    MainWindow window(settingsFor(service.url()));
    window.show();
    signIn(window, QString(), QString());
    QTRY_COMPARE(formOf(window).status->text(), QStringLiteral("Login failed."));
    QCOMPARE(service.requests("/login").constFirst().body,
             QByteArray("{\n    \"password\": \"\",\n    \"username\": \"\"\n}\n"));

    // Spaces are not trimmed, and the form keeps what was typed.
    signIn(window, " demo ", " demo");
    QVERIFY(service.waitForRequests("/login", 2));
    QCOMPARE(service.requests("/login").constLast().body,
             QByteArray("{\n    \"password\": \" demo\",\n    \"username\": \" demo \"\n}\n"));
    QCOMPARE(formOf(window).username->text(), QStringLiteral(" demo "));
    QCOMPARE(formOf(window).password->text(), QStringLiteral(" demo"));
    QVERIFY(formOf(window).login->isEnabled());
}

void tst_Login::onlyTheLoginButtonSignsIn()
{
    MainWindow window(settingsFor(service.url()));
    window.show();
    QVERIFY(QTest::qWaitForWindowActive(&window) || QTest::qWaitForWindowExposed(&window));
    const LoginForm form = formOf(window);
    form.username->setFocus();
    QTest::keyClicks(form.username, "demo");
    QTest::keyClick(form.username, Qt::Key_Return);
    QTest::keyClicks(form.password, "demo");
    QTest::keyClick(form.password, Qt::Key_Enter);
    QTest::qWait(300);
    QVERIFY(service.requests("/login").isEmpty());

    // One click, one login: the connection by name adds nothing for this button.
    QTest::mouseClick(form.login, Qt::LeftButton);
    QTRY_COMPARE(form.status->text(), statusSuccess);
    QTest::qWait(200);
    QCOMPARE(service.requests("/login").size(), 1);
}

void tst_Login::twoQuickClicks()
{
    QVERIFY(service.configure(R"({"login": {"delay": 0.3, "body": "{\"success\": true, \"user_id\": 7}"}})"));
    MainWindow window(settingsFor(service.url()));
    window.show();
    signIn(window, "demo", "demo");
    QTest::mouseClick(formOf(window).login, Qt::LeftButton);
    QVERIFY(service.waitForRequests("/api/devices", 2));
    QTRY_COMPARE(formOf(window).status->text(), statusSuccess);
    QCOMPARE(service.requests("/login").size(), 2);
    QCOMPARE(service.requests("/").size(), 2);
    for (const RefService::Request &registration : service.requests("/api/devices"))
        QCOMPARE(registration.query, QStringLiteral("uid=7"));
}

void tst_Login::publicAddressUnavailable_data()
{
    QTest::addColumn<QByteArray>("config");

    QTest::newRow("echo fails") << QByteArray(R"({"ip": {"status": 503, "body": "203.0.113.9"}})");
    QTest::newRow("echo answers an error page") << QByteArray(R"({"ip": {"status": 200, "body": "<html>rate limited</html>"}})");
    QTest::newRow("echo answers an option") << QByteArray(R"({"ip": {"status": 200, "body": "-pw hunter2"}})");
    QTest::newRow("echo answers too much") << QByteArray(R"({"ip": {"status": 200, "body": " ", "body_repeat": 100000}})");
    QTest::newRow("echo hangs") << QByteArray(R"({"ip": {"action": "hang"}})");
    QTest::newRow("echo trickles") << QByteArray(R"({"ip": {"action": "trickle", "interval": 0.4}})");
    QTest::newRow("echo streams for ever") << QByteArray(R"({"ip": {"action": "endless"}})");
}

void tst_Login::publicAddressUnavailable()
{
    QFETCH(QByteArray, config);

    QVERIFY(service.configure(config));
    AgentSettings settings = settingsFor(service.url());
    settings.transferTimeoutMs = 1500;
    settings.requestDeadlineMs = 3000;
    MainWindow window(settings);
    window.show();
    signIn(window, "demo", "demo");
    QTRY_COMPARE_WITH_TIMEOUT(formOf(window).status->text(), statusSuccess, 10000);
    const RefService::Request registration = service.requests("/api/devices").constFirst();
    QVERIFY2(registration.body.contains("\"ip_address\": \"\",\n"), registration.body.constData());
}

void tst_Login::labelKeepsItsTextUntilTheRegistrationAnswers()
{
    QVERIFY(service.configure(R"({"devices": {"delay": 1.0}})"));
    MainWindow window(settingsFor(service.url()));
    window.show();
    signIn(window, "demo", "demo");
    QVERIFY(service.waitForRequests("/api/devices", 1));
    QCOMPARE(formOf(window).status->text(), QStringLiteral("Status"));
    QTRY_COMPARE(formOf(window).status->text(), statusSuccess);

    // A later attempt keeps the earlier outcome on show while it runs.
    signIn(window, "demo", "demo");
    QVERIFY(service.waitForRequests("/api/devices", 2));
    QCOMPARE(formOf(window).status->text(), statusSuccess);
    QVERIFY(service.configure(R"({"login": {"delay": 1.0, "body": "{}"}})"));
    signIn(window, "demo", "demo");
    QVERIFY(service.waitForRequests("/login", 3));
    QCOMPARE(formOf(window).status->text(), statusSuccess);
    QTRY_COMPARE(formOf(window).status->text(), QStringLiteral("Login failed."));
}

void tst_Login::passwordStaysInTheLoginBody()
{
    const QString password = QStringLiteral("Pa55-unique-7c1f");
    const QList<QByteArray> configs{
        "{}",
        R"({"login": {"status": 401}})",
        R"({"login": {"status": 200, "body": "{\"success\": true, \"user_id\": 9}"}})",
        R"({"login": {"status": 200, "body": "{\"success\": true, \"user_id\": 9}"}, "devices": {"status": 500}})",
        R"({"login": {"action": "drop_mid_body", "body": "{\"success\": true}"}})",
    };
    MainWindow window(settingsFor(service.url()));
    window.show();
    LogCapture log;
    for (const QByteArray &config : configs) {
        QVERIFY(service.configure(config));
        formOf(window).status->setText("Status");
        signIn(window, "demo", password);
        QTRY_VERIFY_WITH_TIMEOUT(formOf(window).status->text() != QStringLiteral("Status"), 10000);
    }
    QTest::qWait(200);

    for (const LogCapture::Entry &entry : log.allEntries())
        QVERIFY2(!entry.text.contains(password), qPrintable(entry.text));

    int loginBodiesWithPassword = 0;
    for (const RefService::Request &request : service.requests()) {
        const bool isLogin = request.path == QStringLiteral("/login");
        if (isLogin && request.body.contains(password.toUtf8()))
            ++loginBodiesWithPassword;
        if (!isLogin)
            QVERIFY2(!request.body.contains(password.toUtf8()), request.body.constData());
        QVERIFY(!request.query.contains(password));
        for (const auto &header : request.headers)
            QVERIFY(!header.second.contains(password.toUtf8()));
    }
    QVERIFY(loginBodiesWithPassword >= int(configs.size()));

    // Nothing the agent writes holds it either.
    const QString dataDir = QStandardPaths::writableLocation(QStandardPaths::AppDataLocation);
    QVERIFY(QFile::exists(dataDir + "/heartbeat_log.txt"));
    QDirIterator files(dataDir, QDir::Files, QDirIterator::Subdirectories);
    while (files.hasNext()) {
        QFile file(files.next());
        QVERIFY(file.open(QIODevice::ReadOnly));
        QVERIFY2(!file.readAll().contains(password.toUtf8()), qPrintable(file.fileName()));
    }
}

QTEST_MAIN(tst_Login)

#include "tst_login.moc"
