// Which road telvarctl takes to a line: through telvard when the service
// answers at its socket and holds the port (or the line named), else the
// port itself. --direct and --service force either. The sockets looked at,
// in order, are kept here and nowhere else.
#pragma once

#include "link/line.h"
#include "telvarctl/command_line.h"
#include "telvarctl/session.h"

#include <QStringList>

#include <memory>

namespace telvar::ctl {

/** --service SOCKET, else $XDG_RUNTIME_DIR/telvar/telvard.sock, then /run/telvar/telvard.sock. */
QStringList service_sockets(const QString& given);

struct chosen_road {
    std::unique_ptr<link::line> line;
    bool through_service = false;
    QString socket;   // the service's, when through it
    QString note;     // told on standard error before the command: why not the service
    QString refusal;  // nothing is sent: the configuration read for the port is refused
};

/** The line @p run goes to, not yet opened. */
chosen_road choose_road(const invocation& run);

/** telvarctl lines: what the service holds, as a table or one JSON object. @return the status. */
int list_lines(const invocation& run, const output& out);

} // namespace telvar::ctl
