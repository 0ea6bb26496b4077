// telvarctl's command line, read into plain values before anything is opened
// or sent: a bad argument is refused with a message that names it and the
// range it accepts.
#pragma once

#include "link/board_link.h"

#include <QList>
#include <QString>
#include <QStringList>

#include <cstdint>
#include <optional>

namespace telvar::ctl {

enum class command {
    status, on, off, toggle, all_on, all_off, pulse, watch, scan, get, set, pair, ports, lines, stats
};

// Which road to the line: through telvard when it holds the port, or forced either way.
enum class road { automatic, direct, service };

struct invocation {
    command what = command::status;
    link::port_spec port{1, {}};
    QString line;            // -p NAME: a line the service holds, by its name
    road way = road::automatic;
    QString socket;          // --service SOCKET
    int address = 1;
    QList<int> addresses;  // watch: the boards polled, round robin
    QList<int> relays;     // on, off: in the order given; toggle: one
    int scan_from = 0;
    int scan_to = 255;
    link::parameter param = link::parameter::host_id;
    std::uint32_t value = 0;  // set
    int timeout_ms = 200;
    int retries = 2;
    bool retries_given = false;
    int interval_ms = 200;
    qint64 pulse_ms = 0;   // pulse
    bool wait = false;     // pulse through the service: until the release
    int count = 20;        // stats, directly: the polls counted over
    // --interlock: groups of board ADDR, for the port opened here.
    std::vector<std::vector<int>> interlocks;
    QString config;        // --config FILE; empty: the default file when present
    bool yes = false;
    bool json = false;
    bool verbose = false;
};

struct parse_result {
    std::optional<invocation> run;
    bool help = false;
    bool version = false;
    bool json = false;  // --json was given, so a refusal is answered in JSON too
    QString error;      // names the argument and what it accepts; empty when all is well
};

/** Reads the command line, @p arguments[0] being the program. */
parse_result parse_command_line(const QStringList& arguments);

/** The text of --help: every command and option, with examples and the exit statuses. */
QString help_text();

/** "host-id", "host-channel", "slave-id", "slave-channel", "pairing". */
QString parameter_name(link::parameter what);

/** "status", "on", "all on" … as the user typed the command. */
QString command_name(command what);

// The configuration file read for the rules of a port opened here.
constexpr const char* default_config_file = "/etc/telvar/telvard.conf";

/**
 * The link's settings for @p run: one try per address for scan unless
 * --retries is given; --interlock's groups for the board.
 */
link::link_settings settings_for(const invocation& run);

/**
 * Reads @p text as a whole number from @p low to @p high: ASCII digits only,
 * no sign, no spaces. @return the number, or nothing with @p error naming
 * @p what, the text and the accepted range.
 */
std::optional<qint64> read_whole(const QString& text, qint64 low, qint64 high,
                                 const QString& what, QString& error);

} // namespace telvar::ctl
