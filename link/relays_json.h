// A board's relays as JSON, the one form telvarctl prints and the bridge
// publishes.
#pragma once

#include "link/outcome.h"

#include <QJsonArray>

namespace telvar::link {

/** The relays as JSON for scripts and brokers: 16 booleans, relay 1 first. */
QJsonArray relays_json(const relay_states& relays);

} // namespace telvar::link
