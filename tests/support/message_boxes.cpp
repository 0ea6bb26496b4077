#include "support/message_boxes.h"

#include <QAbstractButton>
#include <QApplication>
#include <QPointer>
#include <QTimer>

namespace telvar::test {

QMessageBox* visible_message_box()
{
    for (QWidget* w : QApplication::topLevelWidgets()) {
        auto* box = qobject_cast<QMessageBox*>(w);
        if (box && box->isVisible())
            return box;
    }
    return nullptr;
}

void answer_next_box(QMessageBox::StandardButton button, QString* seen_text)
{
    auto* poll = new QTimer(qApp);
    poll->setInterval(10);
    QObject::connect(poll, &QTimer::timeout, poll, [poll, button, seen_text] {
        QMessageBox* box = visible_message_box();
        if (!box)
            return;
        if (seen_text)
            *seen_text = box->text();
        if (QAbstractButton* b = box->button(button))
            b->click();
        else
            box->reject();
        poll->deleteLater();
    });
    poll->start();
}

int close_message_boxes()
{
    int count = 0;
    while (QMessageBox* box = visible_message_box()) {
        box->close();
        ++count;
    }
    return count;
}

} // namespace telvar::test
