// Which device a port number or path stands for, and the name the link holds
// on to so that after a loss it reopens that device and nothing else. The
// name is the adapter's stable name where it has one (its entry in
// /dev/serial/by-id/, or a link the user made and named: a udev alias, or
// what a port-folder entry points at), otherwise the device node itself. A
// port number is looked up once, at the opening: after an unplug the same
// number can stand for another adapter. Each platform has its own file.
#pragma once

#include "link/port_spec.h"
#include "serial/serial_port.h"

#include <QString>

namespace telvar::link {

struct held_device {
    QString name;    // what is reopened: a stable name, or the device node
    QString device;  // the node it stood for when it was resolved
};

struct resolution {
    bool ok = false;
    held_device held;
    open_result failure;  // why not, with the device named where one is known
};

/**
 * Resolves @p where as things stand now. @p by_id_folder is where stable
 * names of adapters are looked up (/dev/serial/by-id on Linux).
 * @return the name to hold and the node it stands for, or no_port (no device
 *         has the number) or not_found (the device is not there).
 */
resolution resolve_port(const port_spec& where, const QString& by_id_folder);

/** The node that @p name stands for now, or an empty string when it is gone. */
QString device_behind(const QString& name);

} // namespace telvar::link
