// What the bridge asks of the operating system, chosen by CMake per platform
// (system_unix.cpp, system_win.cpp): the addresses a broker's name stands
// for, the address a connected socket reached, whether standard error is
// the systemd journal, and whether a secret's file is open to other users.
#pragma once

#include <QString>
#include <QStringList>

namespace telvar::mqtt {

/** Every address @p host resolves to for TCP, in the order a connection tries them. */
QStringList broker_addresses(const QString& host);

/** The numeric address a connected socket's peer has, or empty. */
QString socket_peer_address(int socket);

/** True when standard error is the stream JOURNAL_STREAM names (device and inode). */
bool stderr_is_journal();

/** True when users other than the owner (group or others) may read @p path. */
bool readable_by_others(const QString& path);

} // namespace telvar::mqtt
