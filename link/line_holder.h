// The line's device: opens it where a port number or path points, holds on
// to that device (see device_identity.h), and when it goes away reopens the
// same device with growing pauses until it is back. A renumbered port is
// logged and not followed. Writes frames; says when bytes wait.
#pragma once

#include "link/backoff.h"
#include "link/device_identity.h"
#include "link/link_settings.h"
#include "link/port_spec.h"
#include "serial/serial_port.h"

#include <QObject>
#include <QTimer>

#include <memory>

namespace telvar::link {

class line_holder : public QObject {
    Q_OBJECT
public:
    line_holder(std::unique_ptr<serial_port> port, const link_settings& settings,
                QObject* parent = nullptr);
    ~line_holder() override;

    /** Resolves @p where and opens it; a failure leaves the line closed with the reason. */
    open_result open(const port_spec& where);
    /** Closes the line and stops reopening. */
    void close();
    bool is_open() const;
    /** The device node open now, or of the last opening. */
    QString device() const;
    /** What is held and reopened after a loss (empty before an opening). */
    const held_device& held() const { return held_; }

    /** Discards unread input, then writes the frame. */
    void send(const frame& bytes);
    serial_port& port() { return *port_; }

signals:
    /** Bytes wait on the port. */
    void received();
    /** The device went away; reopening has started. */
    void lost(const QString& reason);
    /** A reopening failed; the next try is in @p next_try_ms. */
    void reopen_failed(const telvar::open_result& result, int next_try_ms);
    /** The held device is back and open again. */
    void restored(const QString& device);
    /** Port @p number now stands for @p device, not the held one: not followed. */
    void renumbered(int number, const QString& device, const QString& held);

private:
    open_result open_held();
    void on_lost(const QString& reason);
    void try_reopen();
    void check_numbering();

    std::unique_ptr<serial_port> port_;
    const link_settings& settings_;
    port_spec where_;
    held_device held_;
    QString told_device_;  // the renumbering last told, so each is told once
    backoff pauses_;
    QTimer reopen_timer_;
};

} // namespace telvar::link
