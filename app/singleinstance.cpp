#include "singleinstance.h"

#include <QDebug>
#include <QLocalServer>
#include <QLocalSocket>

namespace {

QString lockPath(const QString &directory)
{
    return directory + QStringLiteral("/tessaly.lock");
}

// A socket file on Linux; on Windows the name of a pipe, which carries the
// folder's path and so the user's profile.
QString serverName(const QString &directory)
{
    return directory + QStringLiteral("/tessaly.socket");
}

} // namespace

SingleInstance::SingleInstance(QObject *parent)
    : QObject(parent)
    , directory(sessionDirectory())
    , lock(lockPath(directory))
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
        qWarning() << "Cannot take" << lockPath(directory) << "(error" << lock.error()
                   << "): this agent cannot tell whether another runs";
        return true;
    }
    askRunningAgentToShow();
    return false;
}

void SingleInstance::listen()
{
    server = new QLocalServer(this);
    server->setSocketOptions(QLocalServer::UserAccessOption);
    connect(server, &QLocalServer::newConnection, this, &SingleInstance::acceptRequests);
    // With access restricted, Qt binds in a folder of its own and renames the
    // socket into place, over any a killed agent left.
    if (!server->listen(serverName(directory)))
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

void SingleInstance::askRunningAgentToShow()
{
    QLocalSocket socket;
    socket.connectToServer(serverName(directory));
    if (socket.waitForConnected(5000))
        socket.disconnectFromServer();
    else
        qWarning() << "Another agent runs in this session but did not answer:" << socket.errorString();
}
