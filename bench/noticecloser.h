// Clicks OK on every identify notice the agent's window shows, the way a
// person would, or with closing off only counts them. Runs from a timer, so
// that it also runs inside a notice's own event loop.
#ifndef NOTICECLOSER_H
#define NOTICECLOSER_H

#include <QList>
#include <QMessageBox>
#include <QObject>
#include <QPointer>
#include <QTimer>

class NoticeCloser : public QObject
{
public:
    explicit NoticeCloser(bool closing);

    void closeAll();

    int seen = 0;
    int mostOpenAtOnce = 0;

private:
    void poll();

    QTimer timer;
    bool closing;
    QList<QPointer<QMessageBox>> known;
};

#endif // NOTICECLOSER_H
