#ifndef LOGCAPTURE_H
#define LOGCAPTURE_H

#include <QList>
#include <QString>
#include <QtGlobal>

// Records every message sent to Qt's message logger while it lives, and still
// passes them on to the handler it replaced.
class LogCapture
{
public:
    struct Entry
    {
        QtMsgType type;
        QString category;
        QString text;
        bool hasContext;   // file, line or function attached
    };

    LogCapture();
    ~LogCapture();
    LogCapture(const LogCapture &) = delete;
    LogCapture &operator=(const LogCapture &) = delete;

    // Messages of the default category, the one the program logs in; libraries'
    // own categories (multimedia back ends, for one) are left out.
    QList<Entry> entries() const;
    QList<Entry> allEntries() const;
    // The texts of the messages at the given level(s), in order.
    QStringList texts() const;
    QStringList texts(QtMsgType type) const;
    // Messages that start with prefix, in order.
    QStringList matching(const QString &prefix) const;
    void clear();

private:
    static void handler(QtMsgType type, const QMessageLogContext &context, const QString &text);
    QtMessageHandler previous = nullptr;
};

#endif // LOGCAPTURE_H
