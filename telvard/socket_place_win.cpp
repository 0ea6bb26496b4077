#include "telvard/socket_place.h"

#include <QStandardPaths>

namespace telvar::service {

QString default_socket(QString& /*why*/)
{
    // QLocalServer makes \\.\pipe\telvard of it.
    return QStringLiteral("telvard");
}

QString runtime_folder(const QString& /*socket*/)
{
    // A pipe has no folder: the service's own data folder.
    return QStandardPaths::writableLocation(QStandardPaths::AppLocalDataLocation);
}

} // namespace telvar::service
