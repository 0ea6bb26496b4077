// Where the web front listens: "127.0.0.1:8080", "[::1]:8080", "*:8080" as
// the configuration gives it, and whether that address stays on this
// machine, which decides whether a password is needed.
#pragma once

#include <QHostAddress>
#include <QString>

#include <optional>

namespace telvar::web {

struct listen_address {
    QHostAddress address;
    quint16 port = 0;  // 0: any free port (the log says which)
};

/** Reads HOST:PORT: an IPv4 address, [IPv6], localhost or * (every address). */
std::optional<listen_address> read_listen_address(const QString& text);

/**
 * True for a loopback address. The address in TELVAR_WEB_TREAT_AS_REMOTE
 * (tests use 127.0.0.2) counts as another machine's, so that the password
 * rules can be tried without a second machine.
 */
bool stays_on_this_machine(const QHostAddress& address);

} // namespace telvar::web
