#include "residentmemory.h"

#include <QFile>

#include <unistd.h>

namespace Service {

// The second field of /proc/self/statm counts resident pages; reading it
// costs one small read, cheap enough for a few times a second.
qint64 residentMemoryBytes()
{
    QFile statm(QStringLiteral("/proc/self/statm"));
    if (!statm.open(QIODevice::ReadOnly | QIODevice::Unbuffered))
        return -1;
    const QList<QByteArray> fields = statm.read(128).split(' ');
    bool ok = false;
    const qint64 pages = fields.size() > 1 ? fields.at(1).toLongLong(&ok) : 0;
    return ok ? pages * sysconf(_SC_PAGESIZE) : -1;
}

} // namespace Service
