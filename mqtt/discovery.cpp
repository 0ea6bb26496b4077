#include "mqtt/discovery.h"

#include "protocol/relay_protocol.h"
#include "telvar_version.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

namespace telvar::mqtt {

QByteArray discovery_payload(const topic_scheme& topics, int address, const QString& name)
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
