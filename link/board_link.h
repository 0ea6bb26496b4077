// One serial line and every board on it, without widgets: the object that
// telvarctl and telvard talk through. It puts the link's parts together:
//   line_holder    opens the device, holds on to it, reopens it after a loss
//   request_queue  carries out requests one frame at a time, fair to polls
//   frame_receiver finds the replies in the bytes from the line
//   poller         polls the served boards and knows which ones answer
//   pulses         releases pulled-in relays when their time is up
//   interlocks     keeps at most one relay of a group pulled in
//   board_return   brings a board that answers again to its on_return state
// Every switch is confirmed by the board's own report. The signals carry the
// board's address, for fronts that fan them out to many clients.
#pragma once

#include "link/board_return.h"
#include "link/health.h"
#include "link/interlocks.h"
#include "link/line_holder.h"
#include "link/link_settings.h"
#include "link/outcome.h"
#include "link/poller.h"
#include "link/pulses.h"
#include "link/port_spec.h"
#include "link/relays_json.h"
#include "link/request_queue.h"
#include "serial/serial_port.h"

#include <QList>
#include <QObject>
#include <QString>

#include <memory>
#include <optional>

namespace telvar::link {

class board_link : public QObject {
    Q_OBJECT
public:
    using relay_callback = link::relay_callback;
    using parameter_callback = link::parameter_callback;

    /** A link on a real serial port. */
    explicit board_link(link_settings settings = {}, QObject* parent = nullptr);
    /** A link on a port of the caller's (an in-memory port in tests). */
    board_link(std::unique_ptr<serial_port> port, link_settings settings,
               QObject* parent = nullptr);
    ~board_link() override;

    /** Opens the line; a failure leaves the link closed with the reason. */
    open_result open(const port_spec& where);
    /** Closes the line; waiting requests end with port_closed; no reopening. */
    void close();
    bool is_open() const;
    QString device() const;
    const link_settings& settings() const;
    /**
     * Takes the pulses, interlocks, interlock gap and return modes of
     * @p changed for the running link (a reloaded configuration); the timing
     * and the device stay as opened. Pending pulses keep their deadlines.
     */
    void apply(const link_settings& changed);

    // Requests are queued and carried out one frame at a time; each callback
    // runs exactly once, on the link's thread, after the request ended, and
    // never inside the call that made the request.
    void status(int address, relay_callback done);
    /** Replaces a waiting wish for the same relay, which ends superseded. */
    void switch_relay(int address, int relay, bool pull_in, relay_callback done);
    /**
     * Replaces every waiting wish for the board's relays. On a board with
     * interlocks, all on pulls in only the lowest relay of each group and
     * names the others in the result's skipped.
     */
    void switch_all(int address, bool pull_in, relay_callback done);
    /** To the other of the states the board reported within the last interval (asked first). */
    void toggle(int address, int relay, relay_callback done);
    /**
     * Pulls the relay in and releases it @p ms after the pull-in was confirmed.
     * @p pulled runs when the pull-in ends; @p released once the release is
     * confirmed, or with the pull-in's failure. A release the line or the
     * board kept from going out is sent when the board answers again.
     */
    void pulse(int address, int relay, qint64 ms, relay_callback pulled, relay_callback released);
    /** A pending pulse of the relay is released now. */
    void release_pulse_now(int address, int relay);
    /** Whether a release of the relay is pending. */
    bool pulse_pending(int address, int relay) const;
    /** Every release pending, its deadline in ms since the epoch (for a state file). */
    QList<pending_release> pending_releases() const;
    /** A release owed from before, carried out at @p deadline_ms since the epoch (pulses.h). */
    void arm_release(int address, int relay, qint64 deadline_ms);
    void read_parameter(parameter what, int address, parameter_callback done);
    void write_parameter(parameter what, int address, std::uint32_t value,
                         parameter_callback done);
    void pair(int address, parameter_callback done);

    /** Polls @p addresses round-robin, one frame per interval; empty stops. */
    void set_polled(const QList<int>& addresses);
    /** What board @p address last reported, if anything since the line opened. */
    std::optional<relay_states> last_reported(int address) const;
    /** Whether a polled board counts as answering (see availability_changed). */
    bool available(int address) const;

    using counters = request_queue::counters;
    counters stats() const;
    /** How board @p address answered since the link was made; a lost line keeps the counts. */
    board_health health(int address) const;

signals:
    /** Every accepted status reply of board @p address. */
    void board_reported(int address, const telvar::link::relay_states& relays);
    /** A report of board @p address differs from its report before. */
    void relays_changed(int address, const telvar::link::relay_states& before,
                        const telvar::link::relay_states& now);
    /** A polled board went silent for unavailable_after frames, or answered again. */
    void availability_changed(int address, bool available);
    /** The device went away, told before any board is unavailable; reopening starts. */
    void line_lost(const QString& reason);
    /** A reopening failed; the next try is in @p next_try_ms. */
    void reopen_failed(const telvar::open_result& result, int next_try_ms);
    /** The device is back and open again. */
    void line_restored(const QString& device);
    /** Port @p number now stands for another device than the one held: not followed. */
    void port_renumbered(int number, const QString& device, const QString& held);
    /** A release was added, moved or ended (pending_releases()). */
    void pulses_changed();
    /** Every frame written (@p poll for the poller's own) and every valid reply read, for -v. */
    void frame_sent(const telvar::frame& bytes, bool poll);
    void reply_received(const telvar::frame& bytes, bool accepted);

private:
    void on_lost(const QString& reason);
    relay_callback momentary_after(int address, int only, relay_callback done);

    link_settings settings_;
    line_holder line_;
    poller polls_;
    request_queue queue_;
    pulses pulses_;
    interlocks locks_;
    board_return returns_;
};

} // namespace telvar::link
