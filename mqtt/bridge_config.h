// What the MQTT front is told to do: the broker session, its topics and the
// boards of each line it publishes. The service's configuration reader fills
// it in; the bridge and the board removal read it.
#pragma once

#include "link/board_link.h"
#include "mqtt/mqtt_client.h"

#include <QList>
#include <QMap>
#include <QString>
#include <QStringList>

namespace telvar::mqtt {

// One of the service's lines as the bridge serves it.
struct bridge_line {
    QString name = QStringLiteral("main");
    link::board_link* link = nullptr;
    QList<int> boards{1};      // in the order given
    QMap<int, QString> names;  // board address to its name, where one was given
    std::map<int, std::map<int, qint64>> pulse_ms;  // momentary relays: address -> relay -> ms
};

struct bridge_config {
    QString broker_host = QStringLiteral("localhost");
    int broker_port = 1883;
    QString bridge_id = QStringLiteral("telvar");
    QString prefix = QStringLiteral("telvar");
    QString discovery_prefix = QStringLiteral("homeassistant");  // empty: discovery off
    QString username;
    QString password_file;
    QString password;  // read from password_file
    bool has_password = false;
    QString cafile;
    QString certfile;
    QString keyfile;
    // The boards come from the configuration file: a board the file no
    // longer lists is removed from Home Assistant. Not with --boards, which
    // serves its set for one run.
    bool boards_from_file = false;
    QStringList line_names{QStringLiteral("main")};  // the service's lines, in order
    QList<int> remove_boards;  // board keys (topics.h) to remove, then end
    QString file;              // the configuration file that was read, if any
};

/**
 * The broker session @p config asks for, without a will; the client id ends
 * in @p token, one per process.
 */
session_settings broker_session(const bridge_config& config, const QString& token);

/** The name a board goes by: its configured name or "Relay board N". */
QString board_name(const bridge_line& line, int address);

/** [A-Za-z0-9_-], not empty: bridge ids and board names. */
bool is_plain_name(const QString& text);

} // namespace telvar::mqtt
