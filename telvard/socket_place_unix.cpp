#include "telvard/socket_place.h"

#include <QByteArray>
#include <QFileInfo>

#include <unistd.h>

namespace telvar::service {

QString default_socket(QString& why)
{
    // systemd's RuntimeDirectory=telvar names /run/telvar here.
    const QString runtime_directory = qEnvironmentVariable("RUNTIME_DIRECTORY");
    if (!runtime_directory.isEmpty())
        return runtime_directory.section(QLatin1Char(':'), 0, 0) + QStringLiteral("/telvard.sock");
    if (::geteuid() == 0)
        return QStringLiteral("/run/telvar/telvard.sock");
    const QString user_runtime = qEnvironmentVariable("XDG_RUNTIME_DIR");
    if (!user_runtime.isEmpty())
        return user_runtime + QStringLiteral("/telvar/telvard.sock");
    why = QStringLiteral("there is no XDG_RUNTIME_DIR for the local socket (not logged in "
                         "through a session?): give one with --socket PATH or socket in [local]");
    return QString();
}

QString pulse_file_place(const QString& socket)
{
    QString why;
    const QString place = socket.startsWith(QLatin1Char('/')) ? socket : default_socket(why);
    if (place.isEmpty())
        return QString();
    const QFileInfo info(place);
    return info.absolutePath() + QLatin1Char('/') + info.completeBaseName()
           + QStringLiteral(".pulses.json");
}

} // namespace telvar::service
