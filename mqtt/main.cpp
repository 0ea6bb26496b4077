// telvar-mqtt: reads the configuration, then lets the bridge run on the link
// and a libmosquitto session until SIGTERM or Ctrl+C.
#include "link/board_link.h"
#include "link/stop_signals.h"
#include "mqtt/bridge.h"
#include "mqtt/bridge_config.h"
#include "mqtt/mosquitto_client.h"

#include <QCoreApplication>
#include <QLoggingCategory>

#include <cstdio>

namespace {

// Every way the program ends, in one place.
enum exit_status : int {
    stopped = 0,            // SIGTERM or Ctrl+C, offline published
    could_not_run = 1,      // nothing the configuration could have changed
    bad_configuration = 2,  // refused before anything was opened
};

bool to_journal = false;

// One line per message on standard error. Under systemd the journal reads
// the priority from a <N> prefix; in a terminal the program's name leads.
void log_line(QtMsgType type, const QMessageLogContext& context, const QString& text)
{
    const QString line = qFormatLogMessage(type, context, text);
    if (to_journal) {
        const int priority = type == QtFatalMsg      ? 2
                             : type == QtCriticalMsg ? 3
                             : type == QtWarningMsg  ? 4
                             : type == QtInfoMsg     ? 6
                                                     : 7;
        std::fprintf(stderr, "<%d>%s\n", priority, qUtf8Printable(line));
    } else {
        std::fprintf(stderr, "telvar-mqtt: %s\n", qUtf8Printable(line));
    }
    std::fflush(stderr);
}

} // namespace

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("telvar-mqtt"));

    const auto loaded = telvar::mqtt::load_configuration(
        QCoreApplication::arguments(), QStringLiteral("/etc/telvar/mqtt.conf"));
    switch (loaded.what) {
    case telvar::mqtt::config_result::action::help:
    case telvar::mqtt::config_result::action::version:
        std::fputs(qUtf8Printable(loaded.text), stdout);
        return stopped;
    case telvar::mqtt::config_result::action::refuse:
        std::fprintf(stderr, "telvar-mqtt: %s\n", qUtf8Printable(loaded.text));
        return bad_configuration;
    case telvar::mqtt::config_result::action::run:
        break;
    }
    const telvar::mqtt::bridge_config& config = loaded.config;

    to_journal = qEnvironmentVariableIsSet("JOURNAL_STREAM");
    if (!qEnvironmentVariableIsSet("QT_MESSAGE_PATTERN"))
        qSetMessagePattern(QStringLiteral(
            "%{if-warning}warning: %{endif}%{if-critical}error: %{endif}%{message}"));
    qInstallMessageHandler(log_line);
    QLoggingCategory::setFilterRules(config.verbose
                                         ? QStringLiteral("telvar.*.debug=true")
                                         : QStringLiteral("telvar.*.debug=false\n"
                                                          "telvar.*.info=true"));

    telvar::link::link_settings settings;
    settings.poll_interval_ms = config.interval_ms;
    telvar::link::board_link line(settings);
    telvar::mqtt::mosquitto_client broker;
    telvar::mqtt::bridge bridge(config, line, broker);
    QObject::connect(&bridge, &telvar::mqtt::bridge::finished, &app, [] {
        QCoreApplication::exit(stopped);
    });
    // SIGTERM, Ctrl+C or a closed terminal: offline is published, the port closed.
    telvar::link::stop_signals stop;
    if (!stop.ok()) {
        qCritical("%s", qUtf8Printable(stop.error()));
        return could_not_run;
    }
    QObject::connect(&stop, &telvar::link::stop_signals::stop_requested, &bridge,
                     [&bridge](telvar::link::stop_reason why) {
                         qInfo("%s received", qUtf8Printable(telvar::link::stop_signals::name(why)));
                         bridge.stop();
                     });
    bridge.start();
    return app.exec();
}
