// Home Assistant's device discovery message for one board: the device, the
// bridge as its origin, and sixteen switches on the bridge's topics, each
// available only while both the bridge and the board are.
#pragma once

#include "mqtt/topics.h"

#include <QByteArray>
#include <QString>

namespace telvar::mqtt {

/** The retained payload for D/device/ID_ADDR/config. */
QByteArray discovery_payload(const topic_scheme& topics, int address, const QString& name);

} // namespace telvar::mqtt
