// Where the local socket goes when the configuration does not say: beside
// the system service's other runtime files, or in the user's own runtime
// folder (socket_place_unix.cpp); a named pipe on Windows. The service's other
// runtime files (the pulses it owes) go beside the socket.
#pragma once

#include <QString>

namespace telvar::service {

/** The socket's path, or empty with @p why saying what to do. */
QString default_socket(QString& why);

/**
 * Where the service keeps the releases it owes: beside @p socket (or the
 * default socket), named after it, so that two services never share one.
 */
QString pulse_file_place(const QString& socket);

} // namespace telvar::service
