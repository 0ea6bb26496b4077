// One serial line and every board on it, without widgets: the object that
// telvarctl and telvar-mqtt talk through. It owns the port, keeps one frame
// in flight, matches replies to it within the reply window, confirms every
// switch by the board's own report, polls boards round-robin with the
// window's watchdog rule, and reopens a lost device by itself.
#pragma once

#include "protocol/canshu_protocol.h"
#include "protocol/relay_protocol.h"
#include "protocol/frame.h"
#include "serial/serial_port.h"

#include <QJsonArray>
#include <QList>
#include <QObject>
#include <QString>
#include <QTimer>

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>

namespace telvar::link {

using relay_states = std::array<bool, relay_count>;  // index n - 1 for relay n

// How a request ended.
enum class outcome {
    done,           // the board or module answered as asked
    not_confirmed,  // it answered, but never with the asked state or value
    no_reply,       // no matching valid reply after the retries
    port_closed,    // not sent: the line is not open (never opened, closed or lost)
    line_lost,      // sent, but the line was lost before a reply came
    offline,        // not sent: the board is unavailable, so it failed at once
    queue_full,     // not sent: the line's queue was full
    superseded,     // not sent: a newer wish for the same relay took its place
};

struct relay_result {
    outcome result = outcome::no_reply;
    int address = 0;
    std::optional<relay_states> reported;  // the board's last report in this request
    int frames_sent = 0;
};

enum class parameter { host_id, host_channel, slave_id, slave_channel, pairing };

struct parameter_result {
    outcome result = outcome::no_reply;
    parameter what = parameter::host_id;
    int address = 0;                      // the board, for slave parameters and pairing
    std::optional<std::uint32_t> value;   // as the module sent it back
    int frames_sent = 0;
};

struct link_settings {
    int reply_window_ms = 200;   // one tick of the window's rhythm
    int retries = 2;             // frames resent after the first
    int poll_interval_ms = 200;  // one poll frame per interval
    int unavailable_after = 5;   // polls in a row without an accepted reply
    int reopen_first_ms = 1000;  // pause before the first reopening, doubled up to
    int reopen_max_ms = 30000;
};

/** The relays as JSON for scripts and brokers: 16 booleans, relay 1 first. */
QJsonArray relays_json(const relay_states& relays);

/** "done", "not_confirmed", "no_reply", "port_closed": for logs and JSON. */
QString outcome_name(outcome result);

// The highest port number that can be asked for.
constexpr int largest_port = 255;

// Where the line is: a port number as the windows count them, or a device path.
struct port_spec {
    int number = 0;
    QString path;
    /** "3" or "COM3" is port 3, anything with a slash (or \\.\ on Windows) a path. */
    static std::optional<port_spec> parse(const QString& text);
    /** "port 3 (/dev/ttyS2)", "port 3" without a device, or the path. */
    QString describe(const QString& device) const;
};

/** English operator message for a failed opening: port, device, why, what to do. */
QString open_failure_text(const port_spec& where, const open_result& result);

class board_link : public QObject {
    Q_OBJECT
public:
    using relay_callback = std::function<void(const relay_result&)>;
    using parameter_callback = std::function<void(const parameter_result&)>;

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

    // Requests are queued and carried out one frame at a time; each callback
    // runs exactly once, on the link's thread, after the request ended.
    void status(int address, relay_callback done);
    void switch_relay(int address, int relay, bool pull_in, relay_callback done);
    void switch_all(int address, bool pull_in, relay_callback done);
    /** To the other of the states the board last reported (asked first if unknown). */
    void toggle(int address, int relay, relay_callback done);
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

    struct counters {
        quint64 frames_sent = 0;
        quint64 replies_accepted = 0;
        quint64 groups_dropped = 0;  // failed the start mark or checksum test
        quint64 groups_unmatched = 0;  // valid, but not an answer to the frame in flight
    };
    counters stats() const;

signals:
    /** Every accepted status reply of board @p address. */
    void board_reported(int address, const telvar::link::relay_states& relays);
    /** A polled board went silent for unavailable_after polls, or answered again. */
    void availability_changed(int address, bool available);
    /** The device went away: every board is unavailable; reopening starts. */
    void line_lost(const QString& reason);
    /** A reopening failed; the next try is in @p next_try_ms. */
    void reopen_failed(const telvar::open_result& result, int next_try_ms);
    /** The device is back and open again. */
    void line_restored(const QString& device);
    /** Every frame written and every group of 8 bytes read, for -v. */
    void frame_sent(const telvar::frame& bytes);
    void group_received(const telvar::frame& bytes, bool accepted);

private:
    struct request;
    struct polled_board;
    struct state;

    open_result open_port();
    void enqueue(request r);
    void pump();
    void start_request();
    void send_switch();
    void send_parameter();
    void send_relay(int address, std::uint8_t code, std::uint8_t param1, std::uint8_t param2);
    void after_send(const frame& bytes);
    void send_poll();
    void take_groups();
    bool answers_flight(const reply_group& group) const;
    void accept(const reply_group& group);
    void board_answered(int address);
    static bool shows_asked(const request& r, const relay_states& states);
    void switch_again();
    void reply_window_closed();
    void finish(outcome result);
    void deliver(request& r, outcome result);
    void end_all(const QString& why);
    void on_lost(const QString& reason);
    void try_reopen();

    std::unique_ptr<serial_port> port_;
    link_settings settings_;
    std::unique_ptr<state> s_;
    QTimer reply_timer_;
    QTimer poll_timer_;
    QTimer reopen_timer_;
};

} // namespace telvar::link
