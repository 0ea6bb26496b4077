#include "relay/indicator.h"

#include <QKeyEvent>
#include <QMouseEvent>

namespace telvar {

void click_label::mousePressEvent(QMouseEvent* event)
{
    pressed_ = event->button() == Qt::LeftButton;
    event->accept();
}

void click_label::mouseReleaseEvent(QMouseEvent* event)
{
    const bool inside = rect().contains(event->position().toPoint());
    if (pressed_ && event->button() == Qt::LeftButton && inside)
        emit clicked();
    pressed_ = false;
    event->accept();
}

indicator_box::indicator_box(int index, QWidget* parent) : QFrame(parent), index_(index)
{
    setFrameStyle(QFrame::Panel | QFrame::Sunken);
    setLineWidth(1);
    setAutoFillBackground(true);
    setFocusPolicy(Qt::TabFocus);
}

void indicator_box::set_colour(const QColor& colour)
{
    QPalette pal = palette();
    pal.setColor(QPalette::Window, colour);
    setPalette(pal);
}

QColor indicator_box::colour() const
{
    return palette().color(QPalette::Window);
}

void indicator_box::mousePressEvent(QMouseEvent* event)
{
    pressed_ = event->button() == Qt::LeftButton;
    event->accept();
}

void indicator_box::mouseReleaseEvent(QMouseEvent* event)
{
    const bool inside = rect().contains(event->position().toPoint());
    if (pressed_ && event->button() == Qt::LeftButton && inside)
        emit clicked(index_);
    pressed_ = false;
    event->accept();
}

void indicator_box::keyPressEvent(QKeyEvent* event)
{
    // The keyboard's way to the same toggle as a click.
    if (event->key() == Qt::Key_Space || event->key() == Qt::Key_Return
        || event->key() == Qt::Key_Enter) {
        emit clicked(index_);
        return;
    }
    QFrame::keyPressEvent(event);
}

} // namespace telvar
