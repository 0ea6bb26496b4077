// Home Assistant's device discovery message for one board: the device, the
// bridge as its origin, sixteen switches on the bridge's topics, each
// available only while both the bridge and the board are, a button for each
// relay with a configured pulse, and two diagnostic sensors of the link
// (quality and last seen), available while the bridge is.
#pragma once

#include "mqtt/topics.h"

#include <QByteArray>
#include <QString>

#include <map>

namespace telvar::mqtt {

/** The retained payload for D/device/ID_ADDR/config; @p pulses: relay to its configured ms. */
QByteArray discovery_payload(const topic_scheme& topics, int address, const QString& name,
                             const std::map<int, qint64>& pulses = {});

} // namespace telvar::mqtt
