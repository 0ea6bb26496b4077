// Who holds a serial port another program has open: read from the port's
// lock file (the UUCP-style LCK..NAME that Qt Serial Port and most serial
// programs write, with the holder's process id first), then, where the
// system shows it, from the processes' open files. A lock file whose process
// has ended is stale and names nobody. Each platform has its own file.
#pragma once

#include "serial/serial_port.h"

#include <QString>
#include <QStringList>

#include <optional>

namespace telvar {

/** The folders lock files are looked for in, in order. */
QStringList lock_folders();

/**
 * The program holding @p device, if one can be named: its lock file in one
 * of @p folders names a process that runs, or (without one) a process has
 * the device open. @return nothing when nobody can be named.
 */
std::optional<port_holder> find_port_holder(const QString& device, const QStringList& folders);
std::optional<port_holder> find_port_holder(const QString& device);

/** Whether @p holder is the Telvar service, which clients reach through its socket instead. */
bool is_service(const port_holder& holder);

} // namespace telvar
