#include "telvard/service_config.h"

#include "link/pulses.h"
#include "mqtt/system.h"
#include "mqtt/topics.h"
#include "serial/port_mapping.h"
#include "telvard/ini_file.h"
#include "protocol/decimal.h"
#include "telvar_version.h"
#include "web/listen_address.h"

#include <QCommandLineParser>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QRegularExpression>
#include <QSet>

#include <optional>

namespace telvar::service {

using mqtt::is_plain_name;

namespace {

// Where a setting came from, for the message that refuses it.
struct origin {
    QString text;  // "FILE:LINE: [section] key" or "--option"
};

struct reader {
    service_config config;
    QHash<QString, origin> where;  // setting name to where it was last set
    QString error;
    bool broker_port_given = false;
    bool boards_given = false;  // --boards: this run's boards, removing nothing

    bool refuse(const origin& at, const QString& why)
    {
        error = at.text + QStringLiteral(": ") + why;
        return false;
    }

    bool set_line(line_config& line, const QString& key, const QString& value, const origin& at);
    bool set_board(line_config& line, int address, const QString& key, const QString& value,
                   const origin& at);
    bool set_mqtt(const QString& key, const QString& value, const origin& at);
    bool set_local(const QString& key, const QString& value, const origin& at);
    bool set_web(const QString& key, const QString& value, const origin& at);
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

// "3:500ms, 7:2s": momentary relays and their times.
std::optional<std::map<int, qint64>> pulse_list(const QString& value, QString* why)
{
    std::map<int, qint64> pulses;
    for (const QString& raw : value.split(QLatin1Char(','))) {
        const QString part = raw.trimmed();
        const int colon = int(part.indexOf(QLatin1Char(':')));
        if (colon < 0) {
            *why = QStringLiteral("\"%1\" is not RELAY:DURATION, for example 3:500ms").arg(part);
            return std::nullopt;
        }
        const QString number = part.left(colon).trimmed();
        const auto relay = whole_number(number, 1, relay_count);
        if (!relay) {
            *why = QStringLiteral("\"%1\" is not a relay from 1 to 16").arg(number);
            return std::nullopt;
        }
        if (pulses.count(*relay)) {
            *why = QStringLiteral("relay %1 is given twice").arg(*relay);
            return std::nullopt;
        }
        QString error;
        const auto ms = link::parse_duration(part.mid(colon + 1).trimmed(), &error);
        if (!ms) {
            *why = QStringLiteral("relay %1: %2").arg(*relay).arg(error);
            return std::nullopt;
        }
        pulses[*relay] = *ms;
    }
    return pulses;
}

// "1,2; 3,4,5": groups of two or more relays, none in two groups.
std::optional<std::vector<std::vector<int>>> interlock_groups(const QString& value, QString* why)
{
    std::vector<std::vector<int>> groups;
    QSet<int> seen;
    for (const QString& raw_group : value.split(QLatin1Char(';'))) {
        std::vector<int> group;
        for (const QString& raw : raw_group.split(QLatin1Char(','))) {
            const QString number = raw.trimmed();
            const auto relay = whole_number(number, 1, relay_count);
            if (!relay) {
                *why = QStringLiteral("\"%1\" is not a relay from 1 to 16 (groups are written "
                                      "1,2; 3,4,5)")
                           .arg(number);
                return std::nullopt;
            }
            if (seen.contains(*relay)) {
                *why = QStringLiteral("relay %1 is in two groups, or twice in one").arg(*relay);
                return std::nullopt;
            }
            seen.insert(*relay);
            group.push_back(*relay);
        }
        if (group.size() < 2) {
            *why = QStringLiteral("the group of relay %1 alone interlocks nothing: a group has "
                                  "two relays or more")
                       .arg(group.front());
            return std::nullopt;
        }
        groups.push_back(group);
    }
    return groups;
}

// A topic prefix: one or more levels, none empty, no wildcards, not a $ topic.
bool is_topic_prefix(const QString& text)
{
    static const QRegularExpression levels(QStringLiteral("^[^/+#\\x00-\\x1F]+(/[^/+#\\x00-\\x1F]+)*$"));
    return !text.startsWith(QLatin1Char('$')) && text.size() <= 200 &&
           levels.match(text).hasMatch();
}


std::optional<bool> truth(const QString& value)
{
    static const QStringList yes{QStringLiteral("true"), QStringLiteral("yes"), QStringLiteral("on")};
    static const QStringList no{QStringLiteral("false"), QStringLiteral("no"), QStringLiteral("off")};
    if (yes.contains(value))
        return true;
    if (no.contains(value))
        return false;
    return std::nullopt;
}

bool reader::set_line(line_config& line, const QString& key, const QString& value,
                      const origin& at)
{
    where.insert(line.name + QLatin1Char('/') + key, at);
    if (key == QLatin1String("port")) {
        const auto port = link::port_spec::parse(value);
        if (!port)
            return refuse(at, QStringLiteral("\"%1\" is neither a port number nor a device path")
                                  .arg(value));
        line.port = *port;
        line.port_text = value;
    } else if (key == QLatin1String("interval")) {
        const auto ms = whole_number(value, min_interval_ms, max_interval_ms);
        if (!ms)
            return refuse(at, QStringLiteral("\"%1\" is not a time from %2 to %3 ms")
                                  .arg(value)
                                  .arg(min_interval_ms)
                                  .arg(max_interval_ms));
        line.interval_ms = *ms;
    } else if (key == QLatin1String("boards")) {
        QString why;
        const auto boards = address_list(value, &why);
        if (!boards)
            return refuse(at, why);
        line.boards = *boards;
    } else if (key == QLatin1String("interlock_gap")) {
        QString why;
        const auto ms = link::parse_duration(value, 0, max_interlock_gap_ms, &why);
        if (!ms)
            return refuse(at, why);
        line.interlock_gap_ms = int(*ms);
    }
    return true;
}

bool reader::set_board(line_config& line, int address, const QString& key, const QString& value,
                       const origin& at)
{
    QString why;
    if (key == QLatin1String("pulse")) {
        const auto pulses = pulse_list(value, &why);
        if (!pulses)
            return refuse(at, why);
        line.pulse_ms[address] = *pulses;
    } else if (key == QLatin1String("interlock")) {
        const auto groups = interlock_groups(value, &why);
        if (!groups)
            return refuse(at, why);
        line.interlocks[address] = *groups;
    } else if (key == QLatin1String("on_return")) {
        static const QMap<QString, link::return_mode> modes{
            {QStringLiteral("keep"), link::return_mode::keep},
            {QStringLiteral("restore"), link::return_mode::restore},
            {QStringLiteral("off"), link::return_mode::off}};
        if (!modes.contains(value))
            return refuse(at, QStringLiteral("\"%1\" is not keep, restore or off").arg(value));
        line.on_return[address] = modes.value(value);
    }
    return true;
}

bool reader::set_local(const QString& key, const QString& value, const origin& at)
{
    where.insert(QStringLiteral("local/") + key, at);
    if (key == QLatin1String("enabled")) {
        const auto on = truth(value);
        if (!on)
            return refuse(at, QStringLiteral("\"%1\" is neither true nor false").arg(value));
        config.local.enabled = *on;
    } else if (key == QLatin1String("socket")) {
        if (value.isEmpty()) {
            config.local.socket.clear();
            return true;
        }
        if (!value.startsWith(QLatin1Char('/')) && !value.startsWith(QLatin1String("\\\\.\\pipe\\")))
            return refuse(at, QStringLiteral("\"%1\" is not an absolute path").arg(value));
        config.local.socket = value;
    } else if (key == QLatin1String("group")) {
        static const QRegularExpression group_name(QStringLiteral("^[A-Za-z_][A-Za-z0-9_-]{0,31}$"));
        if (!group_name.match(value).hasMatch())
            return refuse(at, QStringLiteral("\"%1\" is not a group name").arg(value));
        config.local.group = value;
    }
    return true;
}

bool reader::set_web(const QString& key, const QString& value, const origin& at)
{
    where.insert(QStringLiteral("web/") + key, at);
    if (key == QLatin1String("enabled")) {
        const auto on = truth(value);
        if (!on)
            return refuse(at, QStringLiteral("\"%1\" is neither true nor false").arg(value));
        config.web.enabled = *on;
    } else if (key == QLatin1String("listen")) {
        if (!web::read_listen_address(value))
            return refuse(at, QStringLiteral("\"%1\" is not ADDRESS:PORT, such as 127.0.0.1:8080, "
                                             "[::1]:8080 or *:8080 (every address)")
                                  .arg(value));
        config.web.listen = value;
        config.web.listen_given = true;
    } else if (key == QLatin1String("password_file")) {
        config.web.password_file = value;
    } else if (key == QLatin1String("certfile")) {
        config.web.certfile = value;
    } else if (key == QLatin1String("keyfile")) {
        config.web.keyfile = value;
    }
    return true;
}

bool reader::set_mqtt(const QString& setting, const QString& value, const origin& at)
{
    mqtt::bridge_config& m = config.mqtt;
    where.insert(setting, at);
    if (setting == QLatin1String("enabled")) {
        const auto on = truth(value);
        if (!on)
            return refuse(at, QStringLiteral("\"%1\" is neither true nor false").arg(value));
        config.mqtt_enabled = *on;
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
            m.broker_port = *number;
            broker_port_given = true;
        } else {
            m.broker_port = 1883;
            broker_port_given = false;
        }
        m.broker_host = host;
    } else if (setting == QLatin1String("id")) {
        if (!is_plain_name(value))
            return refuse(at, QStringLiteral("\"%1\" is not a bridge id: letters, digits, _ and - "
                                             "only, not empty")
                                  .arg(value));
        m.bridge_id = value;
    } else if (setting == QLatin1String("prefix")) {
        if (!is_topic_prefix(value))
            return refuse(at, QStringLiteral("\"%1\" is not a topic prefix: not empty, no + or #, "
                                             "no empty level, not starting with $")
                                  .arg(value));
        m.prefix = value;
    } else if (setting == QLatin1String("discovery_prefix")) {
        if (value == QLatin1String("off")) {
            m.discovery_prefix.clear();
        } else if (!is_topic_prefix(value)) {
            return refuse(at, QStringLiteral("\"%1\" is neither off nor a topic prefix: not empty, "
                                             "no + or #, no empty level, not starting with $")
                                  .arg(value));
        } else {
            m.discovery_prefix = value;
        }
    } else if (setting == QLatin1String("username")) {
        m.username = value;
    } else if (setting == QLatin1String("password_file")) {
        m.password_file = value;
    } else if (setting == QLatin1String("cafile")) {
        m.cafile = value;
    } else if (setting == QLatin1String("certfile")) {
        m.certfile = value;
    } else if (setting == QLatin1String("keyfile")) {
        m.keyfile = value;
    }
    return true;
}

const QStringList line_keys{QStringLiteral("port"), QStringLiteral("interval"),
                            QStringLiteral("boards"), QStringLiteral("interlock_gap")};
const QStringList board_keys_in_line{QStringLiteral("pulse"), QStringLiteral("interlock"),
                                     QStringLiteral("on_return")};
const QStringList local_keys{QStringLiteral("enabled"), QStringLiteral("socket"),
                             QStringLiteral("group")};
const QStringList web_keys{QStringLiteral("enabled"), QStringLiteral("listen"),
                           QStringLiteral("password_file"), QStringLiteral("certfile"),
                           QStringLiteral("keyfile")};
const QStringList mqtt_keys{
    QStringLiteral("enabled"),       QStringLiteral("broker"),   QStringLiteral("id"),
    QStringLiteral("prefix"),        QStringLiteral("discovery_prefix"),
    QStringLiteral("username"),      QStringLiteral("password_file"),
    QStringLiteral("cafile"),        QStringLiteral("certfile"), QStringLiteral("keyfile")};

bool read_file_text(reader& r, const QByteArray& text, const QString& name)
{
    const ini_document doc = read_ini(text);
    if (!doc.error.isEmpty())
        return r.refuse({QStringLiteral("%1:%2").arg(name).arg(doc.error_line)}, doc.error);

    // Sections first: which lines there are, each once.
    QHash<QString, int> section_lines;
    QList<line_config> lines;
    QHash<QString, int> line_index;
    bool has_mqtt = false;
    for (const ini_section& s : doc.sections) {
        const origin at{QStringLiteral("%1:%2: [%3]").arg(name).arg(s.line).arg(s.name)};
        QString section = s.name;
        if (section.startsWith(QLatin1String("line ")) || section == QLatin1String("line")) {
            const QString line_name = section.mid(5).trimmed();
            if (!is_line_name(line_name))
                return r.refuse(at, QStringLiteral("\"%1\" is not a line's name: a letter, then "
                                                   "letters, digits, _ and -, at most 32 (for "
                                                   "example [line hall])")
                                        .arg(line_name));
            section = QStringLiteral("line ") + line_name;
            if (!section_lines.contains(section)) {
                line_index.insert(line_name, int(lines.size()));
                line_config line;
                line.name = line_name;
                lines.append(line);
            }
        } else if (section == QLatin1String("mqtt")) {
            has_mqtt = true;
        } else if (section != QLatin1String("local") && section != QLatin1String("web")) {
            return r.refuse(at, QStringLiteral("unknown section ([line NAME], local, web, mqtt)"));
        }
        if (section_lines.contains(section))
            return r.refuse(at, QStringLiteral("the section is given twice (first on line %1)")
                                    .arg(section_lines.value(section)));
        section_lines.insert(section, s.line);
    }
    if (!lines.isEmpty())
        r.config.lines = lines;

    QHash<QString, int> key_lines;
    QHash<QString, QHash<int, int>> named;  // line to board address to the line of the file
    QHash<QString, QMap<int, origin>> board_settings;  // line to board address to its first setting
    for (const ini_entry& e : doc.entries) {
        const origin at{
            QStringLiteral("%1:%2: [%3] %4").arg(name).arg(e.line).arg(e.section, e.key)};
        const bool in_line = e.section.startsWith(QLatin1String("line"));
        const QString line_name = in_line ? e.section.mid(5).trimmed() : QString();
        line_config* line = in_line ? &r.config.lines[line_index.value(line_name)] : nullptr;
        if (line && !e.key.isEmpty() && e.key[0].isDigit() && e.key.contains(QLatin1Char('.'))) {
            // ADDRESS.SETTING = VALUE: what the link does with one board's relays.
            const QString number = e.key.section(QLatin1Char('.'), 0, 0);
            const QString setting = e.key.section(QLatin1Char('.'), 1);
            const auto address = whole_number(number, 0, 255);
            if (!address)
                return r.refuse(at, QStringLiteral("a board's key starts with its address, from 0 "
                                                   "to 255"));
            if (!board_keys_in_line.contains(setting))
                return r.refuse(at,
                                QStringLiteral("unknown key (known for a board: ADDRESS.%1)")
                                    .arg(board_keys_in_line.join(QStringLiteral(", ADDRESS."))));
            const QString qualified =
                QStringLiteral("%1/%2.%3").arg(e.section).arg(*address).arg(setting);
            if (key_lines.contains(qualified))
                return r.refuse(at, QStringLiteral("the key is given twice (first on line %1)")
                                        .arg(key_lines.value(qualified)));
            key_lines.insert(qualified, e.line);
            if (e.value.isEmpty())
                return r.refuse(at, QStringLiteral("the value is empty"));
            if (!r.set_board(*line, *address, setting, e.value, at))
                return false;
            if (!board_settings[line_name].contains(*address))
                board_settings[line_name].insert(*address, at);
            continue;
        }
        if (line && !e.key.isEmpty() && e.key[0].isDigit()) {
            // ADDRESS = NAME: a board's name in Home Assistant and the logs.
            const auto address = whole_number(e.key, 0, 255);
            if (!address)
                return r.refuse(at, QStringLiteral("a board's key is its address, from 0 to 255"));
            QHash<int, int>& seen = named[line_name];
            if (seen.contains(*address))
                return r.refuse(at, QStringLiteral("address %1 is given twice (first on line %2)")
                                        .arg(*address)
                                        .arg(seen.value(*address)));
            if (!is_plain_name(e.value))
                return r.refuse(at, QStringLiteral("\"%1\" is not a board name: letters, digits, "
                                                   "_ and - only, not empty")
                                        .arg(e.value));
            seen.insert(*address, e.line);
            line->names.insert(*address, e.value);
            continue;
        }
        const QStringList& keys = line                                  ? line_keys
                                  : e.section == QLatin1String("local") ? local_keys
                                  : e.section == QLatin1String("web")   ? web_keys
                                                                        : mqtt_keys;
        if (!keys.contains(e.key))
            return r.refuse(at, QStringLiteral("unknown key (known in [%1]: %2%3)")
                                    .arg(e.section, keys.join(QStringLiteral(", ")),
                                         line ? QStringLiteral(", ADDRESS = NAME and "
                                                               "ADDRESS.pulse, .interlock, "
                                                               ".on_return")
                                              : QString()));
        const QString qualified = e.section + QLatin1Char('/') + e.key;
        if (key_lines.contains(qualified))
            return r.refuse(at, QStringLiteral("the key is given twice (first on line %1)")
                                    .arg(key_lines.value(qualified)));
        key_lines.insert(qualified, e.line);
        // An empty optional value is the same as leaving the key out.
        static const QStringList optional{QStringLiteral("username"),
                                          QStringLiteral("password_file"),
                                          QStringLiteral("cafile"), QStringLiteral("certfile"),
                                          QStringLiteral("keyfile"), QStringLiteral("socket")};
        if (e.value.isEmpty() && !optional.contains(e.key))
            return r.refuse(at, QStringLiteral("the value is empty"));
        const bool ok = line ? r.set_line(*line, e.key, e.value, at)
                        : e.section == QLatin1String("local") ? r.set_local(e.key, e.value, at)
                        : e.section == QLatin1String("web")   ? r.set_web(e.key, e.value, at)
                                                              : r.set_mqtt(e.key, e.value, at);
        if (!ok)
            return false;
    }
    // Without boards = the named boards are the line's; a name for a board
    // the list leaves out is a mistake.
    for (line_config& line : r.config.lines) {
        const origin at{QStringLiteral("%1:%2: [line %3]")
                            .arg(name)
                            .arg(section_lines.value(QStringLiteral("line ") + line.name))
                            .arg(line.name)};
        if (!section_lines.contains(QStringLiteral("line ") + line.name))
            continue;  // the default line
        const QHash<int, int> seen = named.value(line.name);
        if (!key_lines.contains(QStringLiteral("line ") + line.name + QStringLiteral("/boards"))) {
            if (!seen.isEmpty()) {
                QList<std::pair<int, int>> by_line;
                for (auto it = seen.cbegin(); it != seen.cend(); ++it)
                    by_line.append({it.value(), it.key()});
                std::sort(by_line.begin(), by_line.end());
                line.boards.clear();
                for (const auto& [file_line, address] : by_line)
                    line.boards.append(address);
            }
            r.where.insert(line.name + QStringLiteral("/boards"), at);
            continue;
        }
        for (auto it = seen.cbegin(); it != seen.cend(); ++it)
            if (!line.boards.contains(it.key()))
                return r.refuse({QStringLiteral("%1:%2: [line %3] %4")
                                     .arg(name)
                                     .arg(it.value())
                                     .arg(line.name)
                                     .arg(it.key())},
                                QStringLiteral("board %1 is named but not in the line's boards")
                                    .arg(it.key()));
    }
    // A board's settings are for a board of the line.
    for (const line_config& line : r.config.lines) {
        const QMap<int, origin> set = board_settings.value(line.name);
        for (auto it = set.cbegin(); it != set.cend(); ++it)
            if (!line.boards.contains(it.key())) {
                QStringList served;
                for (int address : line.boards)
                    served << QString::number(address);
                return r.refuse(it.value(), QStringLiteral("board %1 is not on the line (its "
                                                           "boards: %2)")
                                                .arg(it.key())
                                                .arg(served.join(QStringLiteral(","))));
            }
    }
    r.config.mqtt_enabled = has_mqtt && r.config.mqtt_enabled;
    r.config.file = name;
    r.config.mqtt.file = name;
    // The file's lists are the ones boards are removed by, unless --boards overrides them.
    r.config.mqtt.boards_from_file = true;
    return true;
}

// Settings that only make sense together.
bool check_combinations(reader& r)
{
    mqtt::bridge_config& c = r.config.mqtt;
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
    const web_config& w = r.config.web;
    if (!w.certfile.isEmpty() && w.keyfile.isEmpty())
        return r.refuse(r.where.value(QStringLiteral("web/certfile")),
                        QStringLiteral("HTTPS needs the certificate's key too (keyfile in [web])"));
    if (!w.keyfile.isEmpty() && w.certfile.isEmpty())
        return r.refuse(r.where.value(QStringLiteral("web/keyfile")),
                        QStringLiteral("HTTPS needs the certificate too (certfile in [web])"));
    if (w.enabled && w.password_file.isEmpty()) {
        // Anyone who can reach the page can switch the relays.
        const auto at = web::read_listen_address(w.listen);
        if (at && !web::stays_on_this_machine(at->address)) {
            origin where = r.where.value(QStringLiteral("web/listen"));
            if (where.text.isEmpty())
                where.text = QStringLiteral("[web] listen");
            return r.refuse(where,
                            QStringLiteral("the web page on %1 can be reached from other "
                                           "machines, so it needs a password: set password_file "
                                           "in [web] to a file whose first line is the password, "
                                           "or listen on 127.0.0.1")
                                .arg(w.listen));
        }
    }
    // TLS brokers listen on 8883 unless told otherwise.
    if (!c.cafile.isEmpty() && !r.broker_port_given)
        c.broker_port = 8883;
    c.line_names.clear();
    for (const line_config& line : r.config.lines)
        c.line_names << line.name;
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

// The first line of a password file; a final newline is not part of it.
QByteArray first_line(QByteArray text)
{
    const int end = text.indexOf('\n');
    if (end >= 0)
        text.truncate(end);
    if (text.endsWith('\r'))
        text.chop(1);
    return text;
}

bool check_web_files(reader& r)
{
    web_config& w = r.config.web;
    if (!w.enabled)
        return true;
    QByteArray password;
    if (!check_readable(r, QStringLiteral("web/password_file"), w.password_file, &password) ||
        !check_readable(r, QStringLiteral("web/certfile"), w.certfile, nullptr) ||
        !check_readable(r, QStringLiteral("web/keyfile"), w.keyfile, nullptr))
        return false;
    if (!w.password_file.isEmpty()) {
        w.password = first_line(password);
        if (w.password.isEmpty())
            return r.refuse(r.where.value(QStringLiteral("web/password_file")),
                            QStringLiteral("%1 holds no password on its first line")
                                .arg(w.password_file));
    }
    return true;
}

bool check_files(reader& r)
{
    if (!check_web_files(r))
        return false;
    mqtt::bridge_config& c = r.config.mqtt;
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

// "7" with one line, "hall/7" with several: a board's key (mqtt/topics.h).
std::optional<QList<int>> board_keys(const service_config& config, const QString& value,
                                     QString* why)
{
    QList<int> keys;
    for (const QString& raw : value.split(QLatin1Char(','))) {
        const QString part = raw.trimmed();
        int line = 0;
        QString number = part;
        const int slash = int(part.indexOf(QLatin1Char('/')));
        if (slash >= 0) {
            line = -1;
            for (int i = 0; i < config.lines.size(); ++i)
                if (config.lines[i].name == part.left(slash))
                    line = i;
            if (line < 0) {
                *why = QStringLiteral("\"%1\" is not one of the lines (%2)")
                           .arg(part.left(slash), config.mqtt.line_names.join(QStringLiteral(", ")));
                return std::nullopt;
            }
            number = part.mid(slash + 1);
        } else if (config.lines.size() > 1) {
            *why = QStringLiteral("\"%1\": with more than one line give LINE/ADDRESS, for "
                                  "example %2/%1")
                       .arg(part, config.lines.first().name);
            return std::nullopt;
        }
        const auto address = whole_number(number, 0, 255);
        if (!address) {
            *why = QStringLiteral("\"%1\" is not an address from 0 to 255").arg(number);
            return std::nullopt;
        }
        keys.append(mqtt::board_key(line, *address));
    }
    return keys;
}

const char* help_text =
    "Usage: telvard [options]\n"
    "\n"
    "Holds the serial lines to the PC's radio modules and serves their relay\n"
    "boards to every client at once: telvarctl and other programs on the local\n"
    "socket, home automation over an MQTT broker. Every switch is carried out\n"
    "through one queue per line and confirmed only by the board's own reply.\n"
    "\n"
    "Options (over the configuration file; defaults in brackets):\n"
    "  --config FILE            configuration file [/etc/telvar/telvard.conf when\n"
    "                           present; without one: line main on port 1, board 1,\n"
    "                           the local socket, MQTT on localhost:1883]\n"
    "  --socket PATH            the local socket [/run/telvar/telvard.sock as root or\n"
    "                           under systemd, else $XDG_RUNTIME_DIR/telvar/telvard.sock]\n"
    "  --web ADDRESS:PORT       the web page and its API [127.0.0.1:8080]; anything but\n"
    "                           the loopback needs password_file in [web]\n"
    "  --no-web                 no web page, whatever the file says\n"
    "  -v, --verbose            log every frame on the line and every MQTT message\n"
    "  -h, --help               show this text\n"
    "  --version                show the version\n"
    "\n"
    "With one line, over its [line NAME] section:\n"
    "  -p, --port PORT          serial port number as in Telvar's window, or a device\n"
    "                           path such as /dev/ttyUSB0 [1]\n"
    "  --boards A,B,...         board addresses on the line, 0 to 255, for this run\n"
    "  --interval MS            one poll frame every MS milliseconds, 50 to 60000 [200]\n"
    "\n"
    "MQTT, over the file's [mqtt] section (these options turn MQTT on):\n"
    "  --broker HOST[:PORT]     the MQTT broker [localhost:1883; 8883 with --cafile]\n"
    "  --id BRIDGE_ID           this service's id on the broker: letters, digits, _\n"
    "                           and - [telvar]\n"
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
    "  --no-mqtt                no MQTT, whatever the file says\n"
    "  --remove-board A,B,...   remove these boards from Home Assistant and clear\n"
    "                           their retained topics, then end (LINE/ADDR with more\n"
    "                           than one line; the lines are not opened)\n"
    "\n"
    "Topics, with T = PREFIX/BRIDGE_ID (T/LINE/ADDR/... with more than one line):\n"
    "  T/status                      online / offline (retained; the will sets offline)\n"
    "  T/ADDR/availability           online / offline (retained)\n"
    "  T/ADDR/relay/N                ON / OFF as the board reports it (retained)\n"
    "  T/ADDR/state                  {\"relays\":[true,false,...]} (retained)\n"
    "  T/ADDR/relay/N/set            ON, OFF or TOGGLE\n"
    "  T/ADDR/all/set                ON or OFF\n"
    "  T/ADDR/relay/N/pulse          a duration (500ms, 2s, 1.5m, or ms): on, then off\n"
    "  T/ADDR/diag                   the board's link health, JSON (retained, every 60 s)\n"
    "  T/bridge/probe, T/bridge/alive  how two services of one id find each other\n"
    "Commands that arrive retained are old and are ignored.\n"
    "\n"
    "Examples:\n"
    "  telvard -p /dev/ttyUSB0 --boards 1,2 --broker broker.lan\n"
    "  telvarctl status -a 2                  (goes through the service)\n"
    "  mosquitto_pub -h broker.lan -t telvar/telvar/1/relay/5/set -m ON\n"
    "\n"
    "Boards leave Home Assistant only when the configuration file no longer lists\n"
    "them, or with --remove-board; --boards removes nothing. SIGHUP reads the\n"
    "configuration file again; a bad file is refused and the old settings go on.\n"
    "A second service with the same id on the same broker finds the first and\n"
    "stops; a second one at the same socket stops at once.\n"
    "\n"
    "Log lines go to standard error. Exit status: 0 stopped by SIGTERM or Ctrl+C\n"
    "(or the boards removed), 1 could not run, 2 bad configuration (the message\n"
    "names the file, line and key, or the option), another service with this id\n"
    "already runs on the broker, or another one already serves the socket.\n";

} // namespace

bool is_line_name(const QString& text)
{
    static const QRegularExpression name(QStringLiteral("^[A-Za-z][A-Za-z0-9_-]{0,31}$"));
    return name.match(text).hasMatch();
}

link::link_settings line_settings(const line_config& line)
{
    link::link_settings settings;
    settings.poll_interval_ms = line.interval_ms;
    settings.pulse_ms = line.pulse_ms;
    settings.interlocks = line.interlocks;
    settings.interlock_gap_ms = line.interlock_gap_ms;
    settings.on_return = line.on_return;
    return settings;
}

port_line line_at_port(const QString& file, const link::port_spec& port)
{
    port_line found;
    QFile f(file);
    if (!f.open(QIODevice::ReadOnly)) {
        found.what = port_line::found::refused;
        found.error = QStringLiteral("%1: cannot be read: %2")
                          .arg(file, QFileInfo::exists(file) ? f.errorString()
                                                             : QStringLiteral("no such file"));
        return found;
    }
    reader r;
    if (!read_file_text(r, f.readAll(), file)) {
        found.what = port_line::found::refused;
        found.error = r.error;
        return found;
    }
    const auto real = [](const QString& path) {
        const QString canonical = QFileInfo(path).canonicalFilePath();
        return canonical.isEmpty() ? path : canonical;
    };
    const auto device = [&](const link::port_spec& p) {
        return real(p.number > 0 ? port_device(p.number) : p.path);
    };
    const QString asked = device(port);
    for (const line_config& line : r.config.lines) {
        const bool same = (port.number > 0 && line.port.number == port.number)
                          || (port.number == 0 && line.port.path == port.path)
                          || (!asked.isEmpty() && device(line.port) == asked);
        if (same) {
            found.what = port_line::found::line;
            found.name = line.name;
            found.settings = line_settings(line);
            return found;
        }
    }
    return found;
}

QList<mqtt::bridge_line> bridge_lines(const service_config& config,
                                      const QList<link::board_link*>& links)
{
    QList<mqtt::bridge_line> out;
    for (int i = 0; i < config.lines.size(); ++i) {
        const line_config& line = config.lines[i];
        out.append({line.name, links.value(i), line.boards, line.names, line.pulse_ms});
    }
    return out;
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
        {QStringLiteral("socket"), QString(), QStringLiteral("PATH")},
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
        {QStringLiteral("no-mqtt"), QString()},
        {QStringLiteral("web"), QString(), QStringLiteral("ADDRESS:PORT")},
        {QStringLiteral("no-web"), QString()},
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
        result.text = QStringLiteral("telvard " TELVAR_VERSION "\n");
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
    const QStringList line_options{QStringLiteral("port"), QStringLiteral("boards"),
                                   QStringLiteral("interval")};
    for (const QString& option : line_options) {
        if (!parser.isSet(option))
            continue;
        const QString value = parser.value(option);
        const origin at{QStringLiteral("--") + option};
        if (value.isEmpty())
            return refuse(at.text + QStringLiteral(": the value is empty"));
        if (r.config.lines.size() > 1)
            return refuse(QStringLiteral("--%1: the configuration has %2 lines; give each its %1 "
                                         "in its [line NAME] section of %3")
                              .arg(option)
                              .arg(r.config.lines.size())
                              .arg(r.config.file));
        if (!r.set_line(r.config.lines.first(), option, value, at))
            return refuse(r.error);
        if (option == QLatin1String("boards")) {
            line_config& first = r.config.lines.first();
            first.names.removeIf([&](const auto& it) { return !first.boards.contains(it.key()); });
            for (int address = 0; address <= 255; ++address) {
                if (first.boards.contains(address))
                    continue;
                first.pulse_ms.erase(address);
                first.interlocks.erase(address);
                first.on_return.erase(address);
            }
            r.config.mqtt.boards_from_file = false;
            r.boards_given = true;
        }
    }
    const QList<QPair<QString, QString>> mqtt_options{
        {QStringLiteral("broker"), QStringLiteral("broker")},
        {QStringLiteral("id"), QStringLiteral("id")},
        {QStringLiteral("prefix"), QStringLiteral("prefix")},
        {QStringLiteral("discovery-prefix"), QStringLiteral("discovery_prefix")},
        {QStringLiteral("username"), QStringLiteral("username")},
        {QStringLiteral("password-file"), QStringLiteral("password_file")},
        {QStringLiteral("cafile"), QStringLiteral("cafile")},
        {QStringLiteral("certfile"), QStringLiteral("certfile")},
        {QStringLiteral("keyfile"), QStringLiteral("keyfile")},
    };
    for (const auto& [option, setting] : mqtt_options) {
        if (!parser.isSet(option))
            continue;
        const QString value = parser.value(option);
        const origin at{QStringLiteral("--") + option};
        if (value.isEmpty())
            return refuse(at.text + QStringLiteral(": the value is empty"));
        if (!r.set_mqtt(setting, value, at))
            return refuse(r.error);
        r.config.mqtt_enabled = true;
    }
    if (parser.isSet(QStringLiteral("no-mqtt")))
        r.config.mqtt_enabled = false;
    if (parser.isSet(QStringLiteral("socket"))) {
        const origin at{QStringLiteral("--socket")};
        const QString value = parser.value(QStringLiteral("socket"));
        if (value.isEmpty())
            return refuse(at.text + QStringLiteral(": the value is empty"));
        if (!r.set_local(QStringLiteral("socket"), value, at))
            return refuse(r.error);
        r.config.local.enabled = true;
    }
    if (parser.isSet(QStringLiteral("web"))) {
        const origin at{QStringLiteral("--web")};
        const QString value = parser.value(QStringLiteral("web"));
        if (value.isEmpty())
            return refuse(at.text + QStringLiteral(": the value is empty"));
        if (!r.set_web(QStringLiteral("listen"), value, at))
            return refuse(r.error);
        r.config.web.enabled = true;
    }
    if (parser.isSet(QStringLiteral("no-web")))
        r.config.web.enabled = false;
    r.config.verbose = parser.isSet(QStringLiteral("verbose"));
    if (!check_combinations(r) || !check_files(r))
        return refuse(r.error);
    if (parser.isSet(QStringLiteral("remove-board"))) {
        QString why;
        const auto removed =
            board_keys(r.config, parser.value(QStringLiteral("remove-board")), &why);
        if (!removed)
            return refuse(QStringLiteral("--remove-board: ") + why);
        // A board still served would come back at the running service's next connection.
        const bool listed = r.config.mqtt.boards_from_file || r.boards_given;
        for (int key : *removed) {
            const line_config& line = r.config.lines[mqtt::key_line(key)];
            const int address = mqtt::key_address(key);
            if (listed && line.boards.contains(address)) {
                const QString where = r.where.value(line.name + QStringLiteral("/boards")).text;
                return refuse(QStringLiteral("--remove-board: board %1 is still served (%2): "
                                             "take it out there first")
                                  .arg(address)
                                  .arg(where.isEmpty() ? QStringLiteral("board 1 is served by default")
                                                       : where));
            }
        }
        r.config.mqtt.remove_boards = *removed;
    }
    if (r.config.mqtt.has_password && mqtt::readable_by_others(r.config.mqtt.password_file))
        result.warnings << QStringLiteral("%1: the password file can be read by other users: "
                                          "chmod 600 %2")
                               .arg(r.where.value(QStringLiteral("password_file")).text,
                                    r.config.mqtt.password_file);
    if (r.config.web.enabled && !r.config.web.password.isEmpty()
        && mqtt::readable_by_others(r.config.web.password_file))
        result.warnings << QStringLiteral("%1: the password file can be read by other users: "
                                          "chmod 600 %2")
                               .arg(r.where.value(QStringLiteral("web/password_file")).text,
                                    r.config.web.password_file);
    result.config = r.config;
    return result;
}

} // namespace telvar::service
