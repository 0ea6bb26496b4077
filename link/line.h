// What a program asks of one line, whoever holds it: the link itself
// (direct_line, on the port) or the service that holds the port (a client of
// its local socket). telvarctl's session talks to this and never knows which
// road it took, so its output, JSON and exit statuses are the same either way.
#pragma once

#include "link/health.h"
#include "link/link_settings.h"
#include "link/outcome.h"
#include "link/port_spec.h"
#include "serial/serial_port.h"

#include <QList>
#include <QObject>
#include <QString>

#include <functional>

namespace telvar::link {

using relay_callback = std::function<void(const relay_result&)>;
using parameter_callback = std::function<void(const parameter_result&)>;
using health_callback = std::function<void(outcome result, const board_health& health)>;

// How an opening failed when the road was not the port itself: the code and
// the whole message come with it, since open_failure_text() cannot word them.
struct line_opening {
    open_result result;
    QString code;     // empty: worded from result as a port's failure
    QString message;  // the operator's message, whole sentences
    int status = 4;   // the exit status it ends telvarctl with
};

class line : public QObject {
    Q_OBJECT
public:
    using QObject::QObject;
    ~line() override = default;

    /** Opens the line at @p where; a failure leaves it closed with the reason. */
    virtual line_opening open(const port_spec& where) = 0;
    virtual QString device() const = 0;
    /** Where the line is, as the program tells it: the port asked for, or the service's. */
    virtual port_spec port() const = 0;
    /** The timing the requests run with (the service's own through it). */
    virtual link_settings settings() const = 0;

    // Each callback runs exactly once, after the request ended, never inside the call.
    virtual void status(int address, relay_callback done) = 0;
    virtual void switch_relay(int address, int relay, bool pull_in, relay_callback done) = 0;
    virtual void switch_all(int address, bool pull_in, relay_callback done) = 0;
    virtual void toggle(int address, int relay, relay_callback done) = 0;
    virtual void read_parameter(parameter what, int address, parameter_callback done) = 0;
    virtual void write_parameter(parameter what, int address, std::uint32_t value,
                                 parameter_callback done) = 0;
    virtual void pair(int address, parameter_callback done) = 0;
    /**
     * Pulls the relay in, and releases it @p ms after the pull-in was
     * confirmed. @p pulled runs when the pull-in ends. @p released runs once
     * the release is confirmed (or with the pull-in's failure) where the
     * pulse's timer lives here (holds_port()), or when @p wait is asked;
     * otherwise the service releases it on its own and @p released never runs.
     */
    virtual void pulse(int address, int relay, qint64 ms, bool wait, relay_callback pulled,
                       relay_callback released) = 0;
    /**
     * Whether this program holds the port itself: a pulse's timer lives here
     * (so it must stay until the release) and the health counts from its opening.
     */
    virtual bool holds_port() const = 0;
    /** A pending pulse of the relay started here is released now. */
    virtual void release_pulse_now(int address, int relay) = 0;
    /** The board's link health: since this program opened the port, or since the service started. */
    virtual void health(int address, health_callback done) = 0;

    /**
     * Follows @p addresses: their reports, availability and the line's losses
     * arrive as the signals below; empty stops. @return an empty string, or
     * why they cannot be followed on this road.
     */
    virtual QString follow(const QList<int>& addresses) = 0;

signals:
    void board_reported(int address, const telvar::link::relay_states& relays);
    void availability_changed(int address, bool available);
    void line_lost(const QString& reason);
    void reopen_failed(const telvar::open_result& result, int next_try_ms);
    void line_restored(const QString& device);
    void port_renumbered(int number, const QString& device, const QString& held);
    /** The road to the line itself ended (the service went away or stopped answering). */
    void road_closed(const QString& code, const QString& message);
};

} // namespace telvar::link
