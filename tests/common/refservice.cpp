#include "refservice.h"

#include <QDeadlineTimer>
#include <QDebug>
#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonParseError>
#include <QNetworkAccessManager>
#include <QNetworkProxy>
#include <QNetworkReply>
#include <QSslError>
#include <QNetworkRequest>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTimer>

#ifdef Q_OS_WIN
#include <windows.h>
#endif
#ifdef Q_OS_UNIX
#include <signal.h>
#include <sys/types.h>
#include <unistd.h>
#endif

#ifndef TESSALY_REFSERVICE_SCRIPT
#error "TESSALY_REFSERVICE_SCRIPT must name refservice.py (absolute path)"
#endif
#ifndef TESSALY_REFSERVICE_STATE_DIR
#error "TESSALY_REFSERVICE_STATE_DIR must name the build's refservice state directory"
#endif

namespace {

bool verbose()
{
    return qEnvironmentVariableIntValue("TESSALY_REFSERVICE_VERBOSE") != 0;
}

// Runs a local event loop until the reply finishes or the time is up.
bool waitForReply(QNetworkReply *reply, int timeoutMs)
{
    if (reply->isFinished())
        return true;
    QEventLoop loop;
    QTimer guard;
    guard.setSingleShot(true);
    QObject::connect(reply, &QNetworkReply::finished, &loop, &QEventLoop::quit);
    QObject::connect(&guard, &QTimer::timeout, &loop, &QEventLoop::quit);
    guard.start(timeoutMs);
    loop.exec();
    return reply->isFinished();
}

// Windows' Schannel takes no root from the application (under wine the CA
// reaches it as a key-less PKCS#12 that it refuses), so a service whose CA
// the machine does not trust fails verification there. The control channel
// then accepts exactly the certificate the service serves from its state
// directory, and nothing else; the agent under test is given no such pin.
void pinControlChannel(QNetworkReply *reply, const QString &stateDir)
{
#ifdef Q_OS_WIN
    QObject::connect(reply, &QNetworkReply::sslErrors, reply, [reply, stateDir](const QList<QSslError> &) {
        const QList<QSslCertificate> served =
                QSslCertificate::fromPath(stateDir + QStringLiteral("/server.pem"), QSsl::Pem);
        const QList<QSslCertificate> chain = reply->sslConfiguration().peerCertificateChain();
        if (!served.isEmpty() && !chain.isEmpty() && chain.constFirst() == served.constFirst())
            reply->ignoreSslErrors();
    });
#else
    Q_UNUSED(reply);
    Q_UNUSED(stateDir);
#endif
}

// A path as the service, a Linux process even for a Windows test under
// wine, must be given it: wine's own call maps a Windows path to the Unix
// one behind it. Elsewhere the path as it is.
QString servicePath(const QString &path)
{
#ifdef Q_OS_WIN
    using ToUnix = char *(__cdecl *)(const wchar_t *);
    const auto toUnix = reinterpret_cast<ToUnix>(
        reinterpret_cast<void *>(::GetProcAddress(::GetModuleHandleW(L"kernel32.dll"), "wine_get_unix_file_name")));
    if (toUnix) {
        const QString native = QDir::toNativeSeparators(QDir(path).absolutePath());
        if (char *unixPath = toUnix(reinterpret_cast<const wchar_t *>(native.utf16()))) {
            const QString mapped = QString::fromLocal8Bit(unixPath);
            ::HeapFree(::GetProcessHeap(), 0, unixPath);
            return mapped;
        }
    }
#endif
    return path;
}

QByteArray tail(const QByteArray &text, int size = 4000)
{
    return text.size() <= size ? text : "..." + text.right(size);
}

} // namespace

QByteArray RefService::Request::header(const QByteArray &name) const
{
    for (const auto &h : headers) {
        if (h.first.compare(name, Qt::CaseInsensitive) == 0)
            return h.second;
    }
    return QByteArray();
}

bool RefService::Request::hasHeader(const QByteArray &name) const
{
    for (const auto &h : headers) {
        if (h.first.compare(name, Qt::CaseInsensitive) == 0)
            return true;
    }
    return false;
}

RefService::RefService()
    : RefService(defaultStateDir())
{
}

RefService::RefService(const QString &stateDir)
    : stateDirectory(QDir(stateDir).absolutePath())
{
}

RefService::~RefService()
{
    stop();
}

QString RefService::defaultStateDir()
{
    return QStringLiteral(TESSALY_REFSERVICE_STATE_DIR);
}

QString RefService::scriptPath()
{
    return QStringLiteral(TESSALY_REFSERVICE_SCRIPT);
}

QString RefService::pythonExecutable()
{
    const QString fromEnv = qEnvironmentVariable("TESSALY_REFSERVICE_PYTHON");
    if (!fromEnv.isEmpty())
        return fromEnv;
#ifdef TESSALY_REFSERVICE_PYTHON
    return QStringLiteral(TESSALY_REFSERVICE_PYTHON);
#else
#ifdef Q_OS_UNIX
    // Debian's interpreter, whatever comes first on PATH: Debian's
    // python3-h2, which the service's HTTP/2 needs, is installed for it.
    const QString system = QStringLiteral("/usr/bin/python3");
    if (QFileInfo(system).isExecutable())
        return system;
#endif
    const QString found = QStandardPaths::findExecutable(QStringLiteral("python3"));
    return found.isEmpty() ? QStringLiteral("python3") : found;
#endif
}

bool RefService::start(int timeoutMs)
{
    if (isRunning())
        return true;
    stop();
    lastError.clear();
    stderrLog.clear();

    const QString script = scriptPath();
    if (!QFileInfo::exists(script)) {
        fail(QStringLiteral("refservice script not found: %1").arg(script));
        return false;
    }
    readyDir = std::make_unique<QTemporaryDir>();
    if (!readyDir->isValid()) {
        fail(QStringLiteral("cannot make a temporary directory: %1").arg(readyDir->errorString()));
        return false;
    }
    const QString readyFile = readyDir->filePath(QStringLiteral("ready.json"));

    process = std::make_unique<QProcess>();
    process->setProgram(pythonExecutable());
    QStringList arguments{script, QStringLiteral("serve"),
                          QStringLiteral("--port"), QStringLiteral("0"),
                          QStringLiteral("--state-dir"), servicePath(stateDirectory),
                          QStringLiteral("--ready-file"), servicePath(readyFile)};
#ifndef Q_OS_WIN
    // Stops the service should this process die without stop(). A Windows
    // process under wine has no pipe the Linux service could watch.
    arguments << QStringLiteral("--stdin-watch");
#endif
    process->setArguments(arguments);
    process->setStandardOutputFile(QProcess::nullDevice());
#ifdef Q_OS_UNIX
    // Own process group, so stop() reaches openssl children too.
    process->setChildProcessModifier([] { ::setpgid(0, 0); });
#endif
    QObject::connect(process.get(), &QProcess::readyReadStandardError, process.get(),
                     [this] { takeStderr(); });

    // The service writes the ready file in one rename once it listens.
    QByteArray line;
    QEventLoop loop;
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, &loop, [&] {
        QFile file(readyFile);
        if (file.open(QIODevice::ReadOnly)) {
            line = file.readAll();
            loop.quit();
        }
    });
    QObject::connect(process.get(), &QProcess::finished, &loop, &QEventLoop::quit);
    QObject::connect(process.get(), &QProcess::errorOccurred, &loop,
                     [&](QProcess::ProcessError error) {
                         if (error == QProcess::FailedToStart)
                             loop.quit();
                     });
    QTimer guard;
    guard.setSingleShot(true);
    QObject::connect(&guard, &QTimer::timeout, &loop, &QEventLoop::quit);

    process->start();
    guard.start(timeoutMs);
    poll.start(20);
    if (process->state() != QProcess::NotRunning)
        loop.exec();
    poll.stop();
    takeStderr();

    if (line.isEmpty()) {
        if (process->error() == QProcess::FailedToStart)
            fail(QStringLiteral("cannot run %1: %2").arg(process->program(), process->errorString()));
        else if (process->state() == QProcess::NotRunning)
            fail(QStringLiteral("refservice exited with code %1 before listening")
                     .arg(process->exitCode()));
        else
            fail(QStringLiteral("refservice did not start listening within %1 ms").arg(timeoutMs));
        stop();
        return false;
    }

    const QJsonObject first = QJsonDocument::fromJson(line).object();
    const int port = first.value(QLatin1String("port")).toInt();
    const QString reportedCa = first.value(QLatin1String("ca")).toString();
    if (!line.endsWith('\n') || port <= 0 || port > 65535 || reportedCa.isEmpty()) {
        fail(QStringLiteral("unexpected ready file from refservice: %1").arg(QString::fromUtf8(line)));
        stop();
        return false;
    }
    listeningPort = quint16(port);
    // The service names its CA in its own terms; under wine that is a Unix
    // path, so fall back on the state directory this side knows.
    caPath = QFileInfo::exists(reportedCa) ? reportedCa : stateDirectory + QStringLiteral("/ca.pem");
    caCerts = QSslCertificate::fromPath(caPath, QSsl::Pem);
    if (caCerts.isEmpty()) {
        fail(QStringLiteral("cannot read the CA certificate %1").arg(caPath));
        stop();
        return false;
    }

    network = std::make_unique<QNetworkAccessManager>();
    // Control calls go straight to loopback whatever the environment says.
    network->setProxy(QNetworkProxy::NoProxy);
    return true;
}

bool RefService::askToShutDown()
{
    if (!network || listeningPort == 0)
        return false;
    QUrl target = url();
    target.setPath(QStringLiteral("/_ref/shutdown"));
    QNetworkRequest request(target);
    request.setSslConfiguration(sslConfiguration());
    request.setTransferTimeout(shutdownTimeoutMs);
    request.setHeader(QNetworkRequest::ContentTypeHeader, QByteArrayLiteral("application/json"));
    const std::unique_ptr<QNetworkReply, void (*)(QNetworkReply *)> reply(
        network->post(request, QByteArrayLiteral("{}")), [](QNetworkReply *r) { r->deleteLater(); });
    pinControlChannel(reply.get(), stateDirectory);
    return waitForReply(reply.get(), shutdownTimeoutMs) && reply->error() == QNetworkReply::NoError;
}

void RefService::stop()
{
    if (process && process->state() != QProcess::NotRunning) {
        if (askToShutDown())
            process->waitForFinished(shutdownTimeoutMs);
    }
    // Replies are children of the manager; in-flight ones are aborted.
    network.reset();
    if (!process) {
        readyDir.reset();
        return;
    }
    if (process->state() != QProcess::NotRunning) {
        process->closeWriteChannel();
#ifdef Q_OS_UNIX
        const pid_t pid = pid_t(process->processId());
        if (pid <= 0 || ::kill(-pid, SIGTERM) != 0)
            process->terminate();
#else
        process->terminate();
#endif
        if (!process->waitForFinished(5000)) {
#ifdef Q_OS_UNIX
            if (pid > 0)
                ::kill(-pid, SIGKILL);
#endif
            process->kill();
            process->waitForFinished(3000);
        }
    }
    takeStderr();
    QObject::disconnect(process.get(), nullptr, nullptr, nullptr);
    process.reset();
    readyDir.reset();
    listeningPort = 0;
}

bool RefService::isRunning() const
{
    return process && process->state() == QProcess::Running && listeningPort != 0;
}

QUrl RefService::url() const
{
    QUrl url;
    url.setScheme(QStringLiteral("https"));
    url.setHost(QStringLiteral("localhost"));
    url.setPort(listeningPort);
    return url;
}

quint16 RefService::port() const
{
    return listeningPort;
}

QString RefService::stateDir() const
{
    return stateDirectory;
}

QString RefService::caFile() const
{
    return caPath.isEmpty() ? stateDirectory + QStringLiteral("/ca.pem") : caPath;
}

QList<QSslCertificate> RefService::caCertificates() const
{
    if (!caCerts.isEmpty())
        return caCerts;
    return QSslCertificate::fromPath(caFile(), QSsl::Pem);
}

QSslConfiguration RefService::sslConfiguration() const
{
    QSslConfiguration config = QSslConfiguration::defaultConfiguration();
    config.addCaCertificates(caCertificates());
    return config;
}

bool RefService::control(const QByteArray &verb, const QString &path, const QByteArray &body,
                         const QString &query, QByteArray *answer)
{
    const QString label = QString::fromLatin1(verb) + QLatin1Char(' ') + path;
    if (!isRunning() || !network) {
        fail(label + QStringLiteral(": refservice is not running"));
        return false;
    }
    QUrl target = url();
    target.setPath(path);
    if (!query.isEmpty())
        target.setQuery(query);

    QNetworkRequest request(target);
    request.setSslConfiguration(sslConfiguration());
    request.setTransferTimeout(controlTimeoutMs);
    if (verb == "POST")
        request.setHeader(QNetworkRequest::ContentTypeHeader, QByteArrayLiteral("application/json"));
    // Deleted only after the wait: a deleteLater() issued before it would
    // be carried out inside the wait's own event loop.
    const std::unique_ptr<QNetworkReply, void (*)(QNetworkReply *)> reply(
        network->sendCustomRequest(request, verb, body),
        [](QNetworkReply *r) { r->deleteLater(); });
    pinControlChannel(reply.get(), stateDirectory);

    if (!waitForReply(reply.get(), controlTimeoutMs + 1000)) {
        reply->abort();
        fail(QStringLiteral("%1: no answer within %2 ms").arg(label).arg(controlTimeoutMs));
        return false;
    }
    const QByteArray data = reply->readAll();
    if (reply->error() != QNetworkReply::NoError) {
        fail(QStringLiteral("%1 failed: %2 %3")
                 .arg(label, reply->errorString(), QString::fromUtf8(data.trimmed())));
        return false;
    }
    if (answer)
        *answer = data;
    return true;
}

bool RefService::configure(const QByteArray &json)
{
    return control("POST", QStringLiteral("/_ref/config"), json);
}

bool RefService::configure(const QJsonObject &config)
{
    return configure(QJsonDocument(config).toJson(QJsonDocument::Compact));
}

bool RefService::reset()
{
    return control("POST", QStringLiteral("/_ref/reset"), QByteArrayLiteral("{}"));
}

bool RefService::requestIdentify()
{
    return control("POST", QStringLiteral("/_ref/identify"), QByteArrayLiteral("{}"));
}

QList<RefService::Request> RefService::requests(const QString &path)
{
    QString query;
    if (!path.isEmpty())
        query = QStringLiteral("path=") + QString::fromLatin1(QUrl::toPercentEncoding(path));
    QByteArray data;
    QList<Request> result;
    if (!control("GET", QStringLiteral("/_ref/requests"), QByteArray(), query, &data))
        return result;

    QJsonParseError parseError;
    const QJsonDocument doc = QJsonDocument::fromJson(data, &parseError);
    if (!doc.isArray()) {
        fail(QStringLiteral("GET /_ref/requests: not a JSON array: %1").arg(parseError.errorString()));
        return result;
    }
    const QJsonArray records = doc.array();
    for (const QJsonValue &value : records) {
        const QJsonObject o = value.toObject();
        Request r;
        r.sequence = o.value(QLatin1String("seq")).toInteger();
        r.time = o.value(QLatin1String("time")).toDouble();
        r.client = o.value(QLatin1String("client")).toString();
        r.clientPort = quint16(o.value(QLatin1String("client_port")).toInt());
        r.method = o.value(QLatin1String("method")).toString();
        r.path = o.value(QLatin1String("path")).toString();
        r.query = o.value(QLatin1String("query")).toString();
        const QJsonArray headers = o.value(QLatin1String("headers")).toArray();
        for (const QJsonValue &h : headers) {
            const QJsonArray pair = h.toArray();
            r.headers.append({pair.at(0).toString().toUtf8(), pair.at(1).toString().toUtf8()});
        }
        r.body = QByteArray::fromBase64(o.value(QLatin1String("body")).toString().toLatin1());
        r.protocol = o.value(QLatin1String("protocol")).toString();
        result.append(r);
    }
    return result;
}

bool RefService::waitForRequests(const QString &path, int count, int timeoutMs)
{
    QDeadlineTimer deadline(timeoutMs);
    for (;;) {
        if (requests(path).size() >= count)
            return true;
        if (!isRunning() || deadline.hasExpired())
            break;
        QEventLoop loop;
        QTimer::singleShot(50, &loop, &QEventLoop::quit);
        loop.exec();
    }
    if (isRunning())
        fail(QStringLiteral("fewer than %1 requests for %2 within %3 ms")
                 .arg(count).arg(path).arg(timeoutMs));
    return false;
}

QString RefService::errorText() const
{
    return lastError;
}

QByteArray RefService::serverLog() const
{
    return stderrLog;
}

void RefService::fail(const QString &text)
{
    lastError = text;
    if (process && process->state() == QProcess::NotRunning && listeningPort != 0)
        lastError += QStringLiteral(" (refservice has exited, code %1)").arg(process->exitCode());
    if (!stderrLog.isEmpty())
        lastError += QStringLiteral("\nrefservice log:\n") + QString::fromUtf8(tail(stderrLog));
    qWarning().noquote() << "RefService:" << text;
}

void RefService::takeStderr()
{
    if (!process)
        return;
    const QByteArray more = process->readAllStandardError();
    if (more.isEmpty())
        return;
    stderrLog += more;
    if (verbose()) {
        for (const QByteArray &line : more.split('\n')) {
            if (!line.isEmpty())
                qDebug().noquote() << "refservice:" << QString::fromUtf8(line);
        }
    }
}
