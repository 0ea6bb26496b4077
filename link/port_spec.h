// Where a line is (a port number as the windows count them, or a device
// path), and what an operator is told when it cannot be opened there.
#pragma once

#include "serial/serial_port.h"

#include <QString>

#include <optional>

namespace telvar::link {

// The highest port number that can be asked for.
constexpr int largest_port = 255;

struct port_spec {
    int number = 0;
    QString path;
    /** "3" or "COM3" is port 3, anything with a slash (or \\.\ on Windows) a path. */
    static std::optional<port_spec> parse(const QString& text);
    /** "port 3 (/dev/ttyS2)", "port 3" without a device, or the path. */
    QString describe(const QString& device) const;
};

/**
 * English operator message for a failed opening: port, device, why, what to
 * do. One or more sentences, ending with one full stop.
 */
QString open_failure_text(const port_spec& where, const open_result& result);

} // namespace telvar::link
