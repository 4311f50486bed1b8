// Test fixture: runs refservice/refservice.py, the reference HTTPS service,
// for the length of a test and talks to its control API.
//
//     RefService service;
//     QVERIFY2(service.start(), qPrintable(service.errorText()));
//     service.configure(R"({"identify": true})");
//     ... point the code under test at service.url() ...
//     QCOMPARE(service.requests(QStringLiteral("/api/heartbeat")).size(), 1);
//
// The script and the state directory (whose ca.pem the program trusts) come
// from the compile definitions TESSALY_REFSERVICE_SCRIPT and
// TESSALY_REFSERVICE_STATE_DIR. Set TESSALY_REFSERVICE_VERBOSE=1 in the
// environment to see the service's log as it happens.
//
// The fixture never reads the service's standard output and never needs to
// signal it, so it works the same from a Windows test run under wine: it
// waits for the service's ready file, and stops it with /_ref/shutdown
// (terminating it only if that fails).
#ifndef TESSALY_TESTS_REFSERVICE_H
#define TESSALY_TESTS_REFSERVICE_H

#include <QByteArray>
#include <QJsonObject>
#include <QList>
#include <QPair>
#include <QSslCertificate>
#include <QSslConfiguration>
#include <QString>
#include <QUrl>

#include <memory>

class QNetworkAccessManager;
class QNetworkReply;
class QProcess;
class QTemporaryDir;

class RefService
{
public:
    struct Request
    {
        qint64 sequence = 0;
        double time = 0; // seconds since the epoch, as the service saw it
        QString client;  // peer address, e.g. "127.0.0.1" or "::1"
        quint16 clientPort = 0;
        QString method;
        QString path;
        QString query;
        QList<QPair<QByteArray, QByteArray>> headers; // in the order received
        QByteArray body;
        QString protocol; // "http/1.1" or "h2"

        // The first header of that name, compared case-insensitively;
        // empty if there is none.
        QByteArray header(const QByteArray &name) const;
        bool hasHeader(const QByteArray &name) const;
    };

    // Uses the build's state directory, whose CA the program trusts.
    RefService();
    // Uses another state directory; a fresh one gets its own CA.
    explicit RefService(const QString &stateDir);
    ~RefService();

    RefService(const RefService &) = delete;
    RefService &operator=(const RefService &) = delete;

    // Starts the service and waits until it listens. On failure returns
    // false and errorText() says why.
    bool start(int timeoutMs = 30000);
    // Stops the service and everything it started: asks it to shut down,
    // then terminates it if it has not exited shortly after. Safe to call
    // twice.
    void stop();
    bool isRunning() const;

    QUrl url() const; // https://localhost:PORT
    quint16 port() const;
    QString stateDir() const;
    QString caFile() const;
    QList<QSslCertificate> caCertificates() const;
    // The default TLS configuration with this service's CA added.
    QSslConfiguration sslConfiguration() const;

    // Control API; each waits for the answer (at most controlTimeoutMs).
    bool configure(const QByteArray &json);
    bool configure(const QJsonObject &config);
    bool reset();
    bool requestIdentify();
    QList<Request> requests(const QString &path = QString());
    // Polls until at least count requests for path are recorded.
    bool waitForRequests(const QString &path, int count, int timeoutMs = 10000);

    QString errorText() const;
    // Everything the service wrote on stderr so far.
    QByteArray serverLog() const;

    static QString defaultStateDir();
    static QString scriptPath();
    // The Python interpreter used to run the script.
    static QString pythonExecutable();

    int controlTimeoutMs = 10000;
    // How long stop() waits for the shutdown call's answer, and then for
    // the service to exit, before it terminates the service.
    int shutdownTimeoutMs = 3000;

private:
    bool control(const QByteArray &verb, const QString &path, const QByteArray &body,
                 const QString &query = QString(), QByteArray *answer = nullptr);
    bool askToShutDown();
    void fail(const QString &text);
    void takeStderr();

    QString stateDirectory;
    QString caPath;
    QList<QSslCertificate> caCerts;
    quint16 listeningPort = 0;
    QString lastError;
    QByteArray stderrLog;
    std::unique_ptr<QTemporaryDir> readyDir;
    std::unique_ptr<QProcess> process;
    std::unique_ptr<QNetworkAccessManager> network;
};

#endif
