// The one place where a line's requests meet: commands wait here in order,
// one frame is in flight at a time, and each reply is matched to it by the
// board's address and the code that was sent. Fair to polls: a command frame
// goes out while no poll is due, and a due poll goes before the next command
// frame, so every polled board keeps its rhythm while commands wait or are
// retried. Commands for one relay coalesce (the newest wish takes the place
// of a waiting one), the queue is bounded, and a board known to be offline
// fails its commands at once. Every callback runs exactly once.
//
// The rule for the next frame: a due poll goes first, except that a command
// arriving on a line that stood idle since the poll fell due goes at once
// (ahead of the next poll, not of all polls); so a poll is late by at most
// one reply window. When polls alone fill the line (each holds it for most
// of an interval), a waiting command still gets every other frame.
#pragma once

#include "link/frame_receiver.h"
#include "link/health.h"
#include "link/line_holder.h"
#include "link/link_settings.h"
#include "link/outcome.h"
#include "link/poller.h"

#include <QObject>
#include <QTimer>

#include <deque>
#include <functional>
#include <optional>

namespace telvar::link {

using relay_callback = std::function<void(const relay_result&)>;
using parameter_callback = std::function<void(const parameter_result&)>;

// One request from its first frame to its callback.
struct request {
    enum class kind { status, switch_one, switch_all, toggle, read, write };
    kind what = kind::status;
    int address = 0;
    int relay = 0;         // 1..16 for switch_one and toggle
    bool pull_in = false;  // the asked state, once known
    parameter param = parameter::host_id;
    std::uint32_t value = 0;
    relay_callback relay_done;
    parameter_callback parameter_done;

    // Progress.
    int tries = 0;          // frames of the repeated kind sent after the first
    bool checking = false;  // the frame in flight asks the state after a silent switch
    bool answered = false;  // an accepted reply came in this request
    bool resending = false; // the next frame follows a timeout
    std::optional<relay_states> reported;
    std::optional<std::uint32_t> value_back;
    int frames_sent = 0;

    bool is_parameter() const { return what == kind::read || what == kind::write; }
    bool is_switch() const
    {
        return what == kind::switch_one || what == kind::switch_all || what == kind::toggle;
    }
};

class request_queue : public QObject {
    Q_OBJECT
public:
    request_queue(line_holder& line, poller& polls, const link_settings& settings,
                  QObject* parent = nullptr);
    ~request_queue() override;

    /** Queues @p r, or ends it at once (on a later turn of the event loop). */
    void add(request r);
    /** Queues a relay request: a status (relay 0), a switch or a toggle. */
    void add_relay(request::kind what, int address, int relay, bool pull_in, relay_callback done);
    /** The line opened: frames may go out. */
    void line_open();
    /**
     * The line went: every request ends; those that had a frame on the wire
     * with @p sent (line_lost after a loss), the others with port_closed.
     */
    void end_all(outcome sent);
    /** Requests waiting for board @p address end with offline. */
    void fail_waiting(int address);

    struct counters {
        quint64 frames_sent = 0;
        quint64 replies_accepted = 0;
        quint64 bytes_skipped = 0;     // began no valid reply
        quint64 replies_unmatched = 0; // valid, but not an answer to the frame in flight
    };
    counters stats() const;
    /** How board @p address answered, since the queue was made. */
    board_health health(int address) const { return health_.of(address); }
    /** Requests waiting behind the one being carried out. */
    int waiting() const { return int(waiting_.size()); }

signals:
    /** Every frame written; @p poll for the poller's own. */
    void frame_sent(const telvar::frame& bytes, bool poll);
    void reply_received(const telvar::frame& bytes, bool accepted);

private:
    // What goes out next for the current request, and how its answer looks.
    struct planned {
        frame bytes{};
        std::uint8_t code = 0;
        std::uint8_t selector = 0;  // byte 1 of the answer
        bool parameter = false;
        int board = -1;             // the board that answers, -1 for the host module
    };
    struct in_flight {
        bool active = false;
        bool poll = false;
        planned what;
    };

    void pump() { next_frame(false); }
    void next_frame(bool command_first);
    void land();
    void send(const planned& p, bool poll, bool again);
    bool saturated() const;
    void take_bytes();
    bool answers_flight(const frame& reply) const;
    void accept(const frame& reply);
    void window_closed();

    void start(request& r);
    void plan_status(request& r);
    void plan_switch(request& r);
    void plan_parameter(request& r);
    void relay_answer(request& r, const relay_states& states);
    void parameter_answer(request& r, const frame& reply);
    void silence(request& r);
    void switch_again(request& r);
    void finish(outcome result);
    void end_later(request r, outcome result);
    void deliver(request& r, outcome result);

    line_holder& line_;
    poller& polls_;
    const link_settings& settings_;
    frame_receiver receiver_;
    std::deque<request> waiting_;
    std::optional<request> current_;
    std::optional<planned> next_;  // the current request's next frame
    in_flight flight_;
    bool last_was_poll_ = false;
    qint64 sent_at_ms_ = 0;     // when the frame in flight went out
    qint64 free_since_ms_ = 0;  // when the last frame's answer came or its window closed
    double poll_ms_ = 0;        // how long polls hold the line, on average of the last few
    counters stats_;
    health_tracker health_;
    QTimer reply_timer_;
};

} // namespace telvar::link
