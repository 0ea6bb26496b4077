#include "mqtt/topics.h"

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

QString served_list(const QSet<int>& served)
{
    QList<int> sorted(served.begin(), served.end());
    std::sort(sorted.begin(), sorted.end());
    QStringList parts;
    for (int a : sorted)
        parts << QString::number(a);
    return parts.join(QStringLiteral(", "));
}

} // namespace

topic_scheme::topic_scheme(const QString& prefix, const QString& bridge_id,
                           const QString& discovery_prefix)
    : base_(prefix + QLatin1Char('/') + bridge_id), bridge_id_(bridge_id),
      discovery_(discovery_prefix)
{
}

QString topic_scheme::status() const
{
    return base_ + QStringLiteral("/status");
}

QString topic_scheme::availability(int address) const
{
    return QStringLiteral("%1/%2/availability").arg(base_).arg(address);
}

QString topic_scheme::relay(int address, int relay) const
{
    return QStringLiteral("%1/%2/relay/%3").arg(base_).arg(address).arg(relay);
}

QString topic_scheme::state(int address) const
{
    return QStringLiteral("%1/%2/state").arg(base_).arg(address);
}

QString topic_scheme::relay_set(int address, int relay) const
{
    return this->relay(address, relay) + QStringLiteral("/set");
}

QString topic_scheme::all_set(int address) const
{
    return QStringLiteral("%1/%2/all/set").arg(base_).arg(address);
}

QString topic_scheme::relay_set_filter() const
{
    return base_ + QStringLiteral("/+/relay/+/set");
}

QString topic_scheme::all_set_filter() const
{
    return base_ + QStringLiteral("/+/all/set");
}

QString topic_scheme::discovery_config(int address) const
{
    return QStringLiteral("%1/device/%2_%3/config").arg(discovery_, bridge_id_).arg(address);
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
    out << availability(address) << state(address);
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
            const QString mine = topics.bridge_id() + QLatin1Char('_');
            // Only what the broker keeps: our own configs also come back live.
            if (retained && !payload.isEmpty() && object.startsWith(mine)) {
                const int address = canonical_number(object.mid(mine.size()), 255);
                if (address >= 0 && !served.contains(address)) {
                    in.what = incoming::kind::stale_discovery;
                    in.address = address;
                }
            }
            return in;
        }
    }

    const QString head = topics.base() + QLatin1Char('/');
    if (!topic.startsWith(head) || !topic.endsWith(QLatin1String("/set")))
        return in;
    const QStringList levels = topic.mid(head.size()).split(QLatin1Char('/'));
    const bool relay_topic = levels.size() == 4 && levels[1] == QLatin1String("relay");
    const bool all_topic = levels.size() == 3 && levels[1] == QLatin1String("all");
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
    const int address = canonical_number(levels[0], 255);
    if (address < 0) {
        in.reason = shown + QStringLiteral(": \"%1\" is not a board address (0 to 255); ignored")
                                .arg(printable(levels[0].toUtf8(), 40));
        return in;
    }
    if (!served.contains(address)) {
        in.reason = shown + QStringLiteral(": this bridge serves no board %1 (it serves %2); "
                                           "ignored")
                                .arg(address)
                                .arg(served_list(served));
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
    if (payload == "ON") {
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
