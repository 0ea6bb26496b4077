// telvarctl: the relay boards from scripts and terminals. Reads the command
// line, opens the link and hands both to a session; the session's outcome is
// the exit status.
#include "link/board_link.h"
#include "link/stop_signals.h"
#include "telvarctl/command_line.h"
#include "telvarctl/session.h"
#include "telvar_version.h"

#include <QCoreApplication>
#include <QJsonObject>
#include <QLoggingCategory>
#include <QTimer>

#include <cstdio>

using namespace telvar;

namespace {

void write_line(std::FILE* stream, const QString& line)
{
    const QByteArray text = line.toLocal8Bit() + '\n';
    std::fwrite(text.constData(), 1, std::size_t(text.size()), stream);
    // A line at a time: watch runs into pipes and logs for hours.
    std::fflush(stream);
}

} // namespace

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("telvarctl"));
    QCoreApplication::setApplicationVersion(QStringLiteral(TELVAR_VERSION));

    const ctl::output out{[](const QString& line) { write_line(stdout, line); },
                          [](const QString& line) {
                              write_line(stderr, QStringLiteral("telvarctl: ") + line);
                          }};

    const ctl::parse_result parsed = ctl::parse_command_line(QCoreApplication::arguments());
    if (parsed.help) {
        write_line(stdout, ctl::help_text().chopped(1));
        return ctl::exit_done;
    }
    if (parsed.version) {
        write_line(stdout, QStringLiteral("telvarctl " TELVAR_VERSION));
        return ctl::exit_done;
    }
    if (!parsed.run) {
        out.message(parsed.error);
        if (parsed.json)
            out.data(ctl::json_line({{QStringLiteral("error"), QStringLiteral("usage")},
                                     {QStringLiteral("message"), parsed.error}}));
        return ctl::exit_usage;
    }
    const ctl::invocation& run = *parsed.run;
    if (run.what == ctl::command::ports) {
        ctl::list_ports(out, run.json);
        return ctl::exit_done;
    }
    if (run.verbose) {
        QLoggingCategory::setFilterRules(QStringLiteral("telvar.link.debug=true"));
        qSetMessagePattern(QStringLiteral("telvarctl: %{time process} %{message}"));
    }

    link::board_link line(ctl::settings_for(run));
    ctl::session session(line, run, out);
    QObject::connect(&session, &ctl::session::finished, &app,
                     [](int status) { QCoreApplication::exit(status); });
    // Ctrl+C and SIGTERM end a watch through the event loop, so it ends with 0.
    std::unique_ptr<link::stop_signals> stop;
    if (run.what == ctl::command::watch) {
        stop = std::make_unique<link::stop_signals>();
        QObject::connect(stop.get(), &link::stop_signals::received, &session,
                         &ctl::session::stop);
    }
    QTimer::singleShot(0, &session, &ctl::session::start);
    return app.exec();
}
