#include "memoryguard.h"
#include "residentmemory.h"

#include <QNetworkReply>
#include <QTimer>

namespace Service {

MemoryGuard::MemoryGuard(qint64 maxRiseBytes, QObject *parent)
    : QObject(parent)
    , maxRiseBytes(maxRiseBytes)
    , timer(new QTimer(this))
{
    timer->setInterval(CheckIntervalMs);
    connect(timer, &QTimer::timeout, this, &MemoryGuard::check);
}

void MemoryGuard::watch(QNetworkReply *reply)
{
    connect(reply, &QNetworkReply::requestSent, this, [this, reply] {
        const qint64 resident = residentMemoryBytes();
        if (resident < 0)
            return;  // nothing to compare with: the reply's other limits still hold
        residentWhenSent.insert(reply, resident);
        if (!timer->isActive())
            timer->start();
    });
    connect(reply, &QNetworkReply::finished, this, [this, reply] { forget(reply); });
    connect(reply, &QObject::destroyed, this, &MemoryGuard::forget);
}

void MemoryGuard::forget(QObject *reply)
{
    residentWhenSent.remove(reply);
    if (residentWhenSent.isEmpty())
        timer->stop();
}

void MemoryGuard::check()
{
    const qint64 resident = residentMemoryBytes();
    if (resident < 0)
        return;
    QList<QNetworkReply *> over;
    for (auto it = residentWhenSent.cbegin(); it != residentWhenSent.cend(); ++it) {
        if (resident - it.value() > maxRiseBytes)
            over.append(static_cast<QNetworkReply *>(it.key()));
    }
    // An aborted reply finishes at once, which takes it off the list.
    for (QNetworkReply *reply : over)
        reply->abort();
}

} // namespace Service
