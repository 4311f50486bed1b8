#include "refservice.h"

#include <QDeadlineTimer>
#include <QDebug>
#include <QDir>
#include <QEventLoop>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonParseError>
#include <QNetworkAccessManager>
#include <QNetworkProxy>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QProcess>
#include <QStandardPaths>
#include <QTimer>

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
    : m_stateDir(QDir(stateDir).absolutePath())
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
    const QString found = QStandardPaths::findExecutable(QStringLiteral("python3"));
    return found.isEmpty() ? QStringLiteral("python3") : found;
#endif
}

bool RefService::start(int timeoutMs)
{
    if (isRunning())
        return true;
    stop();
    m_error.clear();
    m_stdout.clear();
    m_stderr.clear();

    const QString script = scriptPath();
    if (!QFileInfo::exists(script)) {
        fail(QStringLiteral("refservice script not found: %1").arg(script));
        return false;
    }

    m_process = std::make_unique<QProcess>();
    m_process->setProgram(pythonExecutable());
    m_process->setArguments({script, QStringLiteral("serve"),
                             QStringLiteral("--port"), QStringLiteral("0"),
                             QStringLiteral("--state-dir"), m_stateDir,
                             QStringLiteral("--stdin-watch")});
#ifdef Q_OS_UNIX
    // Own process group, so stop() reaches openssl children too.
    m_process->setChildProcessModifier([] { ::setpgid(0, 0); });
#endif
    QProcess *process = m_process.get();
    QObject::connect(process, &QProcess::readyReadStandardError, process,
                     [this] { takeStderr(); });

    QEventLoop loop;
    QTimer guard;
    guard.setSingleShot(true);
    QObject::connect(&guard, &QTimer::timeout, &loop, &QEventLoop::quit);
    QObject::connect(process, &QProcess::readyReadStandardOutput, &loop, [&] {
        m_stdout += process->readAllStandardOutput();
        if (m_stdout.contains('\n'))
            loop.quit();
    });
    QObject::connect(process, &QProcess::finished, &loop, &QEventLoop::quit);
    QObject::connect(process, &QProcess::errorOccurred, &loop,
                     [&](QProcess::ProcessError error) {
                         if (error == QProcess::FailedToStart)
                             loop.quit();
                     });

    process->start();
    guard.start(timeoutMs);
    if (process->state() != QProcess::NotRunning)
        loop.exec();
    QObject::disconnect(process, &QProcess::readyReadStandardOutput, &loop, nullptr);
    takeStderr();

    const int newline = m_stdout.indexOf('\n');
    if (newline < 0) {
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

    QJsonParseError parseError;
    const QJsonObject first =
        QJsonDocument::fromJson(m_stdout.left(newline), &parseError).object();
    const int port = first.value(QLatin1String("port")).toInt();
    m_caFile = first.value(QLatin1String("ca")).toString();
    if (port <= 0 || port > 65535 || m_caFile.isEmpty()) {
        fail(QStringLiteral("unexpected first line from refservice: %1")
                 .arg(QString::fromUtf8(m_stdout.left(newline))));
        stop();
        return false;
    }
    m_port = quint16(port);
    m_ca = QSslCertificate::fromPath(m_caFile, QSsl::Pem);
    if (m_ca.isEmpty()) {
        fail(QStringLiteral("cannot read the CA certificate %1").arg(m_caFile));
        stop();
        return false;
    }

    m_network = std::make_unique<QNetworkAccessManager>();
    // Control calls go straight to loopback whatever the environment says.
    m_network->setProxy(QNetworkProxy::NoProxy);
    return true;
}

void RefService::stop()
{
    // Replies are children of the manager; in-flight ones are aborted.
    m_network.reset();
    if (!m_process)
        return;
    QProcess *process = m_process.get();
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
    QObject::disconnect(process, nullptr, nullptr, nullptr);
    m_process.reset();
    m_port = 0;
}

bool RefService::isRunning() const
{
    return m_process && m_process->state() == QProcess::Running && m_port != 0;
}

QUrl RefService::url() const
{
    QUrl url;
    url.setScheme(QStringLiteral("https"));
    url.setHost(QStringLiteral("localhost"));
    url.setPort(m_port);
    return url;
}

quint16 RefService::port() const
{
    return m_port;
}

QString RefService::stateDir() const
{
    return m_stateDir;
}

QString RefService::caFile() const
{
    return m_caFile.isEmpty() ? m_stateDir + QStringLiteral("/ca.pem") : m_caFile;
}

QList<QSslCertificate> RefService::caCertificates() const
{
    if (!m_ca.isEmpty())
        return m_ca;
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
    if (!isRunning() || !m_network) {
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
        m_network->sendCustomRequest(request, verb, body),
        [](QNetworkReply *r) { r->deleteLater(); });

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
    return m_error;
}

QByteArray RefService::serverLog() const
{
    return m_stderr;
}

void RefService::fail(const QString &text)
{
    m_error = text;
    if (m_process && m_process->state() == QProcess::NotRunning && m_port != 0)
        m_error += QStringLiteral(" (refservice has exited, code %1)").arg(m_process->exitCode());
    if (!m_stderr.isEmpty())
        m_error += QStringLiteral("\nrefservice log:\n") + QString::fromUtf8(tail(m_stderr));
    qWarning().noquote() << "RefService:" << text;
}

void RefService::takeStderr()
{
    if (!m_process)
        return;
    const QByteArray more = m_process->readAllStandardError();
    if (more.isEmpty())
        return;
    m_stderr += more;
    if (verbose()) {
        for (const QByteArray &line : more.split('\n')) {
            if (!line.isEmpty())
                qDebug().noquote() << "refservice:" << QString::fromUtf8(line);
        }
    }
}
