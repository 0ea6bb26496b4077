// The English messages of the local socket's failed requests: what the
// board or the line did, and what to do. Clients that word results
// themselves (telvarctl) read the result's fields instead.
#pragma once

#include "link/board_link.h"
#include "local/request.h"

#include <QList>
#include <QString>

namespace telvar::local {

// Where a request went, for its message.
struct line_context {
    QString name;         // the line's name
    QString where;        // "port 1 (/dev/ttyUSB0)" or the device path
    int reply_window_ms = 200;
    int tries = 3;        // switch frames a relay gets before it counts as not confirmed
    QString lost_reason;  // why the line was last lost, while it is not back
};

/** Why a switch or status request failed; @p relay is the relay it was on (0: all, or status). */
QString relay_failure_text(const line_context& line, const request& r, int relay,
                           const link::relay_result& result);

/** Why a get, set or pair failed. */
QString parameter_failure_text(const line_context& line, const request& r,
                               const link::parameter_result& result);

/** Why a scan ended without finding a board, or was cut short by the line. */
QString scan_failure_text(const line_context& line, const request& r, link::outcome result,
                          int address);

/** "3, 4 and 9" */
QString number_list(const QList<int>& numbers);

} // namespace telvar::local
