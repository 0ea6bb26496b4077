// What a request to the link asks and how it ended: the relay states a board
// reports, the outcomes, and the results every callback receives.
#pragma once

#include "protocol/relay_protocol.h"

#include <QList>
#include <QString>

#include <array>
#include <cstdint>
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
    QList<int> skipped;  // relays an all-on left released for their interlock group
};

enum class parameter { host_id, host_channel, slave_id, slave_channel, pairing };

struct parameter_result {
    outcome result = outcome::no_reply;
    parameter what = parameter::host_id;
    int address = 0;                      // the board, for slave parameters and pairing
    std::optional<std::uint32_t> value;   // as the module sent it back
    int frames_sent = 0;
};

/** "done", "not_confirmed", "no_reply", "port_closed", "line_lost" …: for logs and JSON. */
QString outcome_name(outcome result);

} // namespace telvar::link
