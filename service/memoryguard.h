#ifndef MEMORYGUARD_H
#define MEMORYGUARD_H

#include <QHash>
#include <QObject>

class QNetworkReply;
class QTimer;

namespace Service {

// Stock Qt keeps a response head, and a chunk-size line, in memory until it
// ends, and hands nothing to the agent meanwhile: a peer that never ends one
// costs tens of MiB a second with no byte to count. What it costs is what
// the process holds, so that is what this guard bounds: while a watched
// reply's request is out, it reads the process's resident memory a few
// times a second and ends the reply once that has risen more than the limit
// above what it was when the request went out. A service that only thinks
// for long costs nothing and is never cut short. The limit stands well above
// what the agent's own work adds meanwhile (its first alert loads the media
// back end: +46.1 MiB on Linux, BENCHMARKS.md at e2e6738), and a body the
// agent reads is held to its byte cap anyway.
//
// One timer serves every watched reply, and runs only while one is out.
class MemoryGuard : public QObject
{
    Q_OBJECT

public:
    static constexpr int CheckIntervalMs = 200;

    explicit MemoryGuard(qint64 maxRiseBytes, QObject *parent = nullptr);

    // Watches reply from each time its request goes out (again after a
    // redirect) until it finishes.
    void watch(QNetworkReply *reply);

private:
    void check();
    void forget(QObject *reply);

    const qint64 maxRiseBytes;
    QTimer *timer;
    // Resident bytes when each reply's request last went out.
    QHash<QObject *, qint64> residentWhenSent;
};

} // namespace Service

#endif // MEMORYGUARD_H
