#include "mqtt/topics.h"

#include "link/pulses.h"

#include <QDateTime>
#include <QJsonDocument>
#include <QJsonObject>
#include <QStringList>

#include <algorithm>

namespace telvar::mqtt {

namespace {

// An address as the bridge writes it: 0 to 255, no sign, no leading zero.
int canonical_number(const QString& text, int high)
{
    if (text.isEmpty() || text.size() > 3 || (text.size() > 1 && text.startsWith(QLatin1Char('0'))))
        return -1;
    int value = 0;
    for (const QChar c : text) {
        if (c < QLatin1Char('0') || c > QLatin1Char('9'))
            return -1;
        value = value * 10 + (c.unicode() - '0');
    }
    return value <= high ? value : -1;
}

QString served_list(const topic_scheme& topics, const QSet<int>& served)
{
    QList<int> sorted(served.begin(), served.end());
    std::sort(sorted.begin(), sorted.end());
    QStringList parts;
    for (int key : sorted)
        parts << topics.board_level(key);
    return parts.join(QStringLiteral(", "));
}

// The key of one of this bridge's device configs (ID_ADDR, ID_LINE_ADDR), or -1.
int own_device(const topic_scheme& topics, const QString& object)
{
    const QString mine = topics.bridge_id() + QLatin1Char('_');
    if (!object.startsWith(mine))
        return -1;
    const QString rest = object.mid(mine.size());
    if (!topics.with_lines()) {
        const int address = canonical_number(rest, 255);
        return address;
    }
    for (int line = 0; line < topics.lines().size(); ++line) {
        const QString head = topics.lines()[line] + QLatin1Char('_');
        if (!rest.startsWith(head))
            continue;
        const int address = canonical_number(rest.mid(head.size()), 255);
        if (address >= 0)
            return board_key(line, address);
    }
    return -1;
}

} // namespace

topic_scheme::topic_scheme(const QString& prefix, const QString& bridge_id,
                           const QString& discovery_prefix, const QStringList& lines)
    : base_(prefix + QLatin1Char('/') + bridge_id), bridge_id_(bridge_id),
      discovery_(discovery_prefix), lines_(lines)
{
}

QString topic_scheme::board_level(int key) const
{
    if (!with_lines())
        return QString::number(key_address(key));
    return lines_.value(key_line(key)) + QLatin1Char('/') + QString::number(key_address(key));
}

QString topic_scheme::board_text(int key) const
{
    if (!with_lines())
        return QStringLiteral("board %1").arg(key_address(key));
    return QStringLiteral("board %1 on line %2").arg(key_address(key)).arg(lines_.value(key_line(key)));
}

QString topic_scheme::status() const
{
    return base_ + QStringLiteral("/status");
}

QString topic_scheme::availability(int address) const
{
    return QStringLiteral("%1/%2/availability").arg(base_, board_level(address));
}

QString topic_scheme::relay(int address, int relay) const
{
    return QStringLiteral("%1/%2/relay/%3").arg(base_, board_level(address)).arg(relay);
}

QString topic_scheme::state(int address) const
{
    return QStringLiteral("%1/%2/state").arg(base_, board_level(address));
}

QString topic_scheme::relay_set(int address, int relay) const
{
    return this->relay(address, relay) + QStringLiteral("/set");
}

QString topic_scheme::all_set(int address) const
{
    return QStringLiteral("%1/%2/all/set").arg(base_, board_level(address));
}

QString topic_scheme::relay_pulse(int address, int relay) const
{
    return this->relay(address, relay) + QStringLiteral("/pulse");
}

QString topic_scheme::diag(int address) const
{
    return QStringLiteral("%1/%2/diag").arg(base_, board_level(address));
}

QString topic_scheme::relay_pulse_filter() const
{
    return base_ + (with_lines() ? QStringLiteral("/+/+/relay/+/pulse")
                                 : QStringLiteral("/+/relay/+/pulse"));
}

QString topic_scheme::relay_set_filter() const
{
    return base_ + (with_lines() ? QStringLiteral("/+/+/relay/+/set")
                                 : QStringLiteral("/+/relay/+/set"));
}

QString topic_scheme::all_set_filter() const
{
    return base_ + (with_lines() ? QStringLiteral("/+/+/all/set") : QStringLiteral("/+/all/set"));
}

QString topic_scheme::device_id(int address) const
{
    QString level = board_level(address);
    return bridge_id_ + QLatin1Char('_') + level.replace(QLatin1Char('/'), QLatin1Char('_'));
}

QString topic_scheme::discovery_config(int address) const
{
    return QStringLiteral("%1/device/%2/config").arg(discovery_, device_id(address));
}

QString topic_scheme::discovery_config_filter() const
{
    return discovery_ + QStringLiteral("/device/+/config");
}

QString topic_scheme::discovery_status() const
{
    return discovery_ + QStringLiteral("/status");
}

QStringList topic_scheme::board_topics(int address) const
{
    QStringList out;
    if (discovery())
        out << discovery_config(address);
    out << availability(address) << state(address) << diag(address);
    for (int n = 1; n <= relay_count; ++n)
        out << relay(address, n);
    return out;
}

QByteArray state_payload(const link::relay_states& relays)
{
    return QJsonDocument(QJsonObject{{QStringLiteral("relays"), link::relays_json(relays)}})
        .toJson(QJsonDocument::Compact);
}

QByteArray relay_payload(bool pulled_in)
{
    return pulled_in ? QByteArrayLiteral("ON") : QByteArrayLiteral("OFF");
}

QByteArray diag_payload(const link::board_health& h)
{
    const auto or_null = [](qint64 value) {
        return value < 0 ? QJsonValue(QJsonValue::Null) : QJsonValue(value);
    };
    const QJsonValue last_reply =
        h.last_reply_ms < 0
            ? QJsonValue(QJsonValue::Null)
            : QJsonValue(QDateTime::fromMSecsSinceEpoch(h.last_reply_ms, Qt::UTC)
                             .toString(Qt::ISODateWithMs));
    const QJsonObject o{
        {QStringLiteral("frames_sent"), qint64(h.frames_sent)},
        {QStringLiteral("replies_accepted"), qint64(h.replies_accepted)},
        {QStringLiteral("checksum_errors"), qint64(h.checksum_errors)},
        {QStringLiteral("stray_bytes"), qint64(h.stray_bytes)},
        {QStringLiteral("timeouts"), qint64(h.timeouts)},
        {QStringLiteral("retries"), qint64(h.retries)},
        {QStringLiteral("last_reply"), last_reply},
        {QStringLiteral("round_trip_ms"), or_null(h.round_trip_p50_ms)},
        {QStringLiteral("quality"), or_null(h.quality_percent)},
    };
    return QJsonDocument(o).toJson(QJsonDocument::Compact);
}

QByteArray duration_payload(qint64 ms)
{
    if (ms % 1000 != 0)
        return QByteArray::number(ms) + "ms";
    return QByteArray::number(ms / 1000) + "s";
}

std::optional<qint64> pulse_payload_ms(const QByteArray& payload)
{
    if (payload.isEmpty() || payload.size() > 20)
        return std::nullopt;
    bool digits = true;
    for (const char c : payload)
        digits = digits && c >= '0' && c <= '9';
    if (digits) {
        const qint64 ms = payload.toLongLong();
        if (ms < link::shortest_pulse_ms || ms > link::longest_pulse_ms)
            return std::nullopt;
        return ms;
    }
    // Exactly the form, no blanks: the same rule as the other payloads.
    if (payload.trimmed() != payload)
        return std::nullopt;
    return link::parse_duration(QString::fromLatin1(payload));
}

QString printable(const QByteArray& payload, int limit)
{
    QString out;
    for (int i = 0; i < payload.size() && out.size() < limit; ++i) {
        const auto c = static_cast<unsigned char>(payload[i]);
        if (c >= 0x20 && c < 0x7F && c != '\\' && c != '"')
            out += QLatin1Char(char(c));
        else
            out += QStringLiteral("\\x%1").arg(c, 2, 16, QLatin1Char('0'));
    }
    if (out.size() >= limit && payload.size() > limit)
        out += QStringLiteral("...");
    return out;
}

incoming classify(const topic_scheme& topics, const QSet<int>& served, const QString& topic,
                  const QByteArray& payload, bool retained)
{
    incoming in;
    if (topics.discovery()) {
        if (topic == topics.discovery_status()) {
            // A retained "online" arrives with every subscription, right after
            // the bridge published everything anyway.
            if (payload == "online" && !retained)
                in.what = incoming::kind::discovery_online;
            return in;
        }
        const QString config_prefix = topics.discovery_config_filter().chopped(8);  // D/device/
        if (topic.startsWith(config_prefix) && topic.endsWith(QLatin1String("/config"))) {
            const QString object = topic.mid(config_prefix.size()).chopped(7);
            // Only what the broker keeps: our own configs also come back live.
            if (retained && !payload.isEmpty()) {
                const int key = own_device(topics, object);
                if (key >= 0 && !served.contains(key)) {
                    in.what = incoming::kind::stale_discovery;
                    in.address = key;
                }
            }
            return in;
        }
    }

    const QString head = topics.base() + QLatin1Char('/');
    const bool pulse_topic = topic.endsWith(QLatin1String("/pulse"));
    if (!topic.startsWith(head) || (!topic.endsWith(QLatin1String("/set")) && !pulse_topic))
        return in;
    QStringList levels = topic.mid(head.size()).split(QLatin1Char('/'));
    // With lines the board is two levels, LINE/ADDR; the line is read first.
    QString line_level;
    if (topics.with_lines()) {
        if (levels.size() < 4)
            return in;
        line_level = levels.takeFirst();
    }
    const bool relay_topic = levels.size() == 4 && levels[1] == QLatin1String("relay");
    const bool all_topic = levels.size() == 3 && levels[1] == QLatin1String("all") && !pulse_topic;
    if (!relay_topic && !all_topic)
        return in;

    in.what = incoming::kind::refused;
    // Topics come from anyone on the broker: escaped in the log like payloads.
    const QString shown =
        QStringLiteral("%1 \"%2\"").arg(printable(topic.toUtf8(), 200), printable(payload));
    if (retained) {
        in.reason = shown + QStringLiteral(": arrived retained, so it is an old command, not a "
                                           "wish of now; ignored");
        return in;
    }
    int line = 0;
    if (topics.with_lines()) {
        line = int(topics.lines().indexOf(line_level));
        if (line < 0) {
            in.reason = shown + QStringLiteral(": \"%1\" is not a line of this service (%2); "
                                               "ignored")
                                    .arg(printable(line_level.toUtf8(), 40),
                                         topics.lines().join(QStringLiteral(", ")));
            return in;
        }
    }
    const int number = canonical_number(levels[0], 255);
    if (number < 0) {
        in.reason = shown + QStringLiteral(": \"%1\" is not a board address (0 to 255); ignored")
                                .arg(printable(levels[0].toUtf8(), 40));
        return in;
    }
    const int address = board_key(line, number);
    if (!served.contains(address)) {
        in.reason = shown + QStringLiteral(": this bridge serves no %1 (it serves %2); "
                                           "ignored")
                                .arg(topics.board_text(address), served_list(topics, served));
        return in;
    }
    int relay = 0;
    if (relay_topic) {
        relay = canonical_number(levels[2], 99);
        if (relay < 1 || relay > relay_count) {
            in.reason =
                shown + QStringLiteral(": \"%1\" is not a relay number (1 to 16); ignored")
                            .arg(printable(levels[2].toUtf8(), 40));
            return in;
        }
    }
    command cmd{address, relay, command::action::on};
    if (pulse_topic) {
        const auto ms = pulse_payload_ms(payload);
        if (!ms) {
            in.reason = shown + QStringLiteral(": the payload is not a duration from 100ms to 24h "
                                               "(500ms, 2s, 1.5m, 1h, or a number of "
                                               "milliseconds); ignored");
            return in;
        }
        cmd.what = command::action::pulse;
        cmd.pulse_ms = *ms;
    } else if (payload == "ON") {
        cmd.what = command::action::on;
    } else if (payload == "OFF") {
        cmd.what = command::action::off;
    } else if (payload == "TOGGLE" && relay_topic) {
        cmd.what = command::action::toggle;
    } else {
        in.reason = shown + (relay_topic ? QStringLiteral(": the payload is not ON, OFF or "
                                                          "TOGGLE; ignored")
                                         : QStringLiteral(": the payload is not ON or OFF; "
                                                          "ignored"));
        return in;
    }
    in.what = incoming::kind::command;
    in.cmd = cmd;
    return in;
}

} // namespace telvar::mqtt
