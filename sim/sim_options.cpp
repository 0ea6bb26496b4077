#include "sim/sim_options.h"

#include "protocol/relay_protocol.h"

#include <QRegularExpression>

#include <limits>

namespace telvar::sim
{

namespace
{

const char* const help_text =
    "Usage: telvar-sim [options]\n"
    "\n"
    "Plays the far side of Telvar's serial line: the host radio module wired to\n"
    "the PC and one or more relay boards, each with its slave radio module.\n"
    "The first line on standard output is the device to open (a pseudo-terminal\n"
    "unless --device is given).\n"
    "\n"
    "Out of the box: host module id 1 on channel 1, and one board at address 1\n"
    "with relays 1, 3, 6 and 8 pulled in (00A5) whose slave module shares the\n"
    "host module's id and channel, so Telvar's defaults work against it at once.\n"
    "\n"
    "Radio: a board answers only while its slave module is on the host module's\n"
    "channel and carries the host module's id. Pairing (code 34) reaches the\n"
    "board at the target address on the host module's channel whatever its id,\n"
    "and gives its slave module the host module's id. Writing a channel or an id\n"
    "is answered first; then the module moves, and the link is down until the\n"
    "other side follows.\n"
    "\n"
    "Line:\n"
    "  --device PATH        attach to this serial device (a null-modem cable or a\n"
    "                       second adapter) instead of making a pseudo-terminal\n"
    "  --com N              link com<N> in Telvar's port folder to the device for\n"
    "                       as long as the simulator runs (N from 1 to 99999)\n"
    "  --name PATH          keep a stable name for the line at PATH, as udev keeps\n"
    "                       /dev/serial/by-id/ names for a USB adapter: a link to\n"
    "                       the device, gone while the line is away and made\n"
    "                       again, to the new device, when it reappears; com<N>\n"
    "                       then links to PATH\n"
    "  --log                print every frame both ways, one line each:\n"
    "                       SECONDS pc>sim|sim>pc HEX BYTES; a reply lost on\n"
    "                       purpose is shown as SECONDS lost HEX BYTES\n"
    "  --control            read commands from standard input, one a line, and\n"
    "                       answer each on standard output (see below); the\n"
    "                       simulator ends when standard input closes\n"
    "\n"
    "Installation:\n"
    "  --board SPEC         a relay board; repeat for more. SPEC is\n"
    "                       ADDR[,relays=HEX4][,id=N][,channel=N][,ignore-switch]\n"
    "                       [,stuck=N]:\n"
    "                       address 0 to 255, relays as 4 hex digits with bit n-1\n"
    "                       for relay n (default 0000), slave id and channel\n"
    "                       defaulting to the host module's; ignore-switch makes a\n"
    "                       faulty board that answers status queries but neither\n"
    "                       carries out nor answers switch frames (11, 12, 13);\n"
    "                       stuck=N keeps relay N pulled in whatever is asked,\n"
    "                       as a welded contact does, and reports it so (repeat\n"
    "                       for more relays).\n"
    "                       Without --board: one board 1,relays=00A5\n"
    "  --host-id N          the host module's id, 0 to 4294967295 (default 1)\n"
    "  --host-channel N     the host module's channel, 0 to 255 (default 1)\n"
    "\n"
    "Faults (rates are probabilities from 0 to 1, times in milliseconds):\n"
    "  --loss RATE          drop a reply (the board still carries the frame out)\n"
    "  --bad-checksum RATE  spoil a reply's checksum\n"
    "  --stray RATE         send 1 to 7 random bytes before a reply\n"
    "  --delay MS           hold every reply back (0 to 60000)\n"
    "  --split N            write each reply in N pieces (1 to 8)\n"
    "  --split-gap MS       time between two pieces (0 to 60000)\n"
    "  --echo               send the PC's own frame back before the reply\n"
    "  --pace               send bytes at the 9600-baud line rate (1.0417 ms each)\n"
    "  --vanish-after MS    close the line after MS, as when an adapter is pulled\n"
    "  --seed N             seed for the fault dice, for repeatable runs\n"
    "\n"
    "Control commands (with --control):\n"
    "  state                one line per board, then the host module:\n"
    "                       board 1 relays 00A5 id 1 channel 1\n"
    "                       host id 1 channel 1\n"
    "  silence on|off       stop or resume hearing and answering the PC\n"
    "  vanish               close the line (the device, the com link and the name\n"
    "                       go away)\n"
    "  reappear             open a new line, link com<N> and the name again, print\n"
    "                       its device\n"
    "  set ADDR relays HEX4 | set ADDR id N | set ADDR channel N\n"
    "  set ADDR ignore-switch on|off | set ADDR stuck N (0 frees every relay)\n"
    "  set host id N | set host channel N\n"
    "  fault NAME VALUE     change a fault while running, e.g. fault loss 0.5,\n"
    "                       fault echo on\n"
    "  quit                 end the simulator\n"
    "  Each command is answered with one line (state with several); a command\n"
    "  that cannot be carried out is answered with a line starting \"error\".\n"
    "\n"
    "  --help               show this text\n"
    "  --version            show the version\n"
    "\n"
    "Exit codes: 0 normal end, 1 the line could not be made or was lost,\n"
    "2 a bad option (the message names it).\n";

bool read_uint(const QString& text, std::uint64_t max, std::uint64_t& out)
{
    static const QRegularExpression digits(QStringLiteral("^[0-9]{1,10}$"));
    if (!digits.match(text).hasMatch())
        return false;
    bool ok = false;
    const qulonglong value = text.toULongLong(&ok);
    if (!ok || value > max)
        return false;
    out = value;
    return true;
}

bool read_rate(const QString& text, double& out)
{
    bool ok = false;
    const double value = text.toDouble(&ok);
    if (!ok || !(value >= 0.0 && value <= 1.0))
        return false;
    out = value;
    return true;
}

bool read_switch(const QString& text, bool& out)
{
    if (text == QLatin1String("on") || text == QLatin1String("1")) {
        out = true;
        return true;
    }
    if (text == QLatin1String("off") || text == QLatin1String("0")) {
        out = false;
        return true;
    }
    return false;
}

constexpr std::uint64_t max_ms = 60000;

} // namespace

QString set_fault(fault_options& faults, const QString& name, const QString& value)
{
    std::uint64_t number = 0;
    const auto bad = [&](const char* expected) {
        return QStringLiteral("--%1: \"%2\" is not %3").arg(name, value, QLatin1String(expected));
    };
    if (name == QLatin1String("loss"))
        return read_rate(value, faults.loss) ? QString() : bad("a rate from 0 to 1");
    if (name == QLatin1String("bad-checksum"))
        return read_rate(value, faults.bad_checksum) ? QString() : bad("a rate from 0 to 1");
    if (name == QLatin1String("stray"))
        return read_rate(value, faults.stray) ? QString() : bad("a rate from 0 to 1");
    if (name == QLatin1String("delay")) {
        if (!read_uint(value, max_ms, number))
            return bad("a time from 0 to 60000 ms");
        faults.delay_ms = static_cast<int>(number);
        return {};
    }
    if (name == QLatin1String("split")) {
        if (!read_uint(value, 8, number) || number < 1)
            return bad("a number of pieces from 1 to 8");
        faults.split = static_cast<int>(number);
        return {};
    }
    if (name == QLatin1String("split-gap")) {
        if (!read_uint(value, max_ms, number))
            return bad("a time from 0 to 60000 ms");
        faults.split_gap_ms = static_cast<int>(number);
        return {};
    }
    if (name == QLatin1String("echo"))
        return read_switch(value, faults.echo) ? QString() : bad("on or off");
    if (name == QLatin1String("pace"))
        return read_switch(value, faults.pace) ? QString() : bad("on or off");
    return QStringLiteral("no fault is called \"%1\"").arg(name);
}

QString parse_board(const QString& spec, board& out)
{
    const QStringList parts = spec.split(QLatin1Char(','));
    std::uint64_t number = 0;
    if (!read_uint(parts.value(0).trimmed(), 255, number))
        return QStringLiteral("--board %1: the address must be a number from 0 to 255").arg(spec);
    out.address = static_cast<std::uint8_t>(number);
    static const QRegularExpression hex4(QStringLiteral("^[0-9A-Fa-f]{4}$"));
    for (int i = 1; i < parts.size(); ++i) {
        const QString part = parts[i].trimmed();
        const int eq = part.indexOf(QLatin1Char('='));
        const QString key = part.left(eq);
        const QString value = eq < 0 ? QString() : part.mid(eq + 1);
        if (key == QLatin1String("relays")) {
            if (!hex4.match(value).hasMatch())
                return QStringLiteral("--board %1: relays must be 4 hex digits, such as 00A5")
                    .arg(spec);
            out.relays = static_cast<std::uint16_t>(value.toUInt(nullptr, 16));
        } else if (key == QLatin1String("id")) {
            if (!read_uint(value, std::numeric_limits<std::uint32_t>::max(), number))
                return QStringLiteral("--board %1: id must be a number from 0 to 4294967295")
                    .arg(spec);
            out.slave.id = static_cast<std::uint32_t>(number);
        } else if (key == QLatin1String("ignore-switch")) {
            if (eq < 0)
                out.ignores_switch = true;
            else if (!read_switch(value, out.ignores_switch))
                return QStringLiteral("--board %1: ignore-switch takes on or off").arg(spec);
        } else if (key == QLatin1String("stuck")) {
            if (!read_uint(value, relay_count, number))
                return QStringLiteral("--board %1: stuck takes a relay from 1 to 16 (0 frees them)")
                    .arg(spec);
            if (number == 0)
                out.stuck = 0;
            else
                out.stuck |= static_cast<std::uint16_t>(1u << (number - 1));
        } else if (key == QLatin1String("channel")) {
            if (!read_uint(value, 255, number))
                return QStringLiteral("--board %1: channel must be a number from 0 to 255")
                    .arg(spec);
            out.slave.channel = static_cast<std::uint8_t>(number);
        } else {
            return QStringLiteral("--board %1: unknown setting \"%2\" (relays, id, channel, ignore-switch, stuck)")
                .arg(spec, part);
        }
    }
    // A stuck relay shows pulled in from the start, whatever relays= says.
    out.relays |= out.stuck;
    return {};
}

parse_outcome parse_options(const QStringList& arguments)
{
    parse_outcome outcome;
    sim_options& o = outcome.options;
    QStringList board_specs;

    static const QStringList with_value = {
        QStringLiteral("device"),       QStringLiteral("com"),
        QStringLiteral("name"),         QStringLiteral("board"),        QStringLiteral("host-id"),
        QStringLiteral("host-channel"), QStringLiteral("loss"),
        QStringLiteral("bad-checksum"), QStringLiteral("delay"),
        QStringLiteral("split"),        QStringLiteral("split-gap"),
        QStringLiteral("stray"),        QStringLiteral("vanish-after"),
        QStringLiteral("seed")};
    static const QStringList flags = {QStringLiteral("log"), QStringLiteral("control"),
                                      QStringLiteral("echo"), QStringLiteral("pace"),
                                      QStringLiteral("help"), QStringLiteral("version")};

    for (int i = 1; i < arguments.size(); ++i) {
        const QString arg = arguments[i];
        if (!arg.startsWith(QLatin1String("--")) || arg.size() == 2) {
            outcome.error = QStringLiteral("unexpected argument \"%1\" (see --help)").arg(arg);
            return outcome;
        }
        QString name = arg.mid(2);
        QString value;
        bool has_value = false;
        const int eq = name.indexOf(QLatin1Char('='));
        if (eq >= 0) {
            value = name.mid(eq + 1);
            name = name.left(eq);
            has_value = true;
        }
        if (flags.contains(name)) {
            if (has_value) {
                outcome.error = QStringLiteral("--%1 takes no value").arg(name);
                return outcome;
            }
        } else if (with_value.contains(name)) {
            if (!has_value) {
                if (i + 1 >= arguments.size()) {
                    outcome.error = QStringLiteral("--%1 needs a value").arg(name);
                    return outcome;
                }
                value = arguments[++i];
            }
        } else {
            outcome.error = QStringLiteral("unknown option --%1 (see --help)").arg(name);
            return outcome;
        }

        std::uint64_t number = 0;
        QString error;
        if (name == QLatin1String("help")) {
            outcome.help = true;
        } else if (name == QLatin1String("version")) {
            outcome.version = true;
        } else if (name == QLatin1String("log")) {
            o.log = true;
        } else if (name == QLatin1String("control")) {
            o.control = true;
        } else if (name == QLatin1String("echo") || name == QLatin1String("pace")) {
            error = set_fault(o.faults, name, QStringLiteral("on"));
        } else if (name == QLatin1String("device")) {
            if (value.isEmpty())
                error = QStringLiteral("--device needs a device path");
            o.device = value;
        } else if (name == QLatin1String("name")) {
            if (value.isEmpty())
                error = QStringLiteral("--name needs a path");
            o.name = value;
        } else if (name == QLatin1String("com")) {
            if (!read_uint(value, 99999, number) || number < 1)
                error =
                    QStringLiteral("--com: \"%1\" is not a port number from 1 to 99999").arg(value);
            o.com = static_cast<int>(number);
        } else if (name == QLatin1String("board")) {
            board_specs << value;
        } else if (name == QLatin1String("host-id")) {
            if (!read_uint(value, std::numeric_limits<std::uint32_t>::max(), number))
                error = QStringLiteral("--host-id: \"%1\" is not an id from 0 to 4294967295")
                            .arg(value);
            o.far_side.host.id = static_cast<std::uint32_t>(number);
        } else if (name == QLatin1String("host-channel")) {
            if (!read_uint(value, 255, number))
                error = QStringLiteral("--host-channel: \"%1\" is not a channel from 0 to 255")
                            .arg(value);
            o.far_side.host.channel = static_cast<std::uint8_t>(number);
        } else if (name == QLatin1String("vanish-after")) {
            if (!read_uint(value, 86'400'000, number))
                error = QStringLiteral("--vanish-after: \"%1\" is not a time in ms").arg(value);
            o.faults.vanish_after_ms = static_cast<int>(number);
        } else if (name == QLatin1String("seed")) {
            if (!read_uint(value, std::numeric_limits<std::uint32_t>::max(), number))
                error = QStringLiteral("--seed: \"%1\" is not a number from 0 to 4294967295")
                            .arg(value);
            o.seed = static_cast<std::uint32_t>(number);
        } else {
            error = set_fault(o.faults, name, value);
        }
        if (!error.isEmpty()) {
            outcome.error = error;
            return outcome;
        }
    }

    if (outcome.help) {
        outcome.help_text = QString::fromLatin1(help_text);
        return outcome;
    }

    // Boards take the host module's settings unless their SPEC says otherwise,
    // whichever order the options came in.
    if (board_specs.isEmpty()) {
        board b;
        b.relays = 0x00A5;
        b.slave = o.far_side.host;
        o.far_side.boards.push_back(b);
    }
    for (const QString& spec : board_specs) {
        board b;
        b.slave = o.far_side.host;
        const QString error = parse_board(spec, b);
        if (!error.isEmpty()) {
            outcome.error = error;
            return outcome;
        }
        if (o.far_side.find(b.address)) {
            outcome.error =
                QStringLiteral("--board %1: address %2 is given twice").arg(spec).arg(b.address);
            return outcome;
        }
        o.far_side.boards.push_back(b);
    }
    return outcome;
}

QStringList state_lines(const installation& far_side)
{
    QStringList lines;
    for (const board& b : far_side.boards)
        lines << describe(b);
    lines << describe(far_side.host);
    return lines;
}

control_outcome run_control(const QString& line, installation& far_side, fault_options& faults)
{
    control_outcome out;
    const QStringList words = line.simplified().split(QLatin1Char(' '), Qt::SkipEmptyParts);
    const QString verb = words.value(0);
    const auto error = [&](const QString& why) { out.lines << QStringLiteral("error ") + why; };
    std::uint64_t number = 0;

    if (verb == QLatin1String("state") && words.size() == 1) {
        out.lines = state_lines(far_side);
    } else if (verb == QLatin1String("silence") && words.size() == 2 &&
               (words[1] == QLatin1String("on") || words[1] == QLatin1String("off"))) {
        out.action = words[1] == QLatin1String("on") ? control_action::silence_on
                                                     : control_action::silence_off;
        out.lines << QStringLiteral("silence ") + words[1];
    } else if (verb == QLatin1String("vanish") && words.size() == 1) {
        out.action = control_action::vanish;
    } else if (verb == QLatin1String("reappear") && words.size() == 1) {
        out.action = control_action::reappear;
    } else if (verb == QLatin1String("quit") && words.size() == 1) {
        out.action = control_action::quit;
    } else if (verb == QLatin1String("fault") && words.size() == 3) {
        const QString why = set_fault(faults, words[1], words[2]);
        if (why.isEmpty())
            out.lines << QStringLiteral("fault %1 %2").arg(words[1], words[2]);
        else
            error(why);
    } else if (verb == QLatin1String("set") && words.size() == 4 &&
               words[1] == QLatin1String("host")) {
        if (words[2] == QLatin1String("id") &&
            read_uint(words[3], std::numeric_limits<std::uint32_t>::max(), number)) {
            far_side.host.id = static_cast<std::uint32_t>(number);
            out.lines << describe(far_side.host);
        } else if (words[2] == QLatin1String("channel") && read_uint(words[3], 255, number)) {
            far_side.host.channel = static_cast<std::uint8_t>(number);
            out.lines << describe(far_side.host);
        } else {
            error(QStringLiteral("use: set host id N | set host channel N"));
        }
    } else if (verb == QLatin1String("set") && words.size() == 4) {
        board* b =
            read_uint(words[1], 255, number) ? far_side.find(static_cast<int>(number)) : nullptr;
        if (!b) {
            error(QStringLiteral("no board at address %1").arg(words[1]));
            return out;
        }
        board changed = *b;
        const QString why =
            parse_board(QStringLiteral("%1,%2=%3").arg(words[1], words[2], words[3]), changed);
        if (!why.isEmpty() || words[2] == QLatin1String("address")) {
            error(QStringLiteral("use: set ADDR relays HEX4 | set ADDR id N | set ADDR channel N | "
                                 "set ADDR ignore-switch on|off | set ADDR stuck N"));
            return out;
        }
        *b = changed;
        out.lines << describe(*b);
    } else {
        error(QStringLiteral("unknown command \"%1\" (state, silence on|off, vanish, reappear, "
                             "set, fault, quit)")
                  .arg(line.trimmed()));
    }
    return out;
}

} // namespace telvar::sim
