#include "telvarctl/road.h"

#include "link/direct_line.h"
#include "local/service_line.h"
#include "telvard/service_config.h"

#include <QFileInfo>

#include <QJsonArray>
#include <QJsonObject>

namespace telvar::ctl {

QStringList service_sockets(const QString& given)
{
    if (!given.isEmpty())
        return {given};
    QStringList sockets;
    const QString runtime = qEnvironmentVariable("XDG_RUNTIME_DIR");
    if (!runtime.isEmpty())
        sockets << runtime + QStringLiteral("/telvar/telvard.sock");
    sockets << QStringLiteral("/run/telvar/telvard.sock");
    return sockets;
}

namespace {

// The first service that answers at one of the sockets; its failure, or the
// last socket's, when none does.
std::unique_ptr<local::service_line> first_service(const invocation& run, QString& why)
{
    std::unique_ptr<local::service_line> last;
    for (const QString& socket : service_sockets(run.socket)) {
        auto service = std::make_unique<local::service_line>();
        const local::service_reach reached = service->reach(socket);
        if (reached == local::service_reach::answered)
            return service;
        // A silent or refusing service says more than an absent one further on.
        if (!last || reached != local::service_reach::absent) {
            why = service->reach_message();
            last = std::move(service);
        }
    }
    return last;
}

// The port opened here keeps the rules telvard's configuration gives its line:
// pulses, interlocks, the gap and returns; --interlock over them for its board.
link::link_settings direct_settings(const invocation& run, QString& refusal, QString& note)
{
    link::link_settings s = settings_for(run);
    const bool given = !run.config.isEmpty();
    const QString file = given ? run.config : QString::fromLatin1(default_config_file);
    const QFileInfo info(file);
    if (!given && !info.exists())
        return s;
    if (!given && !info.isReadable()) {
        note = QStringLiteral("%1 cannot be read, so its lines' interlocks and pulses do not "
                              "apply here; --config names another file")
                   .arg(file);
        return s;
    }
    const service::port_line found = service::line_at_port(file, run.port);
    if (found.what == service::port_line::found::refused) {
        refusal = QStringLiteral("%1; its interlocks and pulses must be known before the port is "
                                 "opened here: fix it, or give --config another file")
                      .arg(found.error);
        return s;
    }
    if (found.what == service::port_line::found::line) {
        s.pulse_ms = found.settings.pulse_ms;
        s.interlocks = found.settings.interlocks;
        s.interlock_gap_ms = found.settings.interlock_gap_ms;
        s.on_return = found.settings.on_return;
        if (!run.interlocks.empty())
            s.interlocks[run.address] = run.interlocks;
    }
    return s;
}

} // namespace

chosen_road choose_road(const invocation& run)
{
    chosen_road road;
    const auto direct = [&run, &road] {
        return std::make_unique<link::direct_line>(direct_settings(run, road.refusal, road.note));
    };
    if (run.way == road::direct) {
        road.line = direct();
        return road;
    }
    QString why;
    std::unique_ptr<local::service_line> service = first_service(run, why);
    const bool answered = service && service->reach_message().isEmpty();
    const bool holds = answered && !service->line_for(run.port, run.line).isEmpty();
    if (run.way == road::service || !run.line.isEmpty() || holds) {
        service->set_line_name(run.line);
        road.socket = service->socket();
        road.through_service = true;
        road.line = std::move(service);
        return road;
    }
    // Not held by a service that answers: the port itself. A service that
    // answers wrongly is worth a word, since the port may well be its.
    if (service && !answered && !why.contains(QLatin1String("no telvard answers")))
        road.note = why + QStringLiteral("; opening the port directly");
    road.line = direct();
    return road;
}

int list_lines(const invocation& run, const output& out)
{
    QString why;
    std::unique_ptr<local::service_line> service = first_service(run, why);
    if (!service || !service->reach_message().isEmpty()) {
        const QString message = why.isEmpty() ? QStringLiteral("no telvard answers") : why;
        out.message(message);
        if (run.json)
            out.data(json_line({{QStringLiteral("error"), QStringLiteral("no_service")},
                                {QStringLiteral("message"), message}}));
        return exit_port;
    }
    const QJsonArray lines = service->lines();
    if (run.json) {
        out.data(json_line({{QStringLiteral("socket"), service->socket()},
                            {QStringLiteral("lines"), lines}}));
        return exit_done;
    }
    for (const QJsonValue& v : lines) {
        const QJsonObject l = v.toObject();
        const QJsonValue port = l.value(QLatin1String("port"));
        const link::port_spec where = port.isDouble() ? link::port_spec{port.toInt(), {}}
                                                      : link::port_spec{0, port.toString()};
        QString state = l.value(QLatin1String("open")).toBool() ? QStringLiteral("open")
                                                                 : QStringLiteral("lost");
        const QString reason = l.value(QLatin1String("lost_reason")).toString();
        if (!reason.isEmpty())
            state += QStringLiteral(" (%1)").arg(reason);
        out.data(QStringLiteral("%1  %2  %3")
                     .arg(l.value(QLatin1String("line")).toString(),
                          where.describe(l.value(QLatin1String("device")).toString()), state));
        for (const QJsonValue& b : l.value(QLatin1String("boards")).toArray()) {
            const QJsonObject board = b.toObject();
            QString line = QStringLiteral("  board %1").arg(board.value(QLatin1String("address")).toInt(), 3);
            line += board.value(QLatin1String("available")).toBool() ? QStringLiteral("  answering")
                                                                    : QStringLiteral("  silent   ");
            const QString name = board.value(QLatin1String("name")).toString();
            if (!name.isEmpty())
                line += QStringLiteral("  ") + name;
            out.data(line);
        }
    }
    if (lines.isEmpty())
        out.message(QStringLiteral("telvard at %1 holds no line").arg(service->socket()));
    return exit_done;
}

} // namespace telvar::ctl
