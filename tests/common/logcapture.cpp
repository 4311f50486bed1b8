#include "logcapture.h"

#include <QMutex>
#include <QStringList>

namespace {
QMutex mutex;
QList<LogCapture::Entry> captured;
QtMessageHandler forwardTo = nullptr;
}

LogCapture::LogCapture()
{
    QMutexLocker lock(&mutex);
    captured.clear();
    previous = qInstallMessageHandler(&LogCapture::handler);
    forwardTo = previous;
}

LogCapture::~LogCapture()
{
    qInstallMessageHandler(previous);
    QMutexLocker lock(&mutex);
    forwardTo = nullptr;
}

void LogCapture::handler(QtMsgType type, const QMessageLogContext &context, const QString &text)
{
    {
        QMutexLocker lock(&mutex);
        captured.append({ type, QString::fromUtf8(context.category ? context.category : ""), text,
                          context.file || context.line || context.function });
    }
    if (forwardTo)
        forwardTo(type, context, text);
}

QList<LogCapture::Entry> LogCapture::allEntries() const
{
    QMutexLocker lock(&mutex);
    return captured;
}

QList<LogCapture::Entry> LogCapture::entries() const
{
    QList<Entry> result;
    for (const Entry &entry : allEntries()) {
        if (entry.category == QLatin1String("default"))
            result.append(entry);
    }
    return result;
}

QStringList LogCapture::texts() const
{
    QStringList result;
    for (const Entry &entry : entries())
        result.append(entry.text);
    return result;
}

QStringList LogCapture::texts(QtMsgType type) const
{
    QStringList result;
    for (const Entry &entry : entries()) {
        if (entry.type == type)
            result.append(entry.text);
    }
    return result;
}

QStringList LogCapture::matching(const QString &prefix) const
{
    QStringList result;
    for (const Entry &entry : entries()) {
        if (entry.text.startsWith(prefix))
            result.append(entry.text);
    }
    return result;
}

void LogCapture::clear()
{
    QMutexLocker lock(&mutex);
    captured.clear();
}
