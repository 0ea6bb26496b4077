#include "mqtt/system.h"

#include <winsock2.h>
#include <ws2tcpip.h>

namespace telvar::mqtt {

// Only for the log: the connection itself looks the name up.
QStringList broker_addresses(const QString&)
{
    return {};
}

QString socket_peer_address(int socket)
{
    sockaddr_storage peer{};
    int size = sizeof peer;
    char text[NI_MAXHOST] = {};
    if (socket < 0 ||
        ::getpeername(static_cast<SOCKET>(socket), reinterpret_cast<sockaddr*>(&peer), &size) != 0 ||
        ::getnameinfo(reinterpret_cast<sockaddr*>(&peer), size, text, sizeof text, nullptr, 0,
                      NI_NUMERICHOST) != 0)
        return QString();
    return QString::fromLatin1(text);
}

// No journal on Windows.
bool stderr_is_journal()
{
    return false;
}

// NTFS rights are not the owner/group/others of a mode; the file's folder
// decides who reads it.
bool readable_by_others(const QString&)
{
    return false;
}

} // namespace telvar::mqtt
