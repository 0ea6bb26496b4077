// How healthy the radio link to one board is: what was sent to it and what
// came back, counted since the line was first opened. The request queue
// tells health_tracker of every frame and how it ended; a lost and reopened
// line keeps the counts.
#pragma once

#include <QtGlobal>

#include <deque>
#include <map>

namespace telvar::link {

// Frames the quality and the round trip are taken over.
constexpr int health_window = 100;

struct board_health {
    quint64 frames_sent = 0;       // to this board, polls included
    quint64 replies_accepted = 0;  // valid replies that answered a frame to it
    quint64 checksum_errors = 0;   // frames from the line, while one to it was in flight, that failed the sum
    quint64 stray_bytes = 0;       // bytes skipped while one to it was in flight
    quint64 timeouts = 0;          // frames to it that no accepted reply answered within the window
    quint64 retries = 0;           // frames to it sent again after a timeout
    qint64 last_reply_ms = -1;     // ms since the epoch of the last accepted reply; -1: never
    int round_trip_p50_ms = -1;    // median over the last health_window replies; -1: none yet
    int quality_percent = -1;      // replies accepted per frame over the last health_window frames; -1: none sent
    int window_frames = 0;         // the frames quality_percent is over (up to health_window)
};

class health_tracker {
public:
    /** A frame to board @p board went out; @p again: resent after a timeout. */
    void sent(int board, bool again);
    /** Its accepted reply came @p round_trip_ms after it, at @p at_ms since the epoch. */
    void answered(int board, int round_trip_ms, qint64 at_ms);
    /** No accepted reply came within the window. */
    void timed_out(int board);
    /** The line went with the frame in flight: unanswered, but no timeout of the board. */
    void cut_off(int board);
    /** Bytes that failed the sum or began no reply while a frame to @p board was in flight. */
    void garbled(int board, quint64 checksum_errors, quint64 stray_bytes);
    board_health of(int board) const;

private:
    struct counts {
        board_health totals;
        std::deque<int> round_trips;  // the last health_window, oldest first
        std::deque<bool> landed;      // accepted or not, for the last health_window frames
    };
    void land(counts& c, bool accepted);

    std::map<int, counts> boards_;
};

} // namespace telvar::link
