#include "telvarctl/command_line.h"

#include "protocol/canshu_protocol.h"
#include "protocol/decimal.h"

namespace telvar::ctl {

namespace {

const char* const help =
    "Usage: telvarctl [-p PORT] [-a ADDR] [--timeout MS] [--retries N] [--json] [-v]\n"
    "                 COMMAND [ARGS]\n"
    "\n"
    "Reads and switches the relays of Telvar's 16-channel wireless relay boards, and\n"
    "reads and writes the settings of their radio modules, over the serial port of\n"
    "the radio module attached to this computer. Every switch is confirmed by the\n"
    "board's own report; a state that was only commanded is never shown as the\n"
    "board's.\n"
    "\n"
    "Commands:\n"
    "  status                  the 16 relays of board ADDR\n"
    "  on N [N...]             pull in relays N (1-16), one after the other, each\n"
    "                          confirmed by the board\n"
    "  off N [N...]            release relays N (1-16), each confirmed\n"
    "  toggle N                switch relay N to the other of the states the board\n"
    "                          reports (asked first)\n"
    "  all on | all off        all sixteen relays at once, confirmed (with\n"
    "                          interlocks, all on pulls in the lowest of each group)\n"
    "  pulse N DURATION        pull in relay N, confirmed, and release it after\n"
    "                          DURATION (500ms, 2s, 1.5m, 1h; 100ms to 24h),\n"
    "                          confirmed; Ctrl+C or SIGTERM releases it at once.\n"
    "                          Through telvard the service keeps the time and this\n"
    "                          returns once pulled in; --wait stays until released\n"
    "  stats [--count N]       the link's health for board ADDR: frames, replies,\n"
    "                          checksum errors, stray bytes, timeouts, retries,\n"
    "                          last reply, round trip and quality; directly over N\n"
    "                          polls (default 20), through telvard since its start\n"
    "  watch [-a A,B,...] [--interval MS]\n"
    "                          poll the boards in turn, one frame every MS (default\n"
    "                          200), and print every change of a relay and every loss\n"
    "                          or return of a board until Ctrl+C or SIGTERM (status\n"
    "                          0); a pulled adapter is reopened when it comes back:\n"
    "                          the same device, never another one that the port\n"
    "                          number stands for meanwhile\n"
    "  scan [FROM-TO]          the addresses that answer a status query (default\n"
    "                          0-255), one try each unless --retries is given;\n"
    "                          status 3 when none answers\n"
    "  get PARAMETER           read host-id, host-channel, slave-id or slave-channel\n"
    "                          (slave-* of board ADDR)\n"
    "  set PARAMETER VALUE --yes\n"
    "                          write it: a channel 0-255, an id 0-2147483647; the\n"
    "                          value the module sends back is printed. It is read\n"
    "                          first, and a value already there is not written\n"
    "                          again. After a write the other side must follow\n"
    "                          before the link works again\n"
    "  pair --yes              pair the host module with board ADDR; prints the id\n"
    "                          the two modules now share\n"
    "  ports                   the port numbers and the devices they stand for\n"
    "  lines                   the lines telvard holds, with their boards\n"
    "\n"
    "While telvard holds the port (or line) asked for, every command goes through\n"
    "it, with the same output and exit status; otherwise the port is opened here.\n"
    "\n"
    "Options:\n"
    "  -p, --port PORT         a port number as in Telvar's window (1-255, COM3 is 3;\n"
    "                          default 1), a device path such as /dev/ttyUSB0, or\n"
    "                          the name of a line telvard holds (-p hall)\n"
    "      --direct            open the port here, never through telvard\n"
    "      --service [SOCKET]  go through telvard only (its socket: SOCKET, else\n"
    "                          $XDG_RUNTIME_DIR/telvar/telvard.sock, then\n"
    "                          /run/telvar/telvard.sock)\n"
    "  -a, --address ADDR      the board's address, 0-255 (default 1); for watch a\n"
    "                          list such as 1,2,7\n"
    "      --timeout MS        how long to wait for each reply, 10-60000 ms\n"
    "                          (default 200)\n"
    "      --retries N         frames resent when the board does not confirm, 0-100\n"
    "                          (default 2; scan: 0)\n"
    "      --interval MS       watch: time between two polls, 20-60000 ms (default 200)\n"
    "      --interlock GROUPS  relays of board ADDR of which at most one is pulled in,\n"
    "                          such as 1,2 or 1,2;3,4,5, for a port opened here\n"
    "                          (telvard keeps its own from its configuration)\n"
    "      --config FILE       telvard's configuration file (default\n"
    "                          /etc/telvar/telvard.conf when present): when the port\n"
    "                          opened here is one of its lines, that line's pulses,\n"
    "                          interlocks and interlock gap apply here too\n"
    "      --wait              pulse through telvard: wait for the release\n"
    "      --count N           stats directly: polls to count over, 1-10000\n"
    "      --json              one JSON object per command on standard output (one a\n"
    "                          line for watch): \"relays\" is an array of 16 booleans,\n"
    "                          relay 1 first; a failure gives \"error\" (a code\n"
    "                          below) and \"message\"\n"
    "  -y, --yes               go ahead with set and pair\n"
    "  -v, --verbose           print every frame sent and received on standard error\n"
    "  -h, --help              show this text\n"
    "      --version           show the version\n"
    "\n"
    "Standard output carries data only; messages go to standard error.\n"
    "\n"
    "Exit status, with the JSON error codes:\n"
    "  0  done, and confirmed by the board or module\n"
    "  1  not_confirmed: the board or module answered, but not with the state or\n"
    "     value asked, after the retries; superseded: a newer command for the\n"
    "     same relay took this one's place before it was sent\n"
    "  2  usage: a usage error, nothing was sent\n"
    "  3  no_reply: no valid reply after the retries (scan: no address answered);\n"
    "     offline: the board missed its last 5 frames, so the command failed at\n"
    "     once, unsent\n"
    "  4  no_port, not_found, busy, no_permission, open_failed: the port could\n"
    "     not be opened; line_lost: the frame was sent, and the line was lost\n"
    "     before the board answered; port_lost: the line was lost before it was\n"
    "     sent; queue_full: the line has as many requests waiting as it takes\n"
    "  5  standard output took no more (a full disk, closed, a pipe whose reader\n"
    "     has gone): a watch or scan stops there, and with standard output closed\n"
    "     from the start nothing is sent; a command that failed otherwise keeps\n"
    "     its own status\n"
    "\n"
    "Examples:\n"
    "  telvarctl status                     relays of board 1 on port 1\n"
    "  telvarctl -p /dev/ttyUSB0 -a 7 on 3 4\n"
    "  telvarctl -p 2 --json status | jq '.relays[4]'\n"
    "  telvarctl watch -a 1,2 --interval 500\n"
    "  telvarctl scan 1-20\n"
    "  telvarctl pulse 3 500ms\n"
    "  telvarctl --interlock 1,2 on 2\n"
    "  telvarctl --json stats --count 50\n"
    "  telvarctl -a 3 set slave-channel 5 --yes\n";

// Options that take a value, long and short names.
struct option_name {
    const char* long_name;
    char short_name;
    bool takes_value;
};

constexpr option_name options[] = {
    {"port", 'p', true},       {"address", 'a', true},  {"timeout", 0, true},
    {"retries", 0, true},      {"interval", 0, true},   {"json", 0, false},
    {"verbose", 'v', false},   {"yes", 'y', false},     {"help", 'h', false},
    {"version", 0, false},     {"direct", 0, false},    {"service", 0, false},
    {"wait", 0, false},        {"count", 0, true},      {"interlock", 0, true},
    {"config", 0, true},
};

const option_name* find_long(const QString& name)
{
    for (const option_name& o : options)
        if (name == QLatin1String(o.long_name))
            return &o;
    return nullptr;
}

const option_name* find_short(QChar c)
{
    for (const option_name& o : options)
        if (o.short_name != 0 && c == QLatin1Char(o.short_name))
            return &o;
    return nullptr;
}

// An argument that starts with a dash and a letter is an option; "-5" is a
// value with a sign, refused where it is read.
bool looks_like_option(const QString& arg)
{
    if (arg.size() < 2 || arg[0] != QLatin1Char('-'))
        return false;
    return arg[1] == QLatin1Char('-') || arg[1].isLetter();
}

std::optional<link::parameter> read_parameter(const QString& text)
{
    using link::parameter;
    if (text == QLatin1String("host-id"))
        return parameter::host_id;
    if (text == QLatin1String("host-channel"))
        return parameter::host_channel;
    if (text == QLatin1String("slave-id"))
        return parameter::slave_id;
    if (text == QLatin1String("slave-channel"))
        return parameter::slave_channel;
    return std::nullopt;
}

// An argument as it goes into a message: never a page of it, nor control characters.
QString clip(const QString& text)
{
    QString shown = text.size() > 24 ? text.left(24) + QStringLiteral("...") : text;
    for (QChar& c : shown)
        if (c.unicode() < 0x20 || c.unicode() == 0x7F)
            c = QLatin1Char('?');
    return shown;
}

// A line's name as the service's configuration gives it: a letter, then letters,
// digits, "-" and "_". "COM3" and "3" are ports, read before this; "ttyUSB0"
// is a device named without its folder, refused as a port.
bool is_line_name(const QString& text)
{
    if (text.startsWith(QLatin1String("tty")) || text.isEmpty() || text.size() > 64 || !text[0].isLetter() || text[0].unicode() > 0x7F)
        return false;
    for (QChar c : text)
        if (c.unicode() > 0x7F
            || !(c.isLetterOrNumber() || c == QLatin1Char('-') || c == QLatin1Char('_')))
            return false;
    return true;
}

// "1,2;3,4,5": groups of two or more relays, none in two groups.
std::optional<std::vector<std::vector<int>>> read_groups(const QString& text, QString& error)
{
    std::vector<std::vector<int>> groups;
    QList<int> seen;
    const QString form = QStringLiteral("; give groups of relays 1-16 such as 1,2 or 1,2;3,4,5");
    for (const QString& part : text.split(QLatin1Char(';'))) {
        std::vector<int> group;
        for (const QString& word : part.split(QLatin1Char(','))) {
            QString why;
            const auto n = read_whole(word.trimmed(), 1, relay_count, QStringLiteral("relay"), why);
            if (!n) {
                error = QStringLiteral("--interlock: %1").arg(why);
                return std::nullopt;
            }
            if (seen.contains(int(*n))) {
                error = QStringLiteral("--interlock: relay %1 is in two groups%2").arg(*n).arg(form);
                return std::nullopt;
            }
            seen << int(*n);
            group.push_back(int(*n));
        }
        if (group.size() < 2) {
            error = QStringLiteral("--interlock: \"%1\" is a group of one%2").arg(clip(part), form);
            return std::nullopt;
        }
        groups.push_back(group);
    }
    return groups;
}

const QString parameters_accepted =
    QStringLiteral("host-id, host-channel, slave-id or slave-channel");

} // namespace

std::optional<qint64> read_whole(const QString& text, qint64 low, qint64 high,
                                 const QString& what, QString& error)
{
    const QString range =
        QStringLiteral("give a whole number from %1 to %2").arg(low).arg(high);
    const QString shown = clip(text);
    const number_reading reading = read_number(text);
    QString why;
    const QString quoted = QStringLiteral(" \"%1\"").arg(shown);
    switch (reading.fault) {
    case number_fault::none:
        if (reading.value >= low && reading.value <= high)
            return reading.value;
        why = quoted + QStringLiteral(" is out of range");
        break;
    case number_fault::empty:
        why = QStringLiteral(" is empty");
        break;
    case number_fault::negative:
        why = quoted + QStringLiteral(" has a sign");
        break;
    case number_fault::not_decimal:
        why = quoted + (text.startsWith(QLatin1Char('+')) ? QStringLiteral(" has a sign")
                                                          : QStringLiteral(" is not a whole number "
                                                                           "in digits"));
        break;
    case number_fault::too_large:
        why = quoted + QStringLiteral(" is out of range");
        break;
    }
    error = QStringLiteral("%1%2; %3").arg(what, why, range);
    return std::nullopt;
}

QString help_text()
{
    return QString::fromLatin1(help);
}

QString parameter_name(link::parameter what)
{
    switch (what) {
    case link::parameter::host_id:
        return QStringLiteral("host-id");
    case link::parameter::host_channel:
        return QStringLiteral("host-channel");
    case link::parameter::slave_id:
        return QStringLiteral("slave-id");
    case link::parameter::slave_channel:
        return QStringLiteral("slave-channel");
    case link::parameter::pairing:
        break;
    }
    return QStringLiteral("pairing");
}

QString command_name(command what)
{
    switch (what) {
    case command::status:
        return QStringLiteral("status");
    case command::on:
        return QStringLiteral("on");
    case command::off:
        return QStringLiteral("off");
    case command::toggle:
        return QStringLiteral("toggle");
    case command::all_on:
        return QStringLiteral("all on");
    case command::all_off:
        return QStringLiteral("all off");
    case command::pulse:
        return QStringLiteral("pulse");
    case command::stats:
        return QStringLiteral("stats");
    case command::watch:
        return QStringLiteral("watch");
    case command::scan:
        return QStringLiteral("scan");
    case command::get:
        return QStringLiteral("get");
    case command::set:
        return QStringLiteral("set");
    case command::pair:
        return QStringLiteral("pair");
    case command::lines:
        return QStringLiteral("lines");
    case command::ports:
        break;
    }
    return QStringLiteral("ports");
}

link::link_settings settings_for(const invocation& run)
{
    link::link_settings s;
    s.reply_window_ms = run.timeout_ms;
    s.retries = run.what == command::scan && !run.retries_given ? 0 : run.retries;
    s.poll_interval_ms = run.interval_ms;
    if (!run.interlocks.empty())
        s.interlocks[run.address] = run.interlocks;
    return s;
}

parse_result parse_command_line(const QStringList& arguments)
{
    parse_result out;
    invocation run;
    QStringList words;  // the command and its arguments
    QString address_text;
    bool interval_given = false;
    bool address_given = false;
    bool count_given = false;

    // A refusal wins over --help and --version given beside it.
    const auto refuse = [&](const QString& why) {
        out.error = why;
        out.help = out.version = false;
        return out;
    };

    // --json first, so that a refusal further on is answered in the form asked for.
    for (int i = 1; i < arguments.size() && arguments[i] != QLatin1String("--"); ++i)
        if (arguments[i] == QLatin1String("--json"))
            out.json = true;

    bool options_done = false;
    for (int i = 1; i < arguments.size(); ++i) {
        const QString arg = arguments[i];
        if (options_done || !looks_like_option(arg)) {
            words << arg;
            continue;
        }
        if (arg == QLatin1String("--")) {
            options_done = true;
            continue;
        }
        const option_name* o = nullptr;
        QString value;
        bool has_value = false;
        QString shown;  // the option as the user wrote it
        if (arg.startsWith(QLatin1String("--"))) {
            QString name = arg.mid(2);
            const int eq = name.indexOf(QLatin1Char('='));
            if (eq >= 0) {
                value = name.mid(eq + 1);
                name = name.left(eq);
                has_value = true;
            }
            o = find_long(name);
            shown = QStringLiteral("--") + name;
            if (!o)
                return refuse(
                    QStringLiteral("unknown option %1 (see telvarctl --help)").arg(clip(shown)));
            if (has_value && !o->takes_value && name != QLatin1String("service"))
                return refuse(QStringLiteral("%1 takes no value").arg(shown));
        } else {
            o = find_short(arg[1]);
            shown = arg.left(2);
            if (!o)
                return refuse(QStringLiteral("unknown option %1 (see telvarctl --help)").arg(shown));
            if (arg.size() > 2) {
                if (!o->takes_value)
                    return refuse(
                        QStringLiteral("unknown option %1 (see telvarctl --help)").arg(clip(arg)));
                value = arg.mid(2);
                has_value = true;
            }
        }
        // --service SOCKET: the value is optional, so only a path is taken as one.
        if (QLatin1String(o->long_name) == QLatin1String("service") && !has_value
            && i + 1 < arguments.size() && arguments[i + 1].contains(QLatin1Char('/'))) {
            value = arguments[++i];
            has_value = true;
        }
        if (o->takes_value && !has_value) {
            if (i + 1 >= arguments.size())
                return refuse(QStringLiteral("%1 needs a value").arg(shown));
            value = arguments[++i];
        }

        const QString name = QLatin1String(o->long_name);
        QString error;
        if (name == QLatin1String("help")) {
            out.help = true;
        } else if (name == QLatin1String("version")) {
            out.version = true;
        } else if (name == QLatin1String("json")) {
            run.json = true;
        } else if (name == QLatin1String("verbose")) {
            run.verbose = true;
        } else if (name == QLatin1String("yes")) {
            run.yes = true;
        } else if (name == QLatin1String("direct") || name == QLatin1String("service")) {
            const road asked = name == QLatin1String("direct") ? road::direct : road::service;
            if (run.way != road::automatic && run.way != asked)
                return refuse(QStringLiteral("--direct and --service exclude each other"));
            run.way = asked;
            if (has_value && value.isEmpty())
                return refuse(QStringLiteral("--service=: give the socket's path, or leave out "
                                             "the ="));
            run.socket = value;
        } else if (name == QLatin1String("port")) {
            const auto spec = link::port_spec::parse(value);
            if (!spec && is_line_name(value)) {
                run.line = value;
                run.port = {};
                continue;
            }
            if (!spec)
                return refuse(QStringLiteral("%1: \"%2\" is not a port; give a port number "
                                             "from 1 to %3 (or COM1 to COM%3) or a device path "
                                             "such as /dev/ttyUSB0")
                                  .arg(shown, clip(value))
                                  .arg(link::largest_port));
            run.port = *spec;
            run.line.clear();
        } else if (name == QLatin1String("address")) {
            address_text = value;
            address_given = true;
        } else if (name == QLatin1String("timeout")) {
            const auto ms = read_whole(value, 10, 60000, shown, error);
            if (!ms)
                return refuse(error);
            run.timeout_ms = int(*ms);
        } else if (name == QLatin1String("retries")) {
            const auto n = read_whole(value, 0, 100, shown, error);
            if (!n)
                return refuse(error);
            run.retries = int(*n);
            run.retries_given = true;
        } else if (name == QLatin1String("interval")) {
            const auto ms = read_whole(value, 20, 60000, shown, error);
            if (!ms)
                return refuse(error);
            run.interval_ms = int(*ms);
            interval_given = true;
        } else if (name == QLatin1String("wait")) {
            run.wait = true;
        } else if (name == QLatin1String("count")) {
            const auto n = read_whole(value, 1, 10000, shown, error);
            if (!n)
                return refuse(error);
            run.count = int(*n);
            count_given = true;
        } else if (name == QLatin1String("interlock")) {
            const auto groups = read_groups(value, error);
            if (!groups)
                return refuse(error);
            run.interlocks = *groups;
        } else if (name == QLatin1String("config")) {
            if (value.isEmpty())
                return refuse(QStringLiteral("--config needs a file"));
            run.config = value;
        }
    }

    if (out.help || out.version)
        return out;
    if (words.isEmpty())
        return refuse(QStringLiteral("no command given (see telvarctl --help)"));

    const QString verb = words.takeFirst();
    QString error;
    const auto too_many = [&](int allowed) {
        return words.size() > allowed
                   ? QStringLiteral("%1: unexpected argument \"%2\"").arg(verb, clip(words[allowed]))
                   : QString();
    };

    // The address: one board, or for watch a list.
    if (verb == QLatin1String("watch")) {
        const QStringList parts =
            address_given ? address_text.split(QLatin1Char(',')) : QStringList{QStringLiteral("1")};
        for (const QString& part : parts) {
            const auto a = read_whole(part, 0, 255, QStringLiteral("address (-a)"), error);
            if (!a)
                return refuse(error);
            if (!run.addresses.contains(int(*a)))
                run.addresses << int(*a);
        }
        run.address = run.addresses.front();
    } else if (address_given) {
        const auto a = read_whole(address_text, 0, 255, QStringLiteral("address (-a)"),
                                  error);
        if (!a)
            return refuse(address_text.contains(QLatin1Char(','))
                              ? QStringLiteral("-a: a list of addresses is for watch only; "
                                               "give one address from 0 to 255")
                              : error);
        run.address = int(*a);
    }
    if (interval_given && verb != QLatin1String("watch"))
        return refuse(QStringLiteral("--interval is for watch only"));
    if (run.wait && verb != QLatin1String("pulse"))
        return refuse(QStringLiteral("--wait is for pulse only"));
    if (count_given && verb != QLatin1String("stats"))
        return refuse(QStringLiteral("--count is for stats only"));

    if (verb == QLatin1String("status")) {
        run.what = command::status;
        error = too_many(0);
    } else if (verb == QLatin1String("on") || verb == QLatin1String("off")) {
        run.what = verb == QLatin1String("on") ? command::on : command::off;
        if (words.isEmpty())
            return refuse(QStringLiteral("%1: give one or more relay numbers from 1 to 16").arg(verb));
        for (const QString& word : words) {
            const auto n = read_whole(word, 1, relay_count, QStringLiteral("relay number"), error);
            if (!n)
                return refuse(QStringLiteral("%1: %2").arg(verb, error));
            if (!run.relays.contains(int(*n)))
                run.relays << int(*n);
        }
    } else if (verb == QLatin1String("toggle")) {
        run.what = command::toggle;
        if (words.isEmpty())
            return refuse(QStringLiteral("toggle: give one relay number from 1 to 16"));
        const auto n = read_whole(words[0], 1, relay_count, QStringLiteral("relay number"), error);
        if (!n)
            return refuse(QStringLiteral("toggle: %1").arg(error));
        run.relays << int(*n);
        error = too_many(1);
    } else if (verb == QLatin1String("all")) {
        if (words.value(0) == QLatin1String("on"))
            run.what = command::all_on;
        else if (words.value(0) == QLatin1String("off"))
            run.what = command::all_off;
        else
            return refuse(words.isEmpty() ? QStringLiteral("all: say on or off")
                                          : QStringLiteral("all: \"%1\" is neither on nor off")
                                                .arg(clip(words[0])));
        error = too_many(1);
    } else if (verb == QLatin1String("pulse")) {
        run.what = command::pulse;
        if (words.size() < 2)
            return refuse(QStringLiteral("pulse: give a relay number from 1 to 16 and a duration, "
                                         "such as pulse 3 500ms"));
        const auto n = read_whole(words[0], 1, relay_count, QStringLiteral("relay number"), error);
        if (!n)
            return refuse(QStringLiteral("pulse: %1").arg(error));
        run.relays << int(*n);
        const auto ms = link::parse_duration(words[1], &error);
        if (!ms)
            return refuse(QStringLiteral("pulse: %1").arg(error));
        run.pulse_ms = *ms;
        error = too_many(2);
    } else if (verb == QLatin1String("stats")) {
        run.what = command::stats;
        error = too_many(0);
    } else if (verb == QLatin1String("watch")) {
        run.what = command::watch;
        error = too_many(0);
    } else if (verb == QLatin1String("scan")) {
        run.what = command::scan;
        if (!words.isEmpty()) {
            const QString range = words[0];
            const int dash = range.indexOf(QLatin1Char('-'), 1);
            const QString from = dash < 0 ? range : range.left(dash);
            const QString to = dash < 0 ? range : range.mid(dash + 1);
            const auto a = read_whole(from, 0, 255, QStringLiteral("scan: first address"), error);
            if (!a)
                return refuse(error);
            const auto b = read_whole(to, 0, 255, QStringLiteral("scan: last address"), error);
            if (!b)
                return refuse(error);
            if (*b < *a)
                return refuse(QStringLiteral("scan: \"%1\" runs backwards; give FROM-TO with "
                                             "FROM no greater than TO, both from 0 to 255")
                                  .arg(clip(range)));
            run.scan_from = int(*a);
            run.scan_to = int(*b);
            error = too_many(1);
        }
    } else if (verb == QLatin1String("get") || verb == QLatin1String("set")) {
        run.what = verb == QLatin1String("get") ? command::get : command::set;
        if (words.isEmpty())
            return refuse(QStringLiteral("%1: say which: %2").arg(verb, parameters_accepted));
        const auto p = read_parameter(words[0]);
        if (!p)
            return refuse(QStringLiteral("%1: no parameter is called \"%2\"; give %3")
                              .arg(verb, clip(words[0]), parameters_accepted));
        run.param = *p;
        if (run.what == command::get) {
            error = too_many(1);
        } else {
            const bool channel =
                *p == link::parameter::host_channel || *p == link::parameter::slave_channel;
            if (words.size() < 2)
                return refuse(QStringLiteral("set %1: give the value, %2")
                                  .arg(words[0], channel ? QStringLiteral("a channel from 0 to 255")
                                                         : QStringLiteral("an id from 0 to 2147483647")));
            const auto v = channel ? read_whole(words[1], 0, 255, QStringLiteral("channel"), error)
                                   : read_whole(words[1], 0, largest_number, QStringLiteral("id"), error);
            if (!v)
                return refuse(QStringLiteral("set %1: %2").arg(words[0], error));
            run.value = static_cast<std::uint32_t>(*v);
            error = too_many(2);
        }
    } else if (verb == QLatin1String("pair")) {
        run.what = command::pair;
        error = too_many(0);
    } else if (verb == QLatin1String("ports")) {
        run.what = command::ports;
        error = too_many(0);
    } else if (verb == QLatin1String("lines")) {
        run.what = command::lines;
        error = too_many(0);
        if (error.isEmpty() && run.way == road::direct)
            return refuse(QStringLiteral("lines: the lines are the service's to list; leave out "
                                         "--direct"));
    } else {
        return refuse(QStringLiteral("unknown command \"%1\" (status, on, off, toggle, all, "
                                     "pulse, watch, scan, get, set, pair, ports, lines, stats; see "
                                     "telvarctl --help)")
                          .arg(clip(verb)));
    }
    if (!error.isEmpty())
        return refuse(error);
    if (!run.line.isEmpty() && run.way == road::direct)
        return refuse(QStringLiteral("-p %1: a line's name is known only to the service; give "
                                     "--direct a port number or a device path")
                          .arg(run.line));

    // Writes change what the modules listen to: asked for in so many words.
    if (run.what == command::set && !run.yes)
        return refuse(QStringLiteral("set %1 changes the radio module: after it the module talks "
                                     "with the new setting, and the other side must follow "
                                     "before the link works again. Add --yes to go ahead.")
                          .arg(parameter_name(run.param)));
    if (run.what == command::pair && !run.yes)
        return refuse(QStringLiteral("pair gives board %1's slave module the host module's id. "
                                     "Add --yes to go ahead.")
                          .arg(run.address));
    out.run = run;
    return out;
}

} // namespace telvar::ctl
