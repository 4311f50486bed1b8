#include "messageboxwatcher.h"

#include <QAbstractButton>
#include <QApplication>
#include <QDateTime>

MessageBoxWatcher::MessageBoxWatcher(bool closeBoxes)
    : closing(closeBoxes)
{
    connect(&timer, &QTimer::timeout, this, &MessageBoxWatcher::poll);
    timer.start(20);
}

static QList<QMessageBox *> visibleBoxes()
{
    QList<QMessageBox *> result;
    for (QWidget *widget : QApplication::topLevelWidgets()) {
        if (auto *box = qobject_cast<QMessageBox *>(widget); box && box->isVisible())
            result.append(box);
    }
    return result;
}

int MessageBoxWatcher::openCount() const
{
    return int(visibleBoxes().size());
}

void MessageBoxWatcher::poll()
{
    for (QMessageBox *box : visibleBoxes()) {
        if (!recorded.contains(box)) {
            recorded.append(box);
            boxes.append({ box->windowTitle(), box->text(), box->icon(), box->standardButtons(),
                           box->parentWidget(), QDateTime::currentMSecsSinceEpoch() });
        }
        if (closing) {
            if (QAbstractButton *ok = box->button(QMessageBox::Ok))
                ok->click();
            else
                box->reject();
        }
    }
}
