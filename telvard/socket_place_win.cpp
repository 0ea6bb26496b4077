#include "telvard/socket_place.h"

namespace telvar::service {

QString default_socket(QString& /*why*/)
{
    // QLocalServer makes \\.\pipe\telvard of it.
    return QStringLiteral("telvard");
}

} // namespace telvar::service
