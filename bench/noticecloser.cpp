#include "noticecloser.h"

#include <QAbstractButton>
#include <QApplication>

NoticeCloser::NoticeCloser(bool closing)
    : closing(closing)
{
    connect(&timer, &QTimer::timeout, this, &NoticeCloser::poll);
    timer.start(5);
}

void NoticeCloser::closeAll()
{
    closing = true;
    poll();
}

void NoticeCloser::poll()
{
    int open = 0;
    for (QWidget *widget : QApplication::topLevelWidgets()) {
        auto *box = qobject_cast<QMessageBox *>(widget);
        if (!box || !box->isVisible())
            continue;
        ++open;
        if (!known.contains(box)) {
            known.append(box);
            ++seen;
        }
        if (closing) {
            if (QAbstractButton *ok = box->button(QMessageBox::Ok))
                ok->click();
        }
    }
    known.removeAll(QPointer<QMessageBox>());
    mostOpenAtOnce = qMax(mostOpenAtOnce, open);
}
