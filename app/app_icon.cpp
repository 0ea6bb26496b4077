#include "app/app_icon.h"

#include <QPainter>
#include <QPixmap>

namespace telvar {

QIcon app_icon()
{
    QPixmap pixmap(32, 32);
    pixmap.fill(Qt::transparent);
    QPainter painter(&pixmap);
    painter.setPen(QColor(20, 60, 20));
    painter.setBrush(QColor(40, 110, 60));
    painter.drawRect(1, 3, 29, 25);
    for (int row = 0; row < 4; ++row) {
        for (int col = 0; col < 4; ++col) {
            const bool on = (row + col) % 2 == 0;
            painter.setBrush(on ? QColor(0, 255, 0) : QColor(255, 0, 0));
            painter.drawRect(4 + col * 7, 6 + row * 5, 4, 3);
        }
    }
    painter.setBrush(QColor(230, 230, 230));
    painter.drawRect(12, 26, 8, 4);
    return QIcon(pixmap);
}

} // namespace telvar
