// The timing and limits of one line, shared by the parts of the link.
#pragma once

#include <QString>

#include <map>
#include <vector>

namespace telvar::link {

// What a board that comes back after being unavailable is brought to.
enum class return_mode {
    keep,     // what it reports
    restore,  // the last state it confirmed (never breaking an interlock)
    off,      // every relay released
};

struct link_settings {
    int reply_window_ms = 200;   // one tick of the window's rhythm
    int retries = 2;             // frames resent after the first
    int poll_interval_ms = 200;  // one poll frame per interval
    int unavailable_after = 5;   // frames in a row to a polled board without an accepted reply
    int reopen_first_ms = 1000;  // pause before the first reopening, doubled up to
    int reopen_max_ms = 30000;
    int queue_limit = 64;        // requests that may wait behind the one being carried out
    // Where the system keeps adapters' stable names (udev on Linux).
    QString by_id_folder = QStringLiteral("/dev/serial/by-id");
    // Momentary relays: board address -> relay -> ms; every confirmed pull-in is released after it.
    std::map<int, std::map<int, qint64>> pulse_ms;
    // Interlocked relays: board address -> groups (relays 1-16) of which at
    // most one is pulled in; pulling one in first releases the others of its
    // group and waits interlock_gap_ms after their release was confirmed.
    std::map<int, std::vector<std::vector<int>>> interlocks;
    int interlock_gap_ms = 200;
    // Board address -> what it is brought to when it answers again; absent: keep.
    std::map<int, return_mode> on_return;
};

} // namespace telvar::link
