// Which system device a port number stands for, and how a failed opening is
// put to the operator. Each platform has its own implementation file.
#pragma once

#include "serial/serial_port.h"

#include <QMap>
#include <QString>

namespace telvar {

/** @return the device port @p number stands for, or an empty string for none. */
QString port_device(int number);

/** Every port number this system knows now, with the device it stands for. */
QMap<int, QString> known_ports();

/**
 * Where the port of a failed opening stands: busy or no permission. Called
 * when the system refused the device with a permission error, which on some
 * systems also covers a port held by another program.
 */
open_failure classify_refusal(const QString& device);

/** What port @p number stands for, for a tooltip: "COM5: /dev/ttyUSB0". */
QString port_tooltip(int number);

/** What the operator can do about a refused permission on this system. */
QString permission_hint();

/** The operator's message for a failed opening of port @p number. */
QString open_failure_message(int number, const open_result& result);

/** The operator's message when the open port's device went away. */
QString lost_message(int number, const QString& device, const QString& reason);

} // namespace telvar
