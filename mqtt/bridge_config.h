// What the bridge is told to do: the settings of the configuration file
// (default /etc/telvar/mqtt.conf) with the command line over them, checked
// before anything is opened. Every refusal names where the bad value came
// from: the file, its line and the key, or the option.
#pragma once

#include "link/board_link.h"
#include "mqtt/mqtt_client.h"

#include <QList>
#include <QMap>
#include <QString>
#include <QStringList>

namespace telvar::mqtt {

struct bridge_config {
    link::port_spec port{1, QString()};
    QString port_text = QStringLiteral("1");
    QList<int> boards{1};     // in the order given
    // The boards come from the file's [boards]: a board the file no longer
    // lists is removed from Home Assistant. Not with --boards, which serves
    // its set for one run.
    bool boards_from_file = false;
    QList<int> remove_boards;  // --remove-board: publish their removal and end
    QMap<int, QString> names;  // board address to its name, where one was given
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
    int interval_ms = 200;
    bool verbose = false;
    QString file;  // the configuration file that was read, if any
};

// Limits of the settings, for the messages and the manual page.
constexpr int min_interval_ms = 50;
constexpr int max_interval_ms = 60000;

struct config_result {
    enum class action { run, help, version, refuse };
    action what = action::run;
    bridge_config config;
    QString text;  // the help or version text, or why the configuration is refused
    QStringList warnings;  // accepted, but worth telling (a password file others can read)
};

/**
 * Reads the command line (@p arguments[0] is the program) and the file it
 * names with --config, or @p default_file when that exists. Reads the
 * password file and checks that the TLS files can be read.
 */
config_result load_configuration(const QStringList& arguments, const QString& default_file);

/** Reads configuration text as the file @p name would give it (no files opened). */
config_result read_configuration_text(const QByteArray& text, const QString& name);

/**
 * The broker session @p config asks for, without a will; the client id ends
 * in @p token, one per process.
 */
session_settings broker_session(const bridge_config& config, const QString& token);

/** The name a board goes by: its configured name or "Relay board N". */
QString board_name(const bridge_config& config, int address);

/** [A-Za-z0-9_-], not empty: bridge ids and board names. */
bool is_plain_name(const QString& text);

} // namespace telvar::mqtt
