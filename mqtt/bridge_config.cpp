#include "mqtt/bridge_config.h"

#include <QRegularExpression>

namespace telvar::mqtt {

bool is_plain_name(const QString& text)
{
    static const QRegularExpression plain(QStringLiteral("^[A-Za-z0-9_-]{1,64}$"));
    return plain.match(text).hasMatch();
}

session_settings broker_session(const bridge_config& config, const QString& token)
{
    session_settings s;
    s.host = config.broker_host;
    s.port = config.broker_port;
    // One id per process: a second copy must never take over the first one's session.
    s.client_id = QStringLiteral("telvard-%1-%2").arg(config.bridge_id, token);
    s.username = config.username;
    s.password = config.password;
    s.has_password = config.has_password;
    s.cafile = config.cafile;
    s.certfile = config.certfile;
    s.keyfile = config.keyfile;
    return s;
}

QString board_name(const bridge_line& line, int address)
{
    return line.names.value(address, QStringLiteral("Relay board %1").arg(address));
}

} // namespace telvar::mqtt
