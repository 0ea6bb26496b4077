#include "mqtt/bridge_config.h"

#include "mqtt/ini_file.h"
#include "mqtt/system.h"
#include "protocol/decimal.h"
#include "telvar_version.h"

#include <QCommandLineParser>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QRegularExpression>
#include <QSet>

#include <optional>

namespace telvar::mqtt {

namespace {

// Where a setting came from, for the message that refuses it.
struct origin {
    QString text;  // "FILE:LINE: [section] key" or "--option"
};

struct reader {
    bridge_config config;
    QHash<QString, origin> where;  // setting name to where it was last set
    QString error;
    bool broker_port_given = false;

    bool refuse(const origin& at, const QString& why)
    {
        error = at.text + QStringLiteral(": ") + why;
        return false;
    }

    bool set(const QString& setting, const QString& value, const origin& at);
    bool set_boards_list(const QString& value, const origin& at);
};

std::optional<int> whole_number(const QString& text, int low, int high)
{
    const number_reading n = read_number(text);
    if (!n.ok() || n.value < low || n.value > high)
        return std::nullopt;
    return n.value;
}

// "1,2,5": addresses from 0 to 255, each once, in the order given.
std::optional<QList<int>> address_list(const QString& value, QString* why)
{
    QList<int> boards;
    QSet<int> seen;
    for (const QString& part : value.split(QLatin1Char(','))) {
        const auto address = whole_number(part.trimmed(), 0, 255);
        if (!address) {
            *why = QStringLiteral("\"%1\" is not an address from 0 to 255").arg(part.trimmed());
            return std::nullopt;
        }
        if (seen.contains(*address)) {
            *why = QStringLiteral("address %1 is given twice").arg(*address);
            return std::nullopt;
        }
        seen.insert(*address);
        boards.append(*address);
    }
    return boards;
}

// A topic prefix: one or more levels, none empty, no wildcards, not a $ topic.
bool is_topic_prefix(const QString& text)
{
    static const QRegularExpression levels(QStringLiteral("^[^/+#\\x00-\\x1F]+(/[^/+#\\x00-\\x1F]+)*$"));
    return !text.startsWith(QLatin1Char('$')) && text.size() <= 200 &&
           levels.match(text).hasMatch();
}

bool reader::set(const QString& setting, const QString& value, const origin& at)
{
    where.insert(setting, at);
    if (setting == QLatin1String("port")) {
        const auto port = link::port_spec::parse(value);
        if (!port)
            return refuse(at, QStringLiteral("\"%1\" is neither a port number nor a device path")
                                  .arg(value));
        config.port = *port;
        config.port_text = value;
    } else if (setting == QLatin1String("interval")) {
        const auto ms = whole_number(value, min_interval_ms, max_interval_ms);
        if (!ms)
            return refuse(at, QStringLiteral("\"%1\" is not a time from %2 to %3 ms")
                                  .arg(value)
                                  .arg(min_interval_ms)
                                  .arg(max_interval_ms));
        config.interval_ms = *ms;
    } else if (setting == QLatin1String("broker")) {
        QString host = value;
        QString port;
        if (value.startsWith(QLatin1Char('['))) {
            const int close = value.indexOf(QLatin1Char(']'));
            if (close < 0)
                return refuse(at, QStringLiteral("\"%1\" opens [ without closing it").arg(value));
            host = value.mid(1, close - 1);
            const QString rest = value.mid(close + 1);
            if (!rest.isEmpty() && !rest.startsWith(QLatin1Char(':')))
                return refuse(at, QStringLiteral("\"%1\" is not HOST[:PORT]").arg(value));
            port = rest.mid(1);
            if (rest == QLatin1String(":"))
                return refuse(at, QStringLiteral("\"%1\" has no port after the colon").arg(value));
        } else if (value.count(QLatin1Char(':')) == 1) {
            host = value.section(QLatin1Char(':'), 0, 0);
            port = value.section(QLatin1Char(':'), 1);
            if (port.isEmpty())
                return refuse(at, QStringLiteral("\"%1\" has no port after the colon").arg(value));
        }
        static const QRegularExpression host_text(QStringLiteral("^[A-Za-z0-9._:%-]+$"));
        if (host.isEmpty() || !host_text.match(host).hasMatch())
            return refuse(at, QStringLiteral("\"%1\" is not HOST[:PORT]").arg(value));
        if (!port.isEmpty()) {
            const auto number = whole_number(port, 1, 65535);
            if (!number)
                return refuse(at, QStringLiteral("\"%1\" is not a port from 1 to 65535").arg(port));
            config.broker_port = *number;
            broker_port_given = true;
        } else {
            config.broker_port = 1883;
            broker_port_given = false;
        }
        config.broker_host = host;
    } else if (setting == QLatin1String("id")) {
        if (!is_plain_name(value))
            return refuse(at, QStringLiteral("\"%1\" is not a bridge id: letters, digits, _ and - "
                                             "only, not empty")
                                  .arg(value));
        config.bridge_id = value;
    } else if (setting == QLatin1String("prefix")) {
        if (!is_topic_prefix(value))
            return refuse(at, QStringLiteral("\"%1\" is not a topic prefix: not empty, no + or #, "
                                             "no empty level, not starting with $")
                                  .arg(value));
        config.prefix = value;
    } else if (setting == QLatin1String("discovery_prefix")) {
        if (value == QLatin1String("off")) {
            config.discovery_prefix.clear();
        } else if (!is_topic_prefix(value)) {
            return refuse(at, QStringLiteral("\"%1\" is neither off nor a topic prefix: not empty, "
                                             "no + or #, no empty level, not starting with $")
                                  .arg(value));
        } else {
            config.discovery_prefix = value;
        }
    } else if (setting == QLatin1String("username")) {
        config.username = value;
    } else if (setting == QLatin1String("password_file")) {
        config.password_file = value;
    } else if (setting == QLatin1String("cafile")) {
        config.cafile = value;
    } else if (setting == QLatin1String("certfile")) {
        config.certfile = value;
    } else if (setting == QLatin1String("keyfile")) {
        config.keyfile = value;
    } else if (setting == QLatin1String("boards")) {
        return set_boards_list(value, at);
    }
    return true;
}

bool reader::set_boards_list(const QString& value, const origin& at)
{
    QString why;
    const auto boards = address_list(value, &why);
    if (!boards)
        return refuse(at, why);
    config.boards = *boards;
    config.boards_from_file = false;
    return true;
}

// Keys of each section, and the setting each one stands for.
const QHash<QString, QStringList>& known_keys()
{
    static const QHash<QString, QStringList> keys{
        {QStringLiteral("serial"), {QStringLiteral("port"), QStringLiteral("interval")}},
        {QStringLiteral("mqtt"),
         {QStringLiteral("broker"), QStringLiteral("id"), QStringLiteral("prefix"),
          QStringLiteral("discovery_prefix"), QStringLiteral("username"),
          QStringLiteral("password_file"), QStringLiteral("cafile"), QStringLiteral("certfile"),
          QStringLiteral("keyfile")}},
    };
    return keys;
}

bool read_file_text(reader& r, const QByteArray& text, const QString& name)
{
    const ini_document doc = read_ini(text);
    if (!doc.error.isEmpty())
        return r.refuse({QStringLiteral("%1:%2").arg(name).arg(doc.error_line)}, doc.error);

    QHash<QString, int> section_lines;
    for (const ini_section& s : doc.sections) {
        const origin at{QStringLiteral("%1:%2: [%3]").arg(name).arg(s.line).arg(s.name)};
        if (s.name != QLatin1String("boards") && !known_keys().contains(s.name))
            return r.refuse(at, QStringLiteral("unknown section (serial, mqtt, boards)"));
        if (section_lines.contains(s.name))
            return r.refuse(at, QStringLiteral("the section is given twice (first on line %1)")
                                    .arg(section_lines.value(s.name)));
        section_lines.insert(s.name, s.line);
    }

    QHash<QString, int> key_lines;
    QList<int> boards;
    QHash<int, int> board_lines;
    for (const ini_entry& e : doc.entries) {
        const origin at{
            QStringLiteral("%1:%2: [%3] %4").arg(name).arg(e.line).arg(e.section, e.key)};
        if (e.section == QLatin1String("boards")) {
            const auto address = whole_number(e.key, 0, 255);
            if (!address)
                return r.refuse(at, QStringLiteral("a board's key is its address, from 0 to 255"));
            if (board_lines.contains(*address))
                return r.refuse(at, QStringLiteral("address %1 is given twice (first on line %2)")
                                        .arg(*address)
                                        .arg(board_lines.value(*address)));
            if (!is_plain_name(e.value))
                return r.refuse(at, QStringLiteral("\"%1\" is not a board name: letters, digits, "
                                                   "_ and - only, not empty")
                                        .arg(e.value));
            board_lines.insert(*address, e.line);
            boards.append(*address);
            r.config.names.insert(*address, e.value);
            continue;
        }
        const QStringList& keys = known_keys().value(e.section);
        if (!keys.contains(e.key))
            return r.refuse(at, QStringLiteral("unknown key (known in [%1]: %2)")
                                    .arg(e.section, keys.join(QStringLiteral(", "))));
        const QString qualified = e.section + QLatin1Char('/') + e.key;
        if (key_lines.contains(qualified))
            return r.refuse(at, QStringLiteral("the key is given twice (first on line %1)")
                                    .arg(key_lines.value(qualified)));
        key_lines.insert(qualified, e.line);
        // An empty optional value is the same as leaving the key out.
        static const QStringList optional{QStringLiteral("username"),
                                          QStringLiteral("password_file"),
                                          QStringLiteral("cafile"), QStringLiteral("certfile"),
                                          QStringLiteral("keyfile")};
        if (e.value.isEmpty() && !optional.contains(e.key))
            return r.refuse(at, QStringLiteral("the value is empty"));
        if (!r.set(e.key, e.value, at))
            return false;
    }
    if (!boards.isEmpty()) {
        r.config.boards = boards;
        r.where.insert(QStringLiteral("boards"),
                       {QStringLiteral("%1:%2: [boards]").arg(name).arg(section_lines.value(
                           QStringLiteral("boards")))});
    }
    r.config.file = name;
    // The file's list (its [boards], or board 1 without them) is the one
    // boards are removed by, unless --boards overrides it.
    r.config.boards_from_file = true;
    return true;
}

// Settings that only make sense together.
bool check_combinations(reader& r)
{
    bridge_config& c = r.config;
    if (!c.password_file.isEmpty() && c.username.isEmpty())
        return r.refuse(r.where.value(QStringLiteral("password_file")),
                        QStringLiteral("a password needs a user name (--username, or username "
                                       "in [mqtt])"));
    if (!c.certfile.isEmpty() && c.keyfile.isEmpty())
        return r.refuse(r.where.value(QStringLiteral("certfile")),
                        QStringLiteral("a client certificate needs its key (--keyfile)"));
    if (!c.keyfile.isEmpty() && c.certfile.isEmpty())
        return r.refuse(r.where.value(QStringLiteral("keyfile")),
                        QStringLiteral("a client key needs its certificate (--certfile)"));
    if (!c.certfile.isEmpty() && c.cafile.isEmpty())
        return r.refuse(r.where.value(QStringLiteral("certfile")),
                        QStringLiteral("a client certificate is only used with TLS: give the "
                                       "broker's CA file too (--cafile)"));
    // TLS brokers listen on 8883 unless told otherwise.
    if (!c.cafile.isEmpty() && !r.broker_port_given)
        c.broker_port = 8883;
    return true;
}

bool check_readable(reader& r, const QString& setting, const QString& path, QByteArray* content)
{
    if (path.isEmpty())
        return true;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        const QString why = !QFileInfo::exists(path) ? QStringLiteral("no such file")
                                                      : file.errorString();
        return r.refuse(r.where.value(setting),
                        QStringLiteral("%1 cannot be read: %2").arg(path, why));
    }
    if (content)
        *content = file.read(4096);
    return true;
}

bool check_files(reader& r)
{
    bridge_config& c = r.config;
    QByteArray password;
    if (!check_readable(r, QStringLiteral("password_file"), c.password_file, &password) ||
        !check_readable(r, QStringLiteral("cafile"), c.cafile, nullptr) ||
        !check_readable(r, QStringLiteral("certfile"), c.certfile, nullptr) ||
        !check_readable(r, QStringLiteral("keyfile"), c.keyfile, nullptr))
        return false;
    if (!c.password_file.isEmpty()) {
        // The first line is the password; a final newline is not part of it.
        const int end = password.indexOf('\n');
        if (end >= 0)
            password.truncate(end);
        if (password.endsWith('\r'))
            password.chop(1);
        if (password.isEmpty())
            return r.refuse(r.where.value(QStringLiteral("password_file")),
                            QStringLiteral("%1 holds no password on its first line")
                                .arg(c.password_file));
        c.password = QString::fromUtf8(password);
        c.has_password = true;
    }
    return true;
}

const char* help_text =
    "Usage: telvar-mqtt [options]\n"
    "\n"
    "Bridges every relay board on one serial line to an MQTT broker: states and\n"
    "availability are published, commands are taken from set topics and carried\n"
    "out only as the boards confirm them, and Home Assistant finds the boards by\n"
    "MQTT discovery.\n"
    "\n"
    "Options (over the configuration file; defaults in brackets):\n"
    "  --config FILE            configuration file [/etc/telvar/mqtt.conf when present]\n"
    "  -p, --port PORT          serial port number as in Telvar's window, or a device\n"
    "                           path such as /dev/ttyUSB0 [1]\n"
    "  --boards A,B,...         board addresses on the line, 0 to 255, for this run\n"
    "                           [1, or the addresses in the file's [boards]]\n"
    "  --broker HOST[:PORT]     the MQTT broker [localhost:1883; 8883 with --cafile]\n"
    "  --id BRIDGE_ID           this bridge's id: letters, digits, _ and - [telvar]\n"
    "  --prefix P               topic prefix [telvar]\n"
    "  --discovery-prefix D     Home Assistant's discovery prefix, or off\n"
    "                           [homeassistant]\n"
    "  --username U             user name at the broker\n"
    "  --password-file F        file whose first line is the password (never the\n"
    "                           password itself: it would show in the process list)\n"
    "  --cafile F               CA certificate: TLS to the broker, whose certificate\n"
    "                           and host name are checked\n"
    "  --certfile F             client certificate (with --keyfile and --cafile)\n"
    "  --keyfile F              client key\n"
    "  --interval MS            one poll frame every MS milliseconds, 50 to 60000 [200]\n"
    "  --remove-board A,B,...   remove these boards from Home Assistant and clear\n"
    "                           their retained topics, then end (boards no longer\n"
    "                           served; the line is not opened)\n"
    "  -v, --verbose            log every frame on the line and every MQTT message\n"
    "  -h, --help               show this text\n"
    "  --version                show the version\n"
    "\n"
    "Topics, with T = PREFIX/BRIDGE_ID:\n"
    "  T/status                      online / offline (retained; the will sets offline)\n"
    "  T/ADDR/availability           online / offline (retained)\n"
    "  T/ADDR/relay/N                ON / OFF as the board reports it (retained)\n"
    "  T/ADDR/state                  {\"relays\":[true,false,...]} (retained)\n"
    "  T/ADDR/relay/N/set            ON, OFF or TOGGLE\n"
    "  T/ADDR/all/set                ON or OFF\n"
    "  T/bridge/probe, T/bridge/alive  how two bridges of one id find each other\n"
    "Commands that arrive retained are old and are ignored.\n"
    "\n"
    "Example:\n"
    "  telvar-mqtt -p /dev/ttyUSB0 --boards 1,2 --broker broker.lan\n"
    "  mosquitto_pub -h broker.lan -t telvar/telvar/1/relay/5/set -m ON\n"
    "\n"
    "Boards leave Home Assistant only when the configuration file no longer lists\n"
    "them, or with --remove-board; --boards removes nothing. SIGHUP reads the\n"
    "configuration file again; a bad file is refused and the old settings go on.\n"
    "A second bridge with the same id on the same broker finds the first and stops.\n"
    "\n"
    "Log lines go to standard error. Exit status: 0 stopped by SIGTERM or Ctrl+C\n"
    "(or the boards removed), 1 could not run, 2 bad configuration (the message\n"
    "names the file, line and key, or the option) or another bridge with this id\n"
    "already runs on the broker.\n";

} // namespace

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
    s.client_id = QStringLiteral("telvar-mqtt-%1-%2").arg(config.bridge_id, token);
    s.username = config.username;
    s.password = config.password;
    s.has_password = config.has_password;
    s.cafile = config.cafile;
    s.certfile = config.certfile;
    s.keyfile = config.keyfile;
    return s;
}

QString board_name(const bridge_config& config, int address)
{
    return config.names.value(address, QStringLiteral("Relay board %1").arg(address));
}

config_result read_configuration_text(const QByteArray& text, const QString& name)
{
    config_result result;
    reader r;
    if (!read_file_text(r, text, name) || !check_combinations(r)) {
        result.what = config_result::action::refuse;
        result.text = r.error;
        return result;
    }
    result.config = r.config;
    return result;
}

config_result load_configuration(const QStringList& arguments, const QString& default_file)
{
    config_result result;
    auto refuse = [&result](const QString& why) {
        result.what = config_result::action::refuse;
        result.text = why;
        return result;
    };

    QCommandLineParser parser;
    parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
    const QList<QCommandLineOption> options{
        {QStringLiteral("config"), QString(), QStringLiteral("FILE")},
        {{QStringLiteral("p"), QStringLiteral("port")}, QString(), QStringLiteral("PORT")},
        {QStringLiteral("boards"), QString(), QStringLiteral("LIST")},
        {QStringLiteral("broker"), QString(), QStringLiteral("HOST")},
        {QStringLiteral("id"), QString(), QStringLiteral("ID")},
        {QStringLiteral("prefix"), QString(), QStringLiteral("P")},
        {QStringLiteral("discovery-prefix"), QString(), QStringLiteral("D")},
        {QStringLiteral("username"), QString(), QStringLiteral("U")},
        {QStringLiteral("password-file"), QString(), QStringLiteral("F")},
        {QStringLiteral("cafile"), QString(), QStringLiteral("F")},
        {QStringLiteral("certfile"), QString(), QStringLiteral("F")},
        {QStringLiteral("keyfile"), QString(), QStringLiteral("F")},
        {QStringLiteral("interval"), QString(), QStringLiteral("MS")},
        {QStringLiteral("remove-board"), QString(), QStringLiteral("LIST")},
        {{QStringLiteral("v"), QStringLiteral("verbose")}, QString()},
        {{QStringLiteral("h"), QStringLiteral("help")}, QString()},
        {QStringLiteral("version"), QString()},
    };
    parser.addOptions(options);
    if (!parser.parse(arguments))
        return refuse(parser.errorText() + QStringLiteral(" (see --help)"));
    if (!parser.positionalArguments().isEmpty())
        return refuse(QStringLiteral("unexpected argument \"%1\" (see --help)")
                          .arg(parser.positionalArguments().first()));
    if (parser.isSet(QStringLiteral("help"))) {
        result.what = config_result::action::help;
        result.text = QString::fromLatin1(help_text);
        return result;
    }
    if (parser.isSet(QStringLiteral("version"))) {
        result.what = config_result::action::version;
        result.text = QStringLiteral("telvar-mqtt " TELVAR_VERSION "\n");
        return result;
    }
    for (const QString& name : parser.optionNames()) {
        if (name != QLatin1String("v") && name != QLatin1String("verbose") &&
            parser.values(name).size() > 1)
            return refuse(QStringLiteral("--%1 is given more than once").arg(name));
    }

    reader r;
    QString file = parser.value(QStringLiteral("config"));
    const bool named = !file.isEmpty();
    if (!named && !default_file.isEmpty() && QFileInfo::exists(default_file))
        file = default_file;
    if (parser.isSet(QStringLiteral("config")) && file.isEmpty())
        return refuse(QStringLiteral("--config: the file name is empty"));
    if (!file.isEmpty()) {
        QFile f(file);
        if (!f.open(QIODevice::ReadOnly)) {
            const QString why = !QFileInfo::exists(file) ? QStringLiteral("no such file")
                                                          : f.errorString();
            return refuse(QStringLiteral("%1: cannot be read: %2").arg(file, why));
        }
        if (!read_file_text(r, f.readAll(), file))
            return refuse(r.error);
    }

    // The command line over the file, option by option.
    const QList<QPair<QString, QString>> settings{
        {QStringLiteral("port"), QStringLiteral("port")},
        {QStringLiteral("boards"), QStringLiteral("boards")},
        {QStringLiteral("broker"), QStringLiteral("broker")},
        {QStringLiteral("id"), QStringLiteral("id")},
        {QStringLiteral("prefix"), QStringLiteral("prefix")},
        {QStringLiteral("discovery-prefix"), QStringLiteral("discovery_prefix")},
        {QStringLiteral("username"), QStringLiteral("username")},
        {QStringLiteral("password-file"), QStringLiteral("password_file")},
        {QStringLiteral("cafile"), QStringLiteral("cafile")},
        {QStringLiteral("certfile"), QStringLiteral("certfile")},
        {QStringLiteral("keyfile"), QStringLiteral("keyfile")},
        {QStringLiteral("interval"), QStringLiteral("interval")},
    };
    for (const auto& [option, setting] : settings) {
        if (!parser.isSet(option))
            continue;
        const QString value = parser.value(option);
        const origin at{QStringLiteral("--") + option};
        if (value.isEmpty())
            return refuse(at.text + QStringLiteral(": the value is empty"));
        if (!r.set(setting, value, at))
            return refuse(r.error);
    }
    r.config.verbose = parser.isSet(QStringLiteral("verbose"));
    if (!check_combinations(r) || !check_files(r))
        return refuse(r.error);
    if (parser.isSet(QStringLiteral("remove-board"))) {
        QString why;
        const auto removed = address_list(parser.value(QStringLiteral("remove-board")), &why);
        if (!removed)
            return refuse(QStringLiteral("--remove-board: ") + why);
        // A board still served would come back at the running bridge's next connection.
        const bool listed = r.config.boards_from_file || parser.isSet(QStringLiteral("boards"));
        for (int address : *removed) {
            if (listed && r.config.boards.contains(address))
                return refuse(QStringLiteral("--remove-board: board %1 is still served (%2): "
                                             "take it out there first")
                                  .arg(address)
                                  .arg(r.where.value(QStringLiteral("boards")).text.isEmpty()
                                           ? QStringLiteral("board 1 is served by default")
                                           : r.where.value(QStringLiteral("boards")).text));
        }
        r.config.remove_boards = *removed;
    }
    if (r.config.has_password && readable_by_others(r.config.password_file))
        result.warnings << QStringLiteral("%1: the password file can be read by other users: "
                                          "chmod 600 %2")
                               .arg(r.where.value(QStringLiteral("password_file")).text,
                                    r.config.password_file);
    result.config = r.config;
    return result;
}

} // namespace telvar::mqtt
