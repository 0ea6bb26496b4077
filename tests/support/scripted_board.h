// A relay board scripted in the test process, on the far end of a
// pseudo-terminal: it records every frame it hears and answers relay frames
// with a status reply while it is told to.
#pragma once

#include "protocol/frame.h"
#include "serial/pty_pair.h"

#include <QList>
#include <QObject>
#include <QSocketNotifier>

#include <memory>

namespace telvar::test {

class scripted_board : public QObject {
    Q_OBJECT
public:
    /** Creates the pseudo-terminal and links it as port @p com_number. */
    explicit scripted_board(int com_number, QObject* parent = nullptr);

    bool ok() const { return ok_; }
    QString device() const { return pty_.device(); }

    std::uint16_t relays = 0;  // bit n-1: relay n pulled in
    bool answering = true;
    QList<frame> heard;

    /** Writes raw bytes towards the program. */
    void send(const QByteArray& bytes);

signals:
    void frame_heard(const telvar::frame& f);

private:
    void on_readable();

    pty_pair pty_;
    std::unique_ptr<QSocketNotifier> notifier_;
    QByteArray pending_;
    bool ok_ = false;
};

} // namespace telvar::test
