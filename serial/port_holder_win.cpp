#include "serial/port_holder.h"

namespace telvar {

// Windows keeps no lock files for its ports, and tells nobody which process
// holds one: a busy port names no holder there.
QStringList lock_folders()
{
    return {};
}

std::optional<port_holder> find_port_holder(const QString&, const QStringList&)
{
    return std::nullopt;
}

std::optional<port_holder> find_port_holder(const QString& device)
{
    return find_port_holder(device, lock_folders());
}

bool is_service(const port_holder& holder)
{
    return holder.name.compare(QLatin1String("telvard"), Qt::CaseInsensitive) == 0
           || holder.name.compare(QLatin1String("telvard.exe"), Qt::CaseInsensitive) == 0;
}

} // namespace telvar
