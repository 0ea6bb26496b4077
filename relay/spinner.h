// A vertical scroll bar used as an up/down spinner: the larger number stands
// at the top, so the upper arrow raises the value. Qt's vertical bar has its
// minimum at the top, so the bar runs on the mirrored value.
#pragma once

#include <QScrollBar>

namespace telvar {

class spinner : public QScrollBar {
    Q_OBJECT
public:
    /** A spinner from @p bottom to @p top, standing at @p value. */
    spinner(int top, int bottom, int value, QWidget* parent = nullptr);

    int number() const { return top_ - value() + bottom_; }
    void set_number(int number);
    int top_end() const { return top_; }
    int bottom_end() const { return bottom_; }

signals:
    /** The spinner's number changed (an arrow, the track, or a released drag). */
    void number_changed(int number);

private:
    int top_;
    int bottom_;
};

} // namespace telvar
