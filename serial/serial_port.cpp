#include "serial/serial_port.h"

namespace telvar {

open_result serial_port::open_device(const QString& path)
{
    close();
    return {false, open_failure::other, path, QStringLiteral("this port opens by number only")};
}

} // namespace telvar
