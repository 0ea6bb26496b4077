// telvar-mqtt: reads the configuration, then lets the bridge run on the link
// and a libmosquitto session until SIGTERM or Ctrl+C; SIGHUP reads the
// configuration again. Under systemd it says when it is ready and feeds the
// watchdog from its event loop.
#include "link/board_link.h"
#include "link/stop_signals.h"
#include "mqtt/board_removal.h"
#include "mqtt/bridge.h"
#include "mqtt/bridge_config.h"
#include "mqtt/mosquitto_client.h"
#include "mqtt/service_notify.h"
#include "mqtt/system.h"

#include <QCoreApplication>
#include <QLoggingCategory>
#include <QTimer>

#include <algorithm>
#include <cstdio>

namespace {

// Every way the program ends, in one place.
enum exit_status : int {
    stopped = 0,            // SIGTERM or Ctrl+C, offline published; or the boards removed
    could_not_run = 1,      // nothing the configuration could have changed
    bad_configuration = 2,  // refused before anything was opened, or a twin already runs
};

int status_of(telvar::mqtt::bridge::ending how)
{
    switch (how) {
    case telvar::mqtt::bridge::ending::stopped:
        return stopped;
    case telvar::mqtt::bridge::ending::twin_running:
        return bad_configuration;
    case telvar::mqtt::bridge::ending::no_session:
        break;
    }
    return could_not_run;
}

const QString default_file = QStringLiteral("/etc/telvar/mqtt.conf");
bool to_journal = false;

// One line per message on standard error. When standard error is the
// journal, it reads the priority from a <N> prefix; elsewhere (a terminal, a
// file) the program's name leads.
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

void set_up_logging(bool verbose)
{
    to_journal = telvar::mqtt::stderr_is_journal();
    if (!qEnvironmentVariableIsSet("QT_MESSAGE_PATTERN"))
        qSetMessagePattern(QStringLiteral(
            "%{if-warning}warning: %{endif}%{if-critical}error: %{endif}%{message}"));
    qInstallMessageHandler(log_line);
    QLoggingCategory::setFilterRules(verbose ? QStringLiteral("telvar.*.debug=true")
                                             : QStringLiteral("telvar.*.debug=false\n"
                                                              "telvar.*.info=true"));
}

int remove_boards(const telvar::mqtt::bridge_config& config)
{
    telvar::mqtt::mosquitto_client broker;
    telvar::mqtt::board_removal removal(config, broker);
    QObject::connect(&removal, &telvar::mqtt::board_removal::finished, [](bool removed) {
        QCoreApplication::exit(removed ? stopped : could_not_run);
    });
    if (!removal.start())
        return could_not_run;
    return QCoreApplication::exec();
}

} // namespace

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("telvar-mqtt"));

    const QStringList arguments = QCoreApplication::arguments();
    const auto loaded = telvar::mqtt::load_configuration(arguments, default_file);
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
    set_up_logging(config.verbose);
    for (const QString& warning : loaded.warnings)
        qWarning("%s", qUtf8Printable(warning));
    if (!config.remove_boards.isEmpty())
        return remove_boards(config);

    telvar::link::link_settings settings;
    settings.poll_interval_ms = config.interval_ms;
    telvar::link::board_link line(settings);
    telvar::mqtt::mosquitto_client broker;
    telvar::mqtt::bridge bridge(config, line, broker);
    QObject::connect(&bridge, &telvar::mqtt::bridge::finished, &app,
                     [](telvar::mqtt::bridge::ending how) { QCoreApplication::exit(status_of(how)); });
    QObject::connect(&bridge, &telvar::mqtt::bridge::ready, [&config] {
        telvar::mqtt::service_notify::ready(
            QStringLiteral("serving %1 on %2").arg(config.bridge_id, config.port_text));
    });
    // SIGTERM, Ctrl+C: offline is published, the port closed. SIGHUP: the
    // file again, over which the same command line wins.
    telvar::link::stop_signals signals_in;
    if (!signals_in.ok()) {
        qCritical("%s", qUtf8Printable(signals_in.error()));
        return could_not_run;
    }
    QObject::connect(&signals_in, &telvar::link::stop_signals::stop_requested, &bridge,
                     [&bridge](telvar::link::stop_reason why) {
                         qInfo("%s received", qUtf8Printable(telvar::link::stop_signals::name(why)));
                         telvar::mqtt::service_notify::stopping();
                         bridge.stop();
                     });
    QObject::connect(&signals_in, &telvar::link::stop_signals::reload_requested, &bridge,
                     [&bridge, arguments] {
                         telvar::mqtt::service_notify::reloading();
                         const auto again =
                             telvar::mqtt::load_configuration(arguments, default_file);
                         if (again.what != telvar::mqtt::config_result::action::run) {
                             qCritical("SIGHUP: the configuration is refused, the old settings "
                                       "go on: %s",
                                       qUtf8Printable(again.text));
                         } else {
                             for (const QString& warning : again.warnings)
                                 qWarning("%s", qUtf8Printable(warning));
                             bridge.reload(again.config);
                         }
                         telvar::mqtt::service_notify::ready(QStringLiteral("serving"));
                     });
    // The watchdog is fed from the event loop: a wedged loop gets restarted.
    QTimer watchdog;
    if (const int period = telvar::mqtt::service_notify::watchdog_interval_ms(); period > 0) {
        QObject::connect(&watchdog, &QTimer::timeout, [] { telvar::mqtt::service_notify::watchdog(); });
        watchdog.start(std::max(100, period / 3));
    }
    if (!bridge.start())
        return could_not_run;
    return app.exec();
}
