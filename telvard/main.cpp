// telvard: reads the configuration, then holds the lines and serves them on
// the local socket and MQTT until SIGTERM or Ctrl+C; SIGHUP reads the
// configuration again. Under systemd it says when it is ready and feeds the
// watchdog from its event loop.
#include "link/stop_signals.h"
#include "mqtt/board_removal.h"
#include "mqtt/mosquitto_client.h"
#include "mqtt/system.h"
#include "telvard/service.h"
#include "telvard/service_config.h"
#include "telvard/service_notify.h"

#include <QCoreApplication>
#include <QLoggingCategory>
#include <QTimer>

#include <algorithm>
#include <cstdio>

namespace {

using namespace telvar::service;

const QString default_file = QStringLiteral("/etc/telvar/telvard.conf");
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
        std::fprintf(stderr, "telvard: %s\n", qUtf8Printable(line));
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
    QCoreApplication::setApplicationName(QStringLiteral("telvard"));

    const QStringList arguments = QCoreApplication::arguments();
    const auto loaded = load_configuration(arguments, default_file);
    switch (loaded.what) {
    case config_result::action::help:
    case config_result::action::version:
        std::fputs(qUtf8Printable(loaded.text), stdout);
        return stopped;
    case config_result::action::refuse:
        std::fprintf(stderr, "telvard: %s\n", qUtf8Printable(loaded.text));
        return bad_configuration;
    case config_result::action::run:
        break;
    }
    const service_config& config = loaded.config;
    set_up_logging(config.verbose);
    for (const QString& warning : loaded.warnings)
        qWarning("%s", qUtf8Printable(warning));
    if (!config.mqtt.remove_boards.isEmpty())
        return remove_boards(config.mqtt);

    service running(config);
    QObject::connect(&running, &service::finished, &app,
                     [](int status) { QCoreApplication::exit(status); });
    QObject::connect(&running, &service::ready, [&running] {
        service_notify::ready(running.summary());
    });
    // SIGTERM, Ctrl+C: offline is published, the ports closed. SIGHUP: the
    // file again, over which the same command line wins.
    telvar::link::stop_signals signals_in;
    if (!signals_in.ok()) {
        qCritical("%s", qUtf8Printable(signals_in.error()));
        return could_not_run;
    }
    QObject::connect(&signals_in, &telvar::link::stop_signals::stop_requested, &running,
                     [&running](telvar::link::stop_reason why) {
                         qInfo("%s received", qUtf8Printable(telvar::link::stop_signals::name(why)));
                         service_notify::stopping();
                         running.stop();
                     });
    QObject::connect(&signals_in, &telvar::link::stop_signals::reload_requested, &running,
                     [&running, arguments] {
                         service_notify::reloading();
                         const auto again = load_configuration(arguments, default_file);
                         if (again.what != config_result::action::run) {
                             qCritical("SIGHUP: the configuration is refused, the old settings "
                                       "go on: %s",
                                       qUtf8Printable(again.text));
                         } else {
                             for (const QString& warning : again.warnings)
                                 qWarning("%s", qUtf8Printable(warning));
                             running.reload(again.config);
                         }
                         service_notify::ready(running.summary());
                     });
    // The watchdog is fed from the event loop: a wedged loop gets restarted.
    QTimer watchdog;
    if (const int period = service_notify::watchdog_interval_ms(); period > 0) {
        QObject::connect(&watchdog, &QTimer::timeout, [] { service_notify::watchdog(); });
        watchdog.start(std::max(100, period / 3));
    }
    if (!running.start())
        return running.exit_status();
    return app.exec();
}
