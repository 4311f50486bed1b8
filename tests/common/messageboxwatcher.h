#ifndef MESSAGEBOXWATCHER_H
#define MESSAGEBOXWATCHER_H

#include <QList>
#include <QMessageBox>
#include <QObject>
#include <QPointer>
#include <QTimer>

// Message boxes run their own event loop, so a test cannot close them from
// its own code path: this watcher looks for them from a timer, records each
// one once, and clicks its OK button while closing is enabled.
class MessageBoxWatcher : public QObject
{
public:
    struct Seen
    {
        QString title;
        QString text;
        QMessageBox::Icon icon;
        QMessageBox::StandardButtons buttons;
        QWidget *parent;
        qint64 seenAtMs;   // wall clock, ms since the epoch
    };

    explicit MessageBoxWatcher(bool closeBoxes = true);

    void setClosing(bool closeBoxes) { closing = closeBoxes; }
    QList<Seen> seen() const { return boxes; }
    // Boxes shown right now.
    int openCount() const;
    void clear() { boxes.clear(); }

private:
    void poll();

    QTimer timer;
    bool closing;
    QList<Seen> boxes;
    QList<QPointer<QMessageBox>> recorded;
};

#endif // MESSAGEBOXWATCHER_H
