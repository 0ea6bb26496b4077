#include "mqtt/discovery.h"

#include "protocol/relay_protocol.h"
#include "telvar_version.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

namespace telvar::mqtt {

QByteArray discovery_payload(const topic_scheme& topics, int address, const QString& name,
                             const std::map<int, qint64>& pulses)
{
    const QString device_id = topics.device_id(address);
    const QJsonObject device{
        {QStringLiteral("identifiers"), QJsonArray{device_id}},
        {QStringLiteral("name"), name},
        {QStringLiteral("manufacturer"), QStringLiteral("Telvar")},
        {QStringLiteral("model"), QStringLiteral("16-channel wireless relay board")},
        {QStringLiteral("sw_version"), QStringLiteral(TELVAR_VERSION)},
    };
    const QJsonObject origin{
        {QStringLiteral("name"), QStringLiteral("telvard")},
        {QStringLiteral("sw_version"), QStringLiteral(TELVAR_VERSION)},
    };
    // Both must say online: the bridge (its will says offline) and the board.
    const QJsonArray availability{
        QJsonObject{{QStringLiteral("topic"), topics.status()}},
        QJsonObject{{QStringLiteral("topic"), topics.availability(address)}},
    };
    QJsonObject components;
    for (int relay = 1; relay <= relay_count; ++relay) {
        components.insert(
            QStringLiteral("relay%1").arg(relay),
            QJsonObject{
                {QStringLiteral("p"), QStringLiteral("switch")},
                {QStringLiteral("unique_id"), QStringLiteral("%1_relay%2").arg(device_id).arg(relay)},
                {QStringLiteral("name"), QStringLiteral("Relay %1").arg(relay)},
                {QStringLiteral("command_topic"), topics.relay_set(address, relay)},
                {QStringLiteral("state_topic"), topics.relay(address, relay)},
                {QStringLiteral("payload_on"), QStringLiteral("ON")},
                {QStringLiteral("payload_off"), QStringLiteral("OFF")},
                // A retained command would be replayed at every reconnection.
                {QStringLiteral("retain"), false},
            });
    }
    for (const auto& [relay, ms] : pulses) {
        components.insert(
            QStringLiteral("relay%1_pulse").arg(relay),
            QJsonObject{
                {QStringLiteral("p"), QStringLiteral("button")},
                {QStringLiteral("unique_id"),
                 QStringLiteral("%1_relay%2_pulse").arg(device_id).arg(relay)},
                {QStringLiteral("name"), QStringLiteral("Relay %1 pulse").arg(relay)},
                {QStringLiteral("command_topic"), topics.relay_pulse(address, relay)},
                {QStringLiteral("payload_press"), QString::fromLatin1(duration_payload(ms))},
                {QStringLiteral("retain"), false},
            });
    }
    // The link's figures stay worth seeing while the board is silent: only the bridge counts.
    const QJsonArray bridge_only{QJsonObject{{QStringLiteral("topic"), topics.status()}}};
    components.insert(QStringLiteral("link_quality"),
                      QJsonObject{
                          {QStringLiteral("p"), QStringLiteral("sensor")},
                          {QStringLiteral("unique_id"),
                           device_id + QStringLiteral("_link_quality")},
                          {QStringLiteral("name"), QStringLiteral("Link quality")},
                          {QStringLiteral("state_topic"), topics.diag(address)},
                          {QStringLiteral("value_template"),
                           QStringLiteral("{{ value_json.quality }}")},
                          {QStringLiteral("unit_of_measurement"), QStringLiteral("%")},
                          {QStringLiteral("state_class"), QStringLiteral("measurement")},
                          {QStringLiteral("entity_category"), QStringLiteral("diagnostic")},
                          {QStringLiteral("availability"), bridge_only},
                      });
    components.insert(QStringLiteral("last_seen"),
                      QJsonObject{
                          {QStringLiteral("p"), QStringLiteral("sensor")},
                          {QStringLiteral("unique_id"), device_id + QStringLiteral("_last_seen")},
                          {QStringLiteral("name"), QStringLiteral("Last seen")},
                          {QStringLiteral("state_topic"), topics.diag(address)},
                          {QStringLiteral("value_template"),
                           QStringLiteral("{{ value_json.last_reply }}")},
                          {QStringLiteral("device_class"), QStringLiteral("timestamp")},
                          {QStringLiteral("entity_category"), QStringLiteral("diagnostic")},
                          {QStringLiteral("availability"), bridge_only},
                      });
    const QJsonObject config{
        {QStringLiteral("dev"), device},
        {QStringLiteral("o"), origin},
        {QStringLiteral("availability"), availability},
        {QStringLiteral("availability_mode"), QStringLiteral("all")},
        {QStringLiteral("cmps"), components},
    };
    return QJsonDocument(config).toJson(QJsonDocument::Compact);
}

} // namespace telvar::mqtt
