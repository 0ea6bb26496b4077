// How healthy the radio link to one board is: what was sent to it and what
// came back, counted since the line was first opened.
#pragma once

#include <QtGlobal>

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

} // namespace telvar::link
