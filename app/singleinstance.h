#ifndef SINGLEINSTANCE_H
#define SINGLEINSTANCE_H

#include <QLockFile>
#include <QObject>

class QLocalServer;

// One agent per graphical session. The first start holds a lock file in a
// folder of the user's own, named after the session, and listens on a local
// socket (a named pipe on Windows) named the same way; a later start finds the lock held, connects, and the
// running agent is asked to show its window. A killed agent leaves a lock
// that Qt sees is stale (its process is gone), or one that no agent answers
// for, and a socket file the next agent removes before it listens.
class SingleInstance : public QObject
{
    Q_OBJECT

public:
    explicit SingleInstance(QObject *parent = nullptr);

    // True when this process is the session's agent and should run; false
    // when another agent runs in this session and has been asked to show
    // itself, so this process should end.
    bool claim();

signals:
    // A later start asked this agent to show its window.
    void showRequested();

private:
    // A folder only this user can write to, local to this machine
    // (singleinstance_<platform>.cpp).
    static QString userDirectory();
    // What tells this session from the user's other sessions on this machine,
    // made of characters a file name takes; empty when nothing does.
    static QString sessionKey();
    void listen();
    bool askRunningAgentToShow();
    void acceptRequests();

    const QString directory;
    const QString name;  // directory and file name without the suffix
    QLockFile lock;
    QLocalServer *server = nullptr;
};

#endif // SINGLEINSTANCE_H
