#include "singleinstance.h"

#include <QDeadlineTimer>
#include <QDebug>
#include <QLocalServer>
#include <QLocalSocket>
#include <QThread>

namespace {

QString baseName(const QString &directory, const QString &sessionKey)
{
    QString name = directory + QStringLiteral("/tessaly");
    if (!sessionKey.isEmpty())
        name += u'-' + sessionKey;
    return name;
}

QString lockPath(const QString &name)
{
    return name + QStringLiteral(".lock");
}

// A socket file on Linux; on Windows the name of a pipe, which carries the
// folder's path and so the user's profile.
QString serverName(const QString &name)
{
    return name + QStringLiteral(".socket");
}

} // namespace

SingleInstance::SingleInstance(QObject *parent)
    : QObject(parent)
    , directory(userDirectory())
    , name(baseName(directory, sessionKey()))
    , lock(lockPath(name))
{
    // The lock is held for the agent's whole life: it is stale only once the
    // process that wrote it is gone, never because it is old.
    lock.setStaleLockTime(0);
}

bool SingleInstance::claim()
{
    if (directory.isEmpty()) {
        qWarning() << "No folder for this session's lock: this agent cannot tell whether another runs";
        return true;
    }
    if (lock.tryLock()) {
        listen();
        return true;
    }
    if (lock.error() != QLockFile::LockFailedError) {
        // Better two agents than none.
        qWarning() << "Cannot take" << lockPath(name) << "(error" << lock.error()
                   << "): this agent cannot tell whether another runs";
        return true;
    }
    if (askRunningAgentToShow())
        return false;
    // The lock names a live process of this program's name, yet no agent
    // answers: its writer is gone and its number now belongs to another
    // process (wine hands out the same numbers again after a restart). Qt
    // removes a lock only when no live process holds it open, so a running
    // agent's lock stays.
    if (lock.removeStaleLockFile() && lock.tryLock()) {
        qWarning() << "Took over a lock no running agent held";
        listen();
        return true;
    }
    return false;
}

void SingleInstance::listen()
{
    server = new QLocalServer(this);
    server->setSocketOptions(QLocalServer::UserAccessOption);
    connect(server, &QLocalServer::newConnection, this, &SingleInstance::acceptRequests);
    // With access restricted, Qt binds in a folder of its own and renames the
    // socket into place, over any a killed agent left.
    if (!server->listen(serverName(name)))
        qWarning() << "A second start cannot reach this agent:" << server->errorString();
}

void SingleInstance::acceptRequests()
{
    while (QLocalSocket *socket = server->nextPendingConnection()) {
        socket->disconnectFromServer();
        socket->deleteLater();
        emit showRequested();
    }
}

bool SingleInstance::askRunningAgentToShow()
{
    // An agent started a moment ago holds the lock a little before it listens.
    QDeadlineTimer deadline(1000);
    QLocalSocket socket;
    for (;;) {
        socket.connectToServer(serverName(name));
        if (socket.waitForConnected(5000)) {
            socket.disconnectFromServer();
            return true;
        }
        if (deadline.hasExpired())
            break;
        QThread::msleep(100);
    }
    qWarning() << "Another agent holds this session's lock but does not answer:" << socket.errorString();
    return false;
}
