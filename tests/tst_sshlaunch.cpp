// The SSH button: the address lookup comes first, then the client is started
// detached with its arguments, or a warning says it is missing. And what
// waits on the lookup, the client or a sign-in's registration, never
// follows it once the user has quit.

#include "app/mainwindow.h"
#include "common/messageboxwatcher.h"
#include "common/refservice.h"
#include "common/testagent.h"
#include "common/useractions.h"

#include <QDir>
#include <QFileInfo>
#include <QPushButton>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QSystemTrayIcon>
#include <QTest>

class tst_SshLaunch : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void startsTheClientWithTheAddress();
    void unknownAddressLeavesTheChoiceToTheClient();
    void missingClientWarnsAfterTheLookup();
    void everyClickStartsAnotherClient();
    void quitDuringTheLookupEndsEverything_data();
    void quitDuringTheLookupEndsEverything();

private:
    struct Launch
    {
        QString workingDirectory;
        QStringList arguments;
    };
    QList<Launch> launches() const;
    MainWindow *makeWindow(const QString &client);
    void click(MainWindow &window);

    RefService service;
    QTemporaryDir dir;
    QString fakeClient;
};

void tst_SshLaunch::initTestCase()
{
    QVERIFY2(startTestService(service), qPrintable(service.errorText()));
    QVERIFY(dir.isValid());

    // A stand-in client (tests/common/fakesshclient.cpp) that records where
    // it ran and each argument it got, in this test's directory.
    fakeClient = QStringLiteral(TESSALY_FAKE_SSH_CLIENT);
    QVERIFY2(QFileInfo(fakeClient).isExecutable(), qPrintable(fakeClient));
    qputenv("TESSALY_FAKE_SSH_RECORDS", QDir::toNativeSeparators(dir.path()).toLocal8Bit());
}

void tst_SshLaunch::init()
{
    QVERIFY(service.reset());
    for (const QString &name : QDir(dir.path()).entryList({ "launch.*" }, QDir::Files))
        QFile::remove(dir.filePath(name));
}

QList<tst_SshLaunch::Launch> tst_SshLaunch::launches() const
{
    QList<Launch> result;
    for (const QString &name : QDir(dir.path()).entryList({ "launch.*" }, QDir::Files)) {
        if (name.endsWith(".tmp"))
            continue;
        QFile file(dir.filePath(name));
        if (!file.open(QIODevice::ReadOnly))
            continue;
        const QStringList lines = QString::fromUtf8(file.readAll()).split('\n', Qt::SkipEmptyParts);
        Launch launch;
        launch.workingDirectory = lines.value(0);
        for (int i = 2; i < lines.size(); ++i)
            launch.arguments.append(lines.at(i).mid(1, lines.at(i).size() - 2));
        if (lines.value(1).toInt() == launch.arguments.size())
            result.append(launch);
    }
    return result;
}

MainWindow *tst_SshLaunch::makeWindow(const QString &client)
{
    AgentSettings settings = settingsFor(service.url());
    settings.sshClientPath = client;
    auto *window = new MainWindow(settings);
    window->show();
    return window;
}

void tst_SshLaunch::click(MainWindow &window)
{
    QTest::mouseClick(window.findChild<QPushButton *>("sshButton"), Qt::LeftButton);
}

void tst_SshLaunch::startsTheClientWithTheAddress()
{
    std::unique_ptr<MainWindow> window(makeWindow(fakeClient));
    MessageBoxWatcher watcher;
    click(*window);
    QTRY_COMPARE(launches().size(), 1);

    const QList<RefService::Request> lookups = service.requests("/");
    QCOMPARE(lookups.size(), 1);
    const Launch launch = launches().constFirst();
    // The option and the address arrive as two arguments.
    QCOMPARE(launch.arguments, (QStringList{ "-ssh", lookups.constFirst().client }));
    QCOMPARE(QDir(launch.workingDirectory).canonicalPath(), QDir::current().canonicalPath());
    QVERIFY(watcher.seen().isEmpty());
}

void tst_SshLaunch::unknownAddressLeavesTheChoiceToTheClient()
{
    QVERIFY(service.configure(R"({"ip": {"status": 200, "body": "<html>no</html>"}})"));
    std::unique_ptr<MainWindow> window(makeWindow(fakeClient));
    click(*window);
    QTRY_COMPARE(launches().size(), 1);
    QCOMPARE(launches().constFirst().arguments, QStringList{ "-ssh" });
}

void tst_SshLaunch::missingClientWarnsAfterTheLookup()
{
    std::unique_ptr<MainWindow> window(makeWindow(dir.filePath("no-such-client")));
    MessageBoxWatcher watcher;
    click(*window);
    QTRY_COMPARE(watcher.seen().size(), 1);
    QTRY_COMPARE(watcher.openCount(), 0);

    const MessageBoxWatcher::Seen box = watcher.seen().constFirst();
    QCOMPARE(box.title, QStringLiteral("PuTTY Not Found"));
    QCOMPARE(box.text, QStringLiteral("PuTTY not found at default path."));
    QCOMPARE(box.icon, QMessageBox::Warning);
    QCOMPARE(box.buttons, QMessageBox::StandardButtons(QMessageBox::Ok));
    QCOMPARE(box.parent, window.get());

    const QList<RefService::Request> lookups = service.requests("/");
    QCOMPARE(lookups.size(), 1);
    QVERIFY(qint64(lookups.constFirst().time * 1000) <= box.seenAtMs);
    QTest::qWait(200);
    QVERIFY(launches().isEmpty());
}

void tst_SshLaunch::everyClickStartsAnotherClient()
{
    std::unique_ptr<MainWindow> window(makeWindow(fakeClient));
    click(*window);
    click(*window);
    QTRY_COMPARE(launches().size(), 2);
    QCOMPARE(service.requests("/").size(), 2);
}

void tst_SshLaunch::quitDuringTheLookupEndsEverything_data()
{
    QTest::addColumn<bool>("ssh");
    QTest::addColumn<bool>("fromTray");
    for (const bool ssh : { false, true }) {
        for (const bool fromTray : { true, false }) {
            QTest::addRow("%s, %s", ssh ? "SSH" : "sign-in",
                          fromTray ? "Quit in the tray menu" : "window closed without a tray")
                    << ssh << fromTray;
        }
    }
}

void tst_SshLaunch::quitDuringTheLookupEndsEverything()
{
    QFETCH(bool, ssh);
    QFETCH(bool, fromTray);
    if (!fromTray && QSystemTrayIcon::isSystemTrayAvailable())
        QSKIP("there is a tray here (Windows always has one): closing the window only hides it");

    QVERIFY(service.configure(R"({"ip": {"action": "hang"}})"));
    std::unique_ptr<MainWindow> window(makeWindow(fakeClient));
    MessageBoxWatcher watcher;
    runUntilQuit(*window, [&] {
        if (ssh)
            click(*window);
        else
            signIn(*window, "demo", "demo");
    }, fromTray, 1000);
    QTest::qWait(500);

    QCOMPARE(service.requests("/").size(), 1);
    QVERIFY(service.requests("/api/devices").isEmpty());
    QVERIFY(launches().isEmpty());
    QVERIFY(watcher.seen().isEmpty());
    QCOMPARE(formOf(*window).status->text(), QStringLiteral("Status"));
}

QTEST_MAIN(tst_SshLaunch)

#include "tst_sshlaunch.moc"
