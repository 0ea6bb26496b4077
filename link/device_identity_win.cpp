#include "link/device_identity.h"

#include "serial/port_mapping.h"

namespace telvar::link {

// Windows gives an adapter its COM name for good: the name is the device.
resolution resolve_port(const port_spec& where, const QString&)
{
    resolution r;
    const QString name = where.number > 0 ? port_device(where.number) : where.path;
    if (name.isEmpty()) {
        r.failure = {false, open_failure::no_port, {}, {}};
        return r;
    }
    r.ok = true;
    r.held = {name, name};
    return r;
}

QString device_behind(const QString& name)
{
    return name;
}

} // namespace telvar::link
