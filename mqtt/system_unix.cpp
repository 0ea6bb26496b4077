#include "mqtt/system.h"

#include <cstdio>
#include <netdb.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

namespace telvar::mqtt {

namespace {

QString numeric(const sockaddr* address, socklen_t size)
{
    char text[NI_MAXHOST] = {};
    if (::getnameinfo(address, size, text, sizeof text, nullptr, 0, NI_NUMERICHOST) != 0)
        return QString();
    return QString::fromLatin1(text);
}

} // namespace

QStringList broker_addresses(const QString& host)
{
    // The same question the MQTT library asks before it connects.
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    QStringList out;
    if (::getaddrinfo(host.toUtf8().constData(), nullptr, &hints, &found) != 0)
        return out;
    for (const addrinfo* a = found; a; a = a->ai_next) {
        const QString text = numeric(a->ai_addr, a->ai_addrlen);
        if (!out.contains(text))
            out << text;
    }
    ::freeaddrinfo(found);
    return out;
}

QString socket_peer_address(int socket)
{
    sockaddr_storage peer{};
    socklen_t size = sizeof peer;
    if (socket < 0 || ::getpeername(socket, reinterpret_cast<sockaddr*>(&peer), &size) != 0)
        return QString();
    return numeric(reinterpret_cast<sockaddr*>(&peer), size);
}

bool stderr_is_journal()
{
    // systemd sets JOURNAL_STREAM to DEVICE:INODE of the stream it connected;
    // a child that inherited the variable but writes elsewhere must not use
    // the journal's priority prefixes.
    const QByteArray stream = qgetenv("JOURNAL_STREAM");
    if (stream.isEmpty())
        return false;
    unsigned long long device = 0, inode = 0;
    char rest = 0;
    if (std::sscanf(stream.constData(), "%llu:%llu%c", &device, &inode, &rest) != 2)
        return false;
    struct stat st {};
    if (::fstat(STDERR_FILENO, &st) != 0)
        return false;
    return static_cast<unsigned long long>(st.st_dev) == device &&
           static_cast<unsigned long long>(st.st_ino) == inode;
}

bool readable_by_others(const QString& path)
{
    struct stat st {};
    if (::stat(path.toLocal8Bit().constData(), &st) != 0)
        return false;
    return (st.st_mode & (S_IRGRP | S_IROTH)) != 0;
}

} // namespace telvar::mqtt
