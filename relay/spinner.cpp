#include "relay/spinner.h"

namespace telvar {

spinner::spinner(int top, int bottom, int value, QWidget* parent)
    : QScrollBar(Qt::Vertical, parent), top_(top), bottom_(bottom)
{
    setRange(bottom, top);
    setSingleStep(1);
    setPageStep(1);  // a click in the track moves by one, too
    // The number follows a dragged thumb when it is released.
    setTracking(false);
    setFocusPolicy(Qt::TabFocus);
    set_number(value);
    connect(this, &QScrollBar::valueChanged, this, [this] { emit number_changed(number()); });
}

void spinner::set_number(int number)
{
    setValue(top_ - number + bottom_);
}

} // namespace telvar
