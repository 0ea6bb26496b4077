#include "telvard/socket_place.h"

#include <QStandardPaths>

namespace telvar::service {

QString default_socket(QString& /*why*/)
{
    // QLocalServer makes \\.\pipe\telvard of it.
    return QStringLiteral("telvard");
}

QString pulse_file_place(const QString& socket)
{
    // A pipe has no folder: the service's own data folder, named after the pipe.
    const QString name = socket.section(QLatin1Char('\\'), -1);
    return QStandardPaths::writableLocation(QStandardPaths::AppLocalDataLocation) + QLatin1Char('/')
           + (name.isEmpty() ? QStringLiteral("telvard") : name) + QStringLiteral(".pulses.json");
}

} // namespace telvar::service
