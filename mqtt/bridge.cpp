#include "mqtt/bridge.h"

#include "mqtt/discovery.h"

#include <QLoggingCategory>

#include <algorithm>

namespace telvar::mqtt {

Q_LOGGING_CATEGORY(bridge_log, "telvar.mqtt")

namespace {

constexpr int reopen_first_ms = 1000;
constexpr int reopen_max_ms = 30000;
constexpr int stop_timeout_ms = 2000;

QString relay_text(const command& cmd)
{
    const char* word = cmd.what == command::action::on    ? "ON"
                       : cmd.what == command::action::off ? "OFF"
                                                          : "TOGGLE";
    if (cmd.relay == 0)
        return QStringLiteral("board %1 all relays %2").arg(cmd.address).arg(QLatin1String(word));
    return QStringLiteral("board %1 relay %2 %3")
        .arg(cmd.address)
        .arg(cmd.relay)
        .arg(QLatin1String(word));
}

QString states_text(const link::relay_states& relays)
{
    QString on;
    for (int n = 1; n <= relay_count; ++n) {
        if (relays[n - 1])
            on += (on.isEmpty() ? QString() : QStringLiteral(",")) + QString::number(n);
    }
    return on.isEmpty() ? QStringLiteral("all off") : QStringLiteral("on: ") + on;
}

} // namespace

bridge::bridge(const bridge_config& config, link::board_link& line, client& broker,
               QObject* parent)
    : QObject(parent), config_(config), line_(line), broker_(broker),
      topics_(config.prefix, config.bridge_id, config.discovery_prefix)
{
    for (int address : config_.boards) {
        served_.insert(address);
        boards_.insert(address, board{});
    }
    reopen_timer_.setSingleShot(true);
    connect(&reopen_timer_, &QTimer::timeout, this, &bridge::open_line);

    connect(&broker_, &client::connected, this, &bridge::on_connected);
    connect(&broker_, &client::disconnected, this, &bridge::on_disconnected);
    connect(&broker_, &client::message, this, &bridge::on_message);
    connect(&broker_, &client::stopped, this, [this] {
        line_.set_polled({});
        line_.close();
        qCInfo(bridge_log, "stopped");
        emit finished();
    });

    connect(&line_, &link::board_link::board_reported, this, &bridge::on_reported);
    connect(&line_, &link::board_link::availability_changed, this, &bridge::on_availability);
    connect(&line_, &link::board_link::line_lost, this, &bridge::on_line_lost);
    connect(&line_, &link::board_link::line_restored, this, [](const QString& device) {
        qCInfo(bridge_log, "line back on %s; boards come online at their first reply",
               qUtf8Printable(device));
    });
    connect(&line_, &link::board_link::reopen_failed, this,
            [this](const open_result& result, int next_try_ms) {
                qCInfo(bridge_log, "%s; next try in %d s",
                       qUtf8Printable(link::open_failure_text(config_.port, result)),
                       std::max(1, next_try_ms / 1000));
            });
}

session_settings bridge::session() const
{
    session_settings s;
    s.host = config_.broker_host;
    s.port = config_.broker_port;
    s.client_id = QStringLiteral("telvar-mqtt-") + config_.bridge_id;
    s.username = config_.username;
    s.password = config_.password;
    s.has_password = config_.has_password;
    s.cafile = config_.cafile;
    s.certfile = config_.certfile;
    s.keyfile = config_.keyfile;
    s.will_topic = topics_.status();
    s.will_payload = QByteArrayLiteral("offline");
    return s;
}

void bridge::start()
{
    QStringList boards;
    for (int address : config_.boards)
        boards << QString::number(address);
    qCInfo(bridge_log, "serving boards %s on port %s; broker %s:%d as %s%s",
           qUtf8Printable(boards.join(QStringLiteral(", "))), qUtf8Printable(config_.port_text),
           qUtf8Printable(config_.broker_host), config_.broker_port,
           qUtf8Printable(topics_.base()), config_.cafile.isEmpty() ? "" : " over TLS");
    open_line();
    broker_.start(session());
}

void bridge::open_line()
{
    if (stopping_)
        return;
    const open_result opened = line_.open(config_.port);
    if (opened.ok) {
        reopen_pause_ms_ = 0;
        last_open_problem_.clear();
        qCInfo(bridge_log, "line open: %s", qUtf8Printable(config_.port.describe(line_.device())));
        line_.set_polled(config_.boards);
        return;
    }
    // A missing adapter at start is not a reason to give up: it may be plugged in later.
    reopen_pause_ms_ = reopen_pause_ms_ == 0 ? reopen_first_ms
                                             : std::min(reopen_pause_ms_ * 2, reopen_max_ms);
    QString why = link::open_failure_text(config_.port, opened);
    if (why.endsWith(QLatin1Char('.')))
        why.chop(1);
    // The same failure is told once; the tries go on quietly.
    if (why != last_open_problem_)
        qCWarning(bridge_log, "%s; trying again with growing pauses", qUtf8Printable(why));
    else
        qCDebug(bridge_log, "%s; next try in %d s", qUtf8Printable(why), reopen_pause_ms_ / 1000);
    last_open_problem_ = why;
    reopen_timer_.start(reopen_pause_ms_);
}

void bridge::publish(const QString& topic, const QByteArray& payload, int qos)
{
    qCDebug(bridge_log, "mqtt > %s %s", qUtf8Printable(topic), qUtf8Printable(printable(payload, 400)));
    broker_.publish(topic, payload, qos, true);
}

void bridge::publish_board(int address, bool everything)
{
    board& b = boards_[address];
    if (!broker_.is_connected() || stopping_)
        return;
    // Unknown counts as offline: an old "online" left on the broker must not stand.
    const bool available = b.available.value_or(false);
    if (everything || b.published_available != available) {
        publish(topics_.availability(address),
                available ? QByteArrayLiteral("online") : QByteArrayLiteral("offline"));
        b.published_available = available;
    }
    if (!b.reported)
        return;
    const link::relay_states& now = *b.reported;
    if (!everything && b.published == now)
        return;
    // States at QoS 0: TCP delivers them while the session lasts, and all of
    // them are published again after a reconnection. No acknowledgements
    // come back to delay the next command behind them.
    for (int n = 1; n <= relay_count; ++n) {
        if (everything || !b.published || (*b.published)[n - 1] != now[n - 1])
            publish(topics_.relay(address, n), relay_payload(now[n - 1]), 0);
    }
    publish(topics_.state(address), state_payload(now), 0);
    b.published = now;
}

void bridge::on_connected()
{
    last_broker_problem_.clear();
    qCInfo(bridge_log, "connected to the broker at %s:%d", qUtf8Printable(config_.broker_host),
           config_.broker_port);
    broker_.subscribe(topics_.relay_set_filter(), 1);
    broker_.subscribe(topics_.all_set_filter(), 1);
    publish(topics_.status(), QByteArrayLiteral("online"));
    if (topics_.discovery()) {
        broker_.subscribe(topics_.discovery_status(), 1);
        // Retained configs of this bridge's boards come back here; those of
        // boards no longer served are cleared.
        broker_.subscribe(topics_.discovery_config_filter(), 1);
        for (int address : config_.boards)
            publish(topics_.discovery_config(address),
                    discovery_payload(topics_, address, board_name(config_, address)));
    }
    // The broker may have lost everything retained (a restart without persistence).
    for (int address : config_.boards)
        publish_board(address, true);
}

void bridge::on_disconnected(const QString& reason)
{
    if (stopping_)
        return;
    // The library retries with growing pauses; the same failure is told once.
    if (reason == last_broker_problem_) {
        qCDebug(bridge_log, "broker %s:%d: %s", qUtf8Printable(config_.broker_host),
                config_.broker_port, qUtf8Printable(reason));
        return;
    }
    last_broker_problem_ = reason;
    qCWarning(bridge_log, "broker %s:%d: %s; trying again with growing pauses",
              qUtf8Printable(config_.broker_host), config_.broker_port, qUtf8Printable(reason));
}

void bridge::on_message(const QString& topic, const QByteArray& payload, bool retained)
{
    qCDebug(bridge_log, "mqtt < %s%s %s", qUtf8Printable(topic), retained ? " (retained)" : "",
            qUtf8Printable(printable(payload, 400)));
    if (stopping_)
        return;
    const incoming in = classify(topics_, served_, topic, payload, retained);
    switch (in.what) {
    case incoming::kind::not_mine:
        break;
    case incoming::kind::refused:
        qCWarning(bridge_log, "%s", qUtf8Printable(in.reason));
        break;
    case incoming::kind::command:
        carry_out(in.cmd);
        break;
    case incoming::kind::discovery_online:
        qCInfo(bridge_log, "Home Assistant is online: discovery and states published again");
        for (int address : config_.boards) {
            publish(topics_.discovery_config(address),
                    discovery_payload(topics_, address, board_name(config_, address)));
            publish_board(address, true);
        }
        break;
    case incoming::kind::stale_discovery:
        remove_board(in.address);
        break;
    }
}

void bridge::remove_board(int address)
{
    qCInfo(bridge_log, "board %d is no longer configured: removed from Home Assistant and its "
                       "retained topics cleared",
           address);
    // An empty retained message deletes what the broker keeps.
    publish(topics_.discovery_config(address), QByteArray());
    publish(topics_.availability(address), QByteArray());
    publish(topics_.state(address), QByteArray());
    for (int n = 1; n <= relay_count; ++n)
        publish(topics_.relay(address, n), QByteArray());
}

void bridge::carry_out(const command& cmd)
{
    const QString what = relay_text(cmd);
    qCDebug(bridge_log, "%s: sending", qUtf8Printable(what));
    auto done = [this, what, address = cmd.address](const link::relay_result& result) {
        if (result.reported)
            on_reported(address, *result.reported);
        switch (result.result) {
        case link::outcome::done:
            qCInfo(bridge_log, "%s: confirmed by the board", qUtf8Printable(what));
            break;
        case link::outcome::not_confirmed:
            qCWarning(bridge_log, "%s: not confirmed after %d frames; the board reports %s",
                      qUtf8Printable(what), result.frames_sent,
                      result.reported ? qUtf8Printable(states_text(*result.reported))
                                      : "nothing");
            break;
        case link::outcome::no_reply:
            qCWarning(bridge_log, "%s: no reply from the board after %d frames",
                      qUtf8Printable(what), result.frames_sent);
            break;
        case link::outcome::port_closed:
            qCWarning(bridge_log, "%s: not sent, the line is not open", qUtf8Printable(what));
            break;
        }
    };
    if (cmd.relay == 0)
        line_.switch_all(cmd.address, cmd.what == command::action::on, done);
    else if (cmd.what == command::action::toggle)
        line_.toggle(cmd.address, cmd.relay, done);
    else
        line_.switch_relay(cmd.address, cmd.relay, cmd.what == command::action::on, done);
}

void bridge::on_reported(int address, const link::relay_states& relays)
{
    if (!served_.contains(address))
        return;
    boards_[address].reported = relays;
    publish_board(address, false);
}

void bridge::on_availability(int address, bool available)
{
    if (!served_.contains(address))
        return;
    board& b = boards_[address];
    if (b.available == available)
        return;
    b.available = available;
    if (available)
        qCInfo(bridge_log, "board %d is online", address);
    else
        qCWarning(bridge_log, "board %d is offline: no reply to %d polls in a row", address,
                  line_.settings().unavailable_after);
    publish_board(address, false);
}

void bridge::on_line_lost(const QString& reason)
{
    qCWarning(bridge_log, "line lost: %s; every board is offline until the line is back",
              qUtf8Printable(reason));
    for (int address : config_.boards) {
        boards_[address].available = false;
        publish_board(address, false);
    }
}

void bridge::stop()
{
    if (stopping_)
        return;
    qCInfo(bridge_log, "stopping");
    reopen_timer_.stop();
    if (broker_.is_connected()) {
        for (int address : config_.boards)
            broker_.publish(topics_.availability(address), QByteArrayLiteral("offline"), 1, true);
        broker_.publish(topics_.status(), QByteArrayLiteral("offline"), 1, true);
    }
    stopping_ = true;
    broker_.stop(stop_timeout_ms);
}

} // namespace telvar::mqtt
