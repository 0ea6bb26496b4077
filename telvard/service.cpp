#include "telvard/service.h"

#include "local/dispatch.h"
#include "local/server.h"
#include "mqtt/bridge.h"
#include "mqtt/mosquitto_client.h"
#include "telvard/pulse_file.h"
#include "telvard/socket_place.h"
#include "web/listen_address.h"
#include "web/server.h"

#include <QDateTime>

#include <QLoggingCategory>

#include <algorithm>

namespace telvar::service {

Q_LOGGING_CATEGORY(service_log, "telvar.service")

namespace {

// Operator texts end in a full stop; here more follows them.
QString clause(QString text)
{
    if (text.endsWith(QLatin1Char('.')))
        text.chop(1);
    return text;
}

QString numbers(const QList<int>& list)
{
    QStringList out;
    for (int n : list)
        out << QString::number(n);
    return out.join(QStringLiteral(", "));
}

QMap<int, QString> served_boards(const line_config& line)
{
    QMap<int, QString> boards;
    for (int address : line.boards)
        boards.insert(address, line.names.value(address));
    return boards;
}

bool same_board_rules(const line_config& a, const line_config& b)
{
    return a.pulse_ms == b.pulse_ms && a.interlocks == b.interlocks &&
           a.interlock_gap_ms == b.interlock_gap_ms && a.on_return == b.on_return;
}

QStringList names_of(const QList<line_config>& lines)
{
    QStringList names;
    for (const line_config& line : lines)
        names << line.name;
    return names;
}

} // namespace

struct service::held_line {
    line_config config;
    std::unique_ptr<link::board_link> link;
    QTimer retry;
    link::backoff pause{1000, 30000};
    QString last_problem;
};

service::service(service_config config, QObject* parent)
    : QObject(parent), config_(std::move(config))
{
}

service::~service() = default;

QList<link::board_link*> service::links() const
{
    QList<link::board_link*> out;
    for (const auto& line : lines_)
        out << line->link.get();
    return out;
}

bool service::start()
{
    for (const line_config& c : config_.lines) {
        auto line = std::make_unique<held_line>();
        line->config = c;
        line->link = std::make_unique<link::board_link>(line_settings(c));
        line->retry.setSingleShot(true);
        held_line* raw = line.get();
        connect(&line->retry, &QTimer::timeout, this, [this, raw] { open_line(*raw); });
        watch(*line);
        lines_.push_back(std::move(line));
    }
    // The socket first: a second copy of the service must stop before it
    // touches a port the first one holds.
    if (config_.local.enabled || config_.web.enabled)
        make_dispatcher();
    if (config_.local.enabled && !start_local())
        return false;
    if (config_.web.enabled && !start_web())
        return false;
    for (auto& line : lines_)
        open_line(*line);
    restore_pulses();
    // Told after the lines, whose trouble matters more to someone reading the log.
    announce_web();
    if (config_.mqtt_enabled && !start_mqtt())
        return false;
    if (!bridge_) {
        ready_sent_ = true;
        emit ready();
    }
    return true;
}

void service::watch(held_line& line)
{
    link::board_link* l = line.link.get();
    const QString name = line.config.name;
    connect(l, &link::board_link::pulses_changed, this, &service::save_pulses);
    connect(l, &link::board_link::line_lost, this, [name](const QString& reason) {
        qCWarning(service_log, "line %s lost: %s; its boards are offline until it is back",
                  qUtf8Printable(name), qUtf8Printable(reason));
    });
    connect(l, &link::board_link::line_restored, this, [name](const QString& device) {
        qCInfo(service_log, "line %s back on %s; boards come online at their first reply",
               qUtf8Printable(name), qUtf8Printable(device));
    });
    connect(l, &link::board_link::reopen_failed, this,
            [&line](const open_result& result, int next_try_ms) {
                qCInfo(service_log, "line %s: %s; next try in %d s",
                       qUtf8Printable(line.config.name),
                       qUtf8Printable(clause(link::open_failure_text(line.config.port, result))),
                       std::max(1, next_try_ms / 1000));
            });
}

void service::open_line(held_line& line)
{
    if (stopping_)
        return;
    const open_result opened = line.link->open(line.config.port);
    if (opened.ok) {
        line.pause.reset();
        line.last_problem.clear();
        qCInfo(service_log, "line %s open: %s; boards %s", qUtf8Printable(line.config.name),
               qUtf8Printable(line.config.port.describe(line.link->device())),
               qUtf8Printable(numbers(line.config.boards)));
        line.link->set_polled(line.config.boards);
        return;
    }
    // A missing adapter at start is not a reason to give up: it may be plugged in later.
    const int pause = line.pause.next();
    const QString why = clause(link::open_failure_text(line.config.port, opened));
    // The same failure is told once; the tries go on quietly.
    if (why != line.last_problem)
        qCWarning(service_log, "line %s: %s; trying again with growing pauses",
                  qUtf8Printable(line.config.name), qUtf8Printable(why));
    else
        qCDebug(service_log, "line %s: %s; next try in %d s", qUtf8Printable(line.config.name),
                qUtf8Printable(why), pause / 1000);
    line.last_problem = why;
    line.retry.start(pause);
}

// One dispatcher for the local socket and the web page: both fronts carry
// out the same requests with the same words.
void service::make_dispatcher()
{
    QList<local::served_line> served;
    for (const auto& line : lines_)
        served.append({line->config.name, line->link.get(), line->config.port,
                       served_boards(line->config)});
    dispatcher_ = std::make_unique<local::dispatcher>(served);
}

bool service::start_web()
{
    const web_config& w = config_.web;
    const auto at = web::read_listen_address(w.listen);
    if (!at) {
        qCCritical(service_log, "web: \"%s\" is not ADDRESS:PORT", qUtf8Printable(w.listen));
        status_ = bad_configuration;
        return false;
    }
    web::server_settings settings;
    settings.address = at->address;
    settings.port = at->port;
    settings.password = w.password;
    settings.certfile = w.certfile;
    settings.keyfile = w.keyfile;
    auto metrics = [this] {
        web::metrics_snapshot s;
        for (const auto& line : lines_) {
            web::line_metrics l;
            l.name = line->config.name;
            l.open = line->link->is_open();
            const auto counted = line->link->stats();
            l.frames_sent = counted.frames_sent;
            l.replies_accepted = counted.replies_accepted;
            l.bytes_skipped = counted.bytes_skipped;
            l.replies_unmatched = counted.replies_unmatched;
            for (int address : line->config.boards)
                l.boards.append({address, line->link->available(address),
                                 line->link->health(address)});
            s.lines.append(l);
        }
        if (broker_)
            s.mqtt_connected = broker_->is_connected();
        if (local_)
            s.socket_clients = local_->client_count();
        return s;
    };
    web_ = std::make_unique<web::server>(settings, *dispatcher_, metrics);
    if (!web_->start()) {
        if (!w.listen_given && w.certfile.isEmpty()) {
            // The default port taken by another program costs only the page.
            qCWarning(service_log, "web page off: %s", qUtf8Printable(web_->error()));
            web_.reset();
            return true;
        }
        qCCritical(service_log, "web: %s", qUtf8Printable(web_->error()));
        status_ = could_not_run;
        return false;
    }
    return true;
}

void service::announce_web() const
{
    if (!web_)
        return;
    if (config_.web.password.isEmpty())
        qCInfo(service_log, "web page on %s without a password: only this machine can reach it",
               qUtf8Printable(web_->address_text()));
    else
        qCInfo(service_log, "web page on %s, with a password", qUtf8Printable(web_->address_text()));
}

bool service::start_local()
{
    QString why;
    socket_ = config_.local.socket.isEmpty() ? default_socket(why) : config_.local.socket;
    if (socket_.isEmpty()) {
        qCCritical(service_log, "%s", qUtf8Printable(why));
        status_ = bad_configuration;
        return false;
    }
    local::server_settings settings;
    settings.path = socket_;
    settings.group = config_.local.group;
    local_ = std::make_unique<local::server>(settings, *dispatcher_);
    connect(local_.get(), &local::server::logged, this, [](QtMsgType level, const QString& text) {
        if (level == QtWarningMsg || level == QtCriticalMsg)
            qCWarning(service_log, "%s", qUtf8Printable(text));
        else
            qCInfo(service_log, "%s", qUtf8Printable(text));
    });
    if (!local_->start()) {
        qCCritical(service_log, "local socket: %s", qUtf8Printable(local_->error()));
        status_ = local_->taken() ? bad_configuration : could_not_run;
        return false;
    }
    return true;
}

bool service::start_mqtt()
{
    broker_ = std::make_unique<mqtt::mosquitto_client>();
    bridge_ = std::make_unique<mqtt::bridge>(config_.mqtt, bridge_lines(config_, links()),
                                             *broker_);
    connect(bridge_.get(), &mqtt::bridge::ready, this, [this] {
        if (!ready_sent_) {
            ready_sent_ = true;
            emit ready();
        }
    });
    connect(bridge_.get(), &mqtt::bridge::finished, this, [this](mqtt::bridge::ending how) {
        if (how == mqtt::bridge::ending::twin_running)
            status_ = bad_configuration;
        else if (how == mqtt::bridge::ending::no_session)
            status_ = could_not_run;
        front_finished();
    });
    if (!bridge_->start()) {
        status_ = could_not_run;
        return false;
    }
    return true;
}

void service::save_pulses()
{
    if (pulse_file_.isEmpty())
        return;
    QList<saved_pulse> pending;
    for (const auto& line : lines_)
        for (const link::pending_release& p : line->link->pending_releases())
            pending.append({line->config.name, p.address, p.relay, p.deadline_ms});
    QString why;
    if (!write_pulse_file(pulse_file_, pending, &why))
        qCWarning(service_log, "%s: a pending release would not be carried out if the service "
                               "died now",
                  qUtf8Printable(why));
}

void service::restore_pulses()
{
    pulse_file_ = pulse_file_place(socket_.isEmpty() ? config_.local.socket : socket_);
    if (pulse_file_.isEmpty())
        return;
    QString why;
    const QList<saved_pulse> saved = read_pulse_file(pulse_file_, &why);
    if (!why.isEmpty())
        qCWarning(service_log, "%s", qUtf8Printable(why));
    const qint64 now = QDateTime::currentMSecsSinceEpoch();
    for (const saved_pulse& p : saved) {
        const auto held = std::find_if(lines_.begin(), lines_.end(), [&](const auto& line) {
            return line->config.name == p.line;
        });
        const QString what =
            QStringLiteral("line %1 board %2 relay %3").arg(p.line).arg(p.address).arg(p.relay);
        if (held == lines_.end() || !(*held)->config.boards.contains(p.address)) {
            qCWarning(service_log, "%s was pulsed when the service ended, but that board is no "
                                   "longer served: the relay may still be pulled in; release it "
                                   "by hand",
                      qUtf8Printable(what));
            continue;
        }
        const QString due =
            QDateTime::fromMSecsSinceEpoch(p.deadline_ms).toString(QStringLiteral("HH:mm:ss.zzz"));
        if (p.deadline_ms <= now)
            qCWarning(service_log, "%s was pulsed when the service ended; its release was due at "
                                   "%s: released now",
                      qUtf8Printable(what), qUtf8Printable(due));
        else
            qCWarning(service_log, "%s was pulsed when the service ended; released at %s as "
                                   "it was due",
                      qUtf8Printable(what), qUtf8Printable(due));
        (*held)->link->arm_release(p.address, p.relay, p.deadline_ms);
    }
    save_pulses();
}

void service::front_finished()
{
    // The MQTT front ended: by stop(), or by itself (a twin on the broker), which ends the service.
    if (!stopping_) {
        stopping_ = true;
        if (local_)
            local_->stop();
        if (web_)
            web_->stop();
    }
    for (auto& line : lines_) {
        for (const link::pending_release& p : line->link->pending_releases())
            qCWarning(service_log, "line %s board %d relay %d: its pulse is not over; the release "
                                   "is carried out when the service starts again",
                      qUtf8Printable(line->config.name), p.address, p.relay);
        line->retry.stop();
        line->link->set_polled({});
        line->link->close();
    }
    qCInfo(service_log, "stopped");
    emit finished(status_);
}

void service::stop()
{
    if (stopping_)
        return;
    qCInfo(service_log, "stopping");
    stopping_ = true;
    if (local_)
        local_->stop();
    if (web_)
        web_->stop();
    if (bridge_) {
        bridge_->stop();  // front_finished() follows
        return;
    }
    front_finished();
}

void service::reload(const service_config& next)
{
    if (stopping_)
        return;
    const QString from = next.file.isEmpty() ? QString() : QStringLiteral(" from ") + next.file;
    if (names_of(next.lines) != names_of(config_.lines)) {
        qCCritical(service_log, "SIGHUP: the lines are now %s, were %s: adding, taking away or "
                                "renaming a line needs a restart (systemctl restart telvard); "
                                "the old settings go on",
                   qUtf8Printable(names_of(next.lines).join(QStringLiteral(", "))),
                   qUtf8Printable(names_of(config_.lines).join(QStringLiteral(", "))));
        return;
    }
    QStringList changes;
    for (int i = 0; i < int(lines_.size()); ++i) {
        held_line& line = *lines_[i];
        const line_config& now = next.lines[i];
        const line_config old = line.config;
        line.config = now;
        if (now.port_text != old.port_text) {
            line.retry.stop();
            line.link->set_polled({});
            line.link->close();
            line.pause.reset();
            line.last_problem.clear();
            if (bridge_)
                bridge_->line_reopened(i);
            changes << QStringLiteral("line %1 on port %2").arg(now.name, now.port_text);
            open_line(line);
        } else if (now.boards != old.boards && line.link->is_open()) {
            line.link->set_polled(now.boards);
        }
        if (now.boards != old.boards)
            changes << QStringLiteral("line %1 boards %2").arg(now.name, numbers(now.boards));
        if (dispatcher_)
            dispatcher_->update(now.name, now.port, served_boards(now));
        if (!same_board_rules(now, old)) {
            // The running link takes them at once; pending pulses keep their deadlines.
            line.link->apply(line_settings(line.config));
            changes << QStringLiteral("line %1 pulses, interlocks and returns").arg(now.name);
        }
        if (now.interval_ms != old.interval_ms) {
            qCWarning(service_log, "line %s: a new poll interval (%d ms) takes effect when the "
                                   "service is restarted; polling goes on every %d ms",
                      qUtf8Printable(now.name), now.interval_ms,
                      line.link->settings().poll_interval_ms);
            line.config.interval_ms = old.interval_ms;
        }
    }
    if (next.local.enabled != config_.local.enabled || next.local.socket != config_.local.socket
        || next.local.group != config_.local.group)
        qCWarning(service_log, "a change of [local] takes effect when the service is restarted; "
                               "the socket stays %s",
                  qUtf8Printable(socket_.isEmpty() ? QStringLiteral("off") : socket_));
    const web_config& nw = next.web;
    const web_config& ow = config_.web;
    if (nw.enabled != ow.enabled || nw.listen != ow.listen || nw.password != ow.password
        || nw.certfile != ow.certfile || nw.keyfile != ow.keyfile)
        qCWarning(service_log, "a change of [web] takes effect when the service is restarted; "
                               "the page stays %s",
                  qUtf8Printable(web_ ? web_->address_text() : QStringLiteral("off")));
    const web_config web = config_.web;
    const local_config local = config_.local;
    const bool had_mqtt = config_.mqtt_enabled;
    config_ = next;
    config_.local = local;
    config_.web = web;
    for (int i = 0; i < int(lines_.size()); ++i)
        config_.lines[i] = lines_[i]->config;  // with what waits for a restart
    if (bridge_ && next.mqtt_enabled) {
        changes << bridge_->reload(next.mqtt, bridge_lines(config_, links()));
    } else if (next.mqtt_enabled != had_mqtt) {
        // Turning MQTT on or off needs the front made or ended whole.
        qCWarning(service_log, "MQTT turned %s: that takes effect when the service is restarted",
                  next.mqtt_enabled ? "on" : "off");
        config_.mqtt_enabled = had_mqtt;
    }
    qCInfo(service_log, "configuration reloaded%s: %s", qUtf8Printable(from),
           changes.isEmpty() ? "nothing changed"
                             : qUtf8Printable(changes.join(QStringLiteral("; "))));
}

QString service::summary() const
{
    QStringList parts;
    for (const auto& line : lines_)
        parts << QStringLiteral("%1 on %2 (boards %3)")
                     .arg(line->config.name, line->config.port_text, numbers(line->config.boards));
    QString text = QStringLiteral("serving ") + parts.join(QStringLiteral(", "));
    if (local_)
        text += QStringLiteral("; socket ") + socket_;
    if (web_)
        text += QStringLiteral("; web ") + web_->address_text();
    if (bridge_)
        text += QStringLiteral("; MQTT %1:%2").arg(config_.mqtt.broker_host).arg(config_.mqtt.broker_port);
    return text;
}

} // namespace telvar::service
