// The relay indicator: a coloured box whose background colour is the record
// of the relay's last reported state, with the status label inside it. Both
// report clicks with the relay's index.
#pragma once

#include <QFrame>
#include <QLabel>

namespace telvar {

// A label that reports clicks (press and release on it).
class click_label : public QLabel {
    Q_OBJECT
public:
    using QLabel::QLabel;
signals:
    void clicked();
protected:
    void mousePressEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
private:
    bool pressed_ = false;
};

class indicator_box : public QFrame {
    Q_OBJECT
public:
    explicit indicator_box(int index, QWidget* parent = nullptr);

    int index() const { return index_; }

    void set_colour(const QColor& colour);
    QColor colour() const;

signals:
    void clicked(int index);

protected:
    void mousePressEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;

private:
    int index_;
    bool pressed_ = false;
};

} // namespace telvar
