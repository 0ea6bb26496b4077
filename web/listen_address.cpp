#include "web/listen_address.h"

#include <QRegularExpression>

namespace telvar::web {

std::optional<listen_address> read_listen_address(const QString& text)
{
    const int colon = int(text.lastIndexOf(QLatin1Char(':')));
    if (colon <= 0)
        return std::nullopt;
    QString host = text.left(colon);
    const QString port_text = text.mid(colon + 1);
    static const QRegularExpression digits(QStringLiteral("^[0-9]{1,5}$"));
    if (!digits.match(port_text).hasMatch() || port_text.toInt() > 65535)
        return std::nullopt;
    listen_address out;
    out.port = quint16(port_text.toInt());
    if (host.startsWith(QLatin1Char('[')) && host.endsWith(QLatin1Char(']'))) {
        host = host.mid(1, host.size() - 2);
        if (!out.address.setAddress(host) || out.address.protocol() != QAbstractSocket::IPv6Protocol)
            return std::nullopt;
        return out;
    }
    if (host == QLatin1String("*")) {
        out.address = QHostAddress::Any;
        return out;
    }
    if (host == QLatin1String("localhost")) {
        out.address = QHostAddress::LocalHost;
        return out;
    }
    if (!out.address.setAddress(host) || out.address.protocol() != QAbstractSocket::IPv4Protocol)
        return std::nullopt;
    return out;
}

bool stays_on_this_machine(const QHostAddress& address)
{
    const QString remote = qEnvironmentVariable("TELVAR_WEB_TREAT_AS_REMOTE");
    if (!remote.isEmpty() && QHostAddress(remote) == address)
        return false;
    return address.isLoopback();
}

} // namespace telvar::web
