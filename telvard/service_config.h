// What telvard is told to do: the configuration file (default
// /etc/telvar/telvard.conf) with the command line over it, checked before
// anything is opened. Every refusal names where the bad value came from:
// the file, its line and the key, or the option.
#pragma once

#include "link/link_settings.h"
#include "link/port_spec.h"
#include "mqtt/bridge_config.h"

#include <QList>
#include <QMap>
#include <QString>
#include <QStringList>

namespace telvar::service {

// One serial line with its boards.
struct line_config {
    QString name = QStringLiteral("main");
    link::port_spec port{1, QString()};
    QString port_text = QStringLiteral("1");
    int interval_ms = 200;
    QList<int> boards{1};      // in the order given
    QMap<int, QString> names;  // board address to its name, where one was given
    // Per board, as the link takes them (link_settings.h): momentary relays,
    // interlocked groups, what a board that comes back is brought to.
    std::map<int, std::map<int, qint64>> pulse_ms;
    std::map<int, std::vector<std::vector<int>>> interlocks;
    std::map<int, link::return_mode> on_return;
    int interlock_gap_ms = 200;
};

struct local_config {
    bool enabled = true;
    QString socket;  // empty: the place socket_place() gives
    QString group = QStringLiteral("dialout");
};

struct web_config {
    bool enabled = true;
    QString listen = QStringLiteral("127.0.0.1:8080");  // as given; checked
    bool listen_given = false;  // a busy default port only turns the page off
    QString password_file;
    QByteArray password;  // its first line; empty: no login
    QString certfile;     // with keyfile: HTTPS
    QString keyfile;
};

struct service_config {
    QList<line_config> lines{line_config{}};
    local_config local;
    web_config web;
    bool mqtt_enabled = true;
    mqtt::bridge_config mqtt;  // its line_names follow lines
    bool verbose = false;
    QString file;  // the configuration file that was read, if any
};

// Limits of the settings, for the messages and the manual page.
constexpr int min_interval_ms = 50;
constexpr int max_interval_ms = 60000;
constexpr int max_interlock_gap_ms = 10000;

struct config_result {
    enum class action { run, help, version, refuse };
    action what = action::run;
    service_config config;
    QString text;          // the help or version text, or why the configuration is refused
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

/** The bridge's view of @p config's lines, on the links given in the lines' order. */
QList<mqtt::bridge_line> bridge_lines(const service_config& config,
                                      const QList<link::board_link*>& links);

/** The link settings of @p line: its poll interval, pulses, interlocks and returns. */
link::link_settings line_settings(const line_config& line);

// The line of a configuration file that holds a port, for a program that
// opens the port itself and must keep the line's rules.
struct port_line {
    enum class found { line, none, refused };
    found what = found::none;
    QString name;                    // the line's name
    link::link_settings settings;    // its settings, when found
    QString error;                   // why the file is refused (file:line: key: why)
};

/**
 * Reads configuration file @p file and finds the line whose port is @p port:
 * the same number, the same path, or the same device by another name.
 */
port_line line_at_port(const QString& file, const link::port_spec& port);

/** A line's name: a letter, then letters, digits, _ and -; at most 32. */
bool is_line_name(const QString& text);

} // namespace telvar::service
