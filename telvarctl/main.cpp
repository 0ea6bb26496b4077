// telvarctl: the relay boards from scripts and terminals. Reads the command
// line, opens the link and hands both to a session; the session's outcome is
// the exit status.
#include "link/stop_signals.h"
#include "telvarctl/command_line.h"
#include "telvarctl/road.h"
#include "telvarctl/session.h"
#include "telvarctl/standard_output.h"
#include "telvar_version.h"

#include <QCoreApplication>
#include <QJsonObject>
#include <QLoggingCategory>
#include <QTimer>

#include <cstdio>

using namespace telvar;

namespace {

void write_message(const QString& line)
{
    const QByteArray text = QStringLiteral("telvarctl: %1\n").arg(line).toLocal8Bit();
    // Nothing is left to tell a failure here to.
    std::fwrite(text.constData(), 1, std::size_t(text.size()), stderr);
    std::fflush(stderr);
}

} // namespace

int main(int argc, char* argv[])
{
    // First of all, so that no file opened from here on becomes standard output.
    const bool output_open = ctl::prepare_standard_streams();
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("telvarctl"));
    QCoreApplication::setApplicationVersion(QStringLiteral(TELVAR_VERSION));

    ctl::standard_output data(output_open);
    QObject::connect(&data, &ctl::standard_output::lost, &write_message);
    const ctl::output out{[&data](const QString& line) { data.write(line); }, &write_message};
    // A command that was carried out but whose output was lost ends with its own status.
    const auto done = [&data] { return data.failed() ? ctl::exit_output : ctl::exit_done; };

    const ctl::parse_result parsed = ctl::parse_command_line(QCoreApplication::arguments());
    if (parsed.help) {
        out.data(ctl::help_text().chopped(1));
        return done();
    }
    if (parsed.version) {
        out.data(QStringLiteral("telvarctl " TELVAR_VERSION));
        return done();
    }
    if (!parsed.run) {
        out.message(parsed.error);
        if (parsed.json)
            out.data(ctl::json_line({{QStringLiteral("error"), QStringLiteral("usage")},
                                     {QStringLiteral("message"), parsed.error}}));
        return ctl::exit_usage;
    }
    if (!output_open) {
        out.message(QStringLiteral("standard output is closed: nothing was sent"));
        return ctl::exit_output;
    }
    const ctl::invocation& run = *parsed.run;
    if (run.what == ctl::command::ports) {
        ctl::list_ports(out, run.json);
        return done();
    }
    if (run.what == ctl::command::lines) {
        const int status = ctl::list_lines(run, out);
        return status == ctl::exit_done ? done() : status;
    }
    if (run.verbose) {
        QLoggingCategory::setFilterRules(QStringLiteral("telvar.link.debug=true"));
        qSetMessagePattern(QStringLiteral("telvarctl: %{time process} %{message}"));
    }

    ctl::chosen_road road = ctl::choose_road(run);
    if (!road.refusal.isEmpty()) {
        out.message(road.refusal);
        if (run.json)
            out.data(ctl::json_line({{QStringLiteral("error"), QStringLiteral("usage")},
                                     {QStringLiteral("message"), road.refusal}}));
        return ctl::exit_usage;
    }
    if (!road.note.isEmpty())
        out.message(road.note);
    ctl::session session(*road.line, run, out);
    QObject::connect(&session, &ctl::session::finished, &app,
                     [](int status) { QCoreApplication::exit(status); });
    // Output nobody can read ends a watch or a scan; queued, since the loss
    // shows inside the session's own calls.
    QObject::connect(&data, &ctl::standard_output::lost, &session, &ctl::session::stop,
                     Qt::QueuedConnection);
    // Ctrl+C and SIGTERM end a watch through the event loop, so it ends with 0,
    // and release a pulse at once.
    std::unique_ptr<link::stop_signals> stop;
    if (run.what == ctl::command::watch || run.what == ctl::command::pulse) {
        stop = std::make_unique<link::stop_signals>();
        QObject::connect(stop.get(), &link::stop_signals::received, &session,
                         &ctl::session::stop);
        if (run.what == ctl::command::watch)
            data.watch_reader();
    }
    QTimer::singleShot(0, &session, &ctl::session::start);
    const int status = app.exec();
    return status == ctl::exit_done ? done() : status;
}
