#include "mqtt/bridge.h"

#include "mqtt/discovery.h"

#include <QLoggingCategory>

#include <algorithm>

namespace telvar::mqtt {

Q_LOGGING_CATEGORY(bridge_log, "telvar.mqtt")

namespace {

constexpr int stop_timeout_ms = 2000;
// READY goes out at the latest this long after the start, while a first
// attempt still waits for a slow name lookup or connection.
constexpr int ready_at_the_latest_ms = 10000;

QString relay_text(const topic_scheme& topics, const command& cmd)
{
    const QByteArray pulse = "pulse " + duration_payload(cmd.pulse_ms);
    const char* word = cmd.what == command::action::on    ? "ON"
                       : cmd.what == command::action::off ? "OFF"
                       : cmd.what == command::action::pulse ? pulse.constData()
                                                            : "TOGGLE";
    if (cmd.relay == 0)
        return QStringLiteral("%1 all relays %2")
            .arg(topics.board_text(cmd.address), QLatin1String(word));
    return QStringLiteral("%1 relay %2 %3")
        .arg(topics.board_text(cmd.address))
        .arg(cmd.relay)
        .arg(QLatin1String(word));
}

QStringList line_names(const QList<bridge_line>& lines)
{
    QStringList names;
    for (const bridge_line& line : lines)
        names << line.name;
    return names;
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

bool is_loopback(const QString& address)
{
    return address.startsWith(QLatin1String("127.")) || address == QLatin1String("::1") ||
           address.startsWith(QLatin1String("::ffff:127.")) ||
           address == QLatin1String("localhost");
}

QString numbers(const topic_scheme& topics, const QList<int>& keys)
{
    QStringList out;
    for (int key : keys)
        out << topics.board_level(key);
    return out.join(QStringLiteral(", "));
}

session_settings session_for(const bridge_config& config, const topic_scheme& topics,
                             const bridge_identity& identity)
{
    session_settings s = broker_session(config, identity.token);
    s.will_topic = topics.status();
    s.will_payload = QByteArrayLiteral("offline");
    return s;
}

std::map<int, qint64> pulses_of(const QList<bridge_line>& lines, int key)
{
    const auto& pulses = lines[key_line(key)].pulse_ms;
    const auto board = pulses.find(key_address(key));
    return board == pulses.end() ? std::map<int, qint64>{} : board->second;
}

bool same_session(const bridge_config& a, const bridge_config& b)
{
    return a.broker_host == b.broker_host && a.broker_port == b.broker_port &&
           a.bridge_id == b.bridge_id && a.prefix == b.prefix &&
           a.discovery_prefix == b.discovery_prefix && a.username == b.username &&
           a.password == b.password && a.has_password == b.has_password &&
           a.cafile == b.cafile && a.certfile == b.certfile && a.keyfile == b.keyfile;
}

} // namespace

bridge::bridge(const bridge_config& config, const QList<bridge_line>& lines, client& broker,
               QObject* parent)
    : QObject(parent), config_(config), lines_(lines), broker_(broker),
      topics_(config.prefix, config.bridge_id, config.discovery_prefix, line_names(lines)),
      identity_(bridge_identity::of_this_process()),
      twins_(std::make_unique<twin_check>(topics_, identity_))
{
    for (int key : keys()) {
        served_.insert(key);
        boards_.insert(key, board{});
    }
    probe_timer_.setSingleShot(true);
    connect(&probe_timer_, &QTimer::timeout, this, &bridge::go_live);
    ready_timer_.setSingleShot(true);
    connect(&ready_timer_, &QTimer::timeout, this, &bridge::announce_ready);
    diag_timer_.setInterval(diag_interval_ms);
    connect(&diag_timer_, &QTimer::timeout, this, &bridge::publish_diag);

    connect(&broker_, &client::connected, this, &bridge::on_connected);
    connect(&broker_, &client::disconnected, this, &bridge::on_disconnected);
    connect(&broker_, &client::message, this, &bridge::on_message);
    connect(&broker_, &client::stopped, this, [this] {
        qCInfo(bridge_log, "MQTT stopped");
        emit finished(ending_);
    });
    for (int line = 0; line < lines_.size(); ++line)
        watch_line(line);
}

void bridge::watch_line(int line)
{
    link::board_link* on = lines_[line].link;
    connect(on, &link::board_link::board_reported, this,
            [this, line](int address, const link::relay_states& relays) {
                on_reported(board_key(line, address), relays);
            });
    connect(on, &link::board_link::availability_changed, this,
            [this, line](int address, bool available) {
                on_availability(board_key(line, address), available);
            });
    connect(on, &link::board_link::line_lost, this,
            [this, line](const QString& reason) { on_line_lost(line, reason); });
}

QList<int> bridge::keys() const
{
    QList<int> out;
    for (int line = 0; line < lines_.size(); ++line)
        for (int address : lines_[line].boards)
            out << board_key(line, address);
    return out;
}

session_settings bridge::session() const
{
    return session_for(config_, topics_, identity_);
}

bool bridge::start()
{
    qCInfo(bridge_log, "MQTT: boards %s on the broker %s:%d as %s%s",
           qUtf8Printable(numbers(topics_, keys())), qUtf8Printable(config_.broker_host),
           config_.broker_port, qUtf8Printable(topics_.base()),
           config_.cafile.isEmpty() ? "" : " over TLS");
    if (!start_session(false)) {
        ending_ = ending::no_session;
        return false;
    }
    ready_timer_.start(ready_at_the_latest_ms);
    return true;
}

bool bridge::start_session(bool with_will)
{
    session_settings s = session();
    if (!with_will) {
        // Until no live twin answered, a lost connection must not say offline for it.
        s.will_topic.clear();
        s.will_payload.clear();
    }
    QString error;
    if (broker_.start(s, &error))
        return true;
    qCCritical(bridge_log, "%s", qUtf8Printable(error));
    return false;
}

void bridge::publish(const QString& topic, const QByteArray& payload, int qos)
{
    qCDebug(bridge_log, "mqtt > %s %s", qUtf8Printable(topic), qUtf8Printable(printable(payload, 400)));
    broker_.publish(topic, payload, qos, true);
}

void bridge::publish_board(int address, bool everything)
{
    board& b = boards_[address];
    if (!broker_.is_connected() || stopping_ || phase_ != phase::live)
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

void bridge::publish_discovery(int address)
{
    if (!topics_.discovery())
        return;
    const bridge_line& line = lines_[key_line(address)];
    const auto pulses = line.pulse_ms.find(key_address(address));
    publish(topics_.discovery_config(address),
            discovery_payload(topics_, address, board_name(line, key_address(address)),
                              pulses == line.pulse_ms.end() ? std::map<int, qint64>{}
                                                            : pulses->second));
}

void bridge::publish_diag()
{
    if (!broker_.is_connected() || stopping_ || phase_ != phase::live)
        return;
    for (int key : keys())
        publish(topics_.diag(key),
                diag_payload(lines_[key_line(key)].link->health(key_address(key))), 0);
}

void bridge::on_connected()
{
    last_broker_problem_.clear();
    warn_about_password();
    // Every session asks: a twin may have come up while this one was away.
    broker_.subscribe(twins_->filter(), 1);
    broker_.publish(twins_->probe_topic(), identity_.payload(), 1, false);
    if (phase_ == phase::probing) {
        qCDebug(bridge_log, "broker %s:%d answered at %s; asking whether another bridge serves %s",
                qUtf8Printable(config_.broker_host), config_.broker_port,
                qUtf8Printable(broker_.peer_address()), qUtf8Printable(topics_.base()));
        probe_timer_.start(probe_ms);
        return;
    }
    if (phase_ != phase::live)
        return;
    qCInfo(bridge_log, "connected to the broker at %s:%d (%s)", qUtf8Printable(config_.broker_host),
           config_.broker_port, qUtf8Printable(broker_.peer_address()));
    broker_.subscribe(topics_.relay_set_filter(), 1);
    broker_.subscribe(topics_.all_set_filter(), 1);
    broker_.subscribe(topics_.relay_pulse_filter(), 1);
    // A will left by a predecessor that is gone is answered (on_message).
    broker_.subscribe(topics_.status(), 1);
    publish(topics_.status(), QByteArrayLiteral("online"));
    if (topics_.discovery()) {
        broker_.subscribe(topics_.discovery_status(), 1);
        // Retained configs of this bridge's boards come back here; those of
        // boards the configuration file dropped are cleared.
        broker_.subscribe(topics_.discovery_config_filter(), 1);
        for (int key : keys())
            publish_discovery(key);
    }
    // The broker may have lost everything retained (a restart without persistence).
    for (int key : keys())
        publish_board(key, true);
    publish_diag();
    diag_timer_.start();
    announce_ready();
}

void bridge::go_live()
{
    if (stopping_ || phase_ != phase::probing)
        return;
    qCDebug(bridge_log, "no other bridge answered for %s in %d s", qUtf8Printable(topics_.base()),
            probe_ms / 1000);
    phase_ = phase::live;
    // Now with the will: the broker says offline for this bridge if it dies.
    if (!start_session(true)) {
        ending_ = ending::no_session;
        stopping_ = true;
        broker_.stop(0);
    }
}

void bridge::on_disconnected(const QString& reason)
{
    if (stopping_)
        return;
    probe_timer_.stop();
    announce_ready();  // the broker is being retried
    // The client retries with growing pauses; the same failure is told once.
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
    qCDebug(bridge_log, "mqtt < %s%s %s", qUtf8Printable(printable(topic.toUtf8(), 200)),
            retained ? " (retained)" : "", qUtf8Printable(printable(payload, 400)));
    if (stopping_)
        return;
    const twin_check::verdict twin = twins_->judge(topic, payload);
    switch (twin.what) {
    case twin_check::verdict::kind::answer:
        qCInfo(bridge_log, "another telvard with id %s started (%s); it is told that this "
                           "one runs",
               qUtf8Printable(config_.bridge_id), qUtf8Printable(twin.other.describe()));
        broker_.publish(twins_->alive_topic(), identity_.payload(), 1, false);
        return;
    case twin_check::verdict::kind::yield:
        yield_to(twin.other);
        return;
    case twin_check::verdict::kind::none:
        break;
    }
    if (topic == topics_.status()) {
        // Only a will sets it offline while this bridge runs: that of a
        // predecessor whose death the broker noticed late (a power cut), or
        // this one's own from a broker that shuts down.
        if (!retained && payload == "offline" && phase_ == phase::live) {
            qCWarning(bridge_log, "%s was set offline by a last will (of a bridge of this id "
                                  "that is gone, or a broker shutting down); online again",
                      qUtf8Printable(topics_.status()));
            publish(topics_.status(), QByteArrayLiteral("online"));
        }
        return;
    }
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
        for (int key : keys()) {
            publish_discovery(key);
            publish_board(key, true);
        }
        publish_diag();
        break;
    case incoming::kind::stale_discovery:
        if (config_.boards_from_file)
            remove_board(in.address);
        else
            qCDebug(bridge_log, "%s is not served in this run (--boards); it stays in "
                                "Home Assistant",
                    qUtf8Printable(board_text(in.address)));
        break;
    }
}

void bridge::yield_to(const bridge_identity& other)
{
    qCCritical(bridge_log, "another telvard already serves bridge id %s on the broker at "
                           "%s:%d (%s): stop that one first (systemctl stop telvard), or "
                           "give this one an id of its own (--id, or id in [mqtt])",
               qUtf8Printable(config_.bridge_id), qUtf8Printable(config_.broker_host),
               config_.broker_port, qUtf8Printable(other.describe()));
    // Quietly: the other bridge's status and boards are its own.
    phase_ = phase::leaving;
    ending_ = ending::twin_running;
    stopping_ = true;
    probe_timer_.stop();
    broker_.stop(stop_timeout_ms);
}

void bridge::remove_board(int address)
{
    qCInfo(bridge_log, "%s is no longer configured: removed from Home Assistant and its "
                       "retained topics cleared",
           qUtf8Printable(board_text(address)));
    // An empty retained message deletes what the broker keeps.
    for (const QString& topic : topics_.board_topics(address))
        publish(topic, QByteArray());
}

void bridge::carry_out(const command& cmd)
{
    const QString what = relay_text(topics_, cmd);
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
        case link::outcome::line_lost:
            qCWarning(bridge_log, "%s: sent, no reply before the line was lost",
                      qUtf8Printable(what));
            break;
        case link::outcome::offline:
            qCWarning(bridge_log, "%s: not sent, the board is offline (it answered none of its "
                                  "last polls)",
                      qUtf8Printable(what));
            break;
        case link::outcome::queue_full:
            qCWarning(bridge_log, "%s: not sent, too many commands wait on the line; send it "
                                  "again later",
                      qUtf8Printable(what));
            break;
        case link::outcome::superseded:
            qCInfo(bridge_log, "%s: not sent, a newer command for the same relay took its place",
                   qUtf8Printable(what));
            break;
        }
    };
    link::board_link& line = *lines_[key_line(cmd.address)].link;
    const int address = key_address(cmd.address);
    if (cmd.what == command::action::pulse) {
        // The release is the link's: it keeps its deadline whatever becomes of the broker.
        line.pulse(address, cmd.relay, cmd.pulse_ms, done,
                   [this, what, address = cmd.address](const link::relay_result& result) {
                       if (result.result != link::outcome::done)
                           return;  // the pull-in's failure, told above
                       if (result.reported)
                           on_reported(address, *result.reported);
                       qCInfo(bridge_log, "%s: released, confirmed by the board",
                              qUtf8Printable(what));
                   });
        return;
    }
    if (cmd.relay == 0)
        line.switch_all(address, cmd.what == command::action::on, done);
    else if (cmd.what == command::action::toggle)
        line.toggle(address, cmd.relay, done);
    else
        line.switch_relay(address, cmd.relay, cmd.what == command::action::on, done);
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
        qCInfo(bridge_log, "%s is online", qUtf8Printable(board_text(address)));
    else
        qCWarning(bridge_log, "%s is offline: no reply to %d polls in a row",
                  qUtf8Printable(board_text(address)),
                  lines_[key_line(address)].link->settings().unavailable_after);
    publish_board(address, false);
}

void bridge::on_line_lost(int line, const QString& /*reason*/)
{
    // The service logs the loss itself; here the line's boards go offline.
    for (int address : lines_[line].boards) {
        board& b = boards_[board_key(line, address)];
        b.available = false;
        publish_board(board_key(line, address), false);
    }
}

void bridge::line_reopened(int line)
{
    for (int address : lines_[line].boards) {
        const int key = board_key(line, address);
        boards_[key] = board{};
        boards_[key].available = false;
        publish_board(key, false);
    }
}

void bridge::publish_offline()
{
    for (int key : keys())
        broker_.publish(topics_.availability(key), QByteArrayLiteral("offline"), 1, true);
    broker_.publish(topics_.status(), QByteArrayLiteral("offline"), 1, true);
}

void bridge::announce_ready()
{
    if (ready_sent_)
        return;
    ready_sent_ = true;
    ready_timer_.stop();
    emit ready();
}

void bridge::warn_about_password()
{
    if (!config_.has_password || !config_.cafile.isEmpty())
        return;
    const QString peer = broker_.peer_address();
    if (is_loopback(peer.isEmpty() ? config_.broker_host : peer) || warned_peers_.contains(peer))
        return;
    warned_peers_.insert(peer);
    qCWarning(bridge_log, "the password of %s goes to the broker at %s:%d (%s) without TLS: "
                          "anyone on the network between can read it; set cafile to use TLS",
              qUtf8Printable(config_.username), qUtf8Printable(config_.broker_host),
              config_.broker_port, qUtf8Printable(peer));
}

QStringList bridge::reload(const bridge_config& next, const QList<bridge_line>& lines)
{
    if (stopping_)
        return {};
    const QList<bridge_line> old_lines = lines_;
    const QList<int> old_keys = keys();
    QStringList changes;
    QList<int> added, removed, renamed, new_pulses;
    lines_ = lines;
    const QList<int> next_keys = keys();
    for (int key : next_keys) {
        if (!old_keys.contains(key))
            added << key;
        else if (board_name(old_lines[key_line(key)], key_address(key))
                 != board_name(lines_[key_line(key)], key_address(key)))
            renamed << key;
        else if (pulses_of(old_lines, key) != pulses_of(lines_, key))
            new_pulses << key;  // its buttons change
    }
    for (int key : old_keys)
        if (!next_keys.contains(key))
            removed << key;
    const bool session_changed = !same_session(config_, next);
    const bool was_live = broker_.is_connected() && phase_ == phase::live;

    if (session_changed) {
        // The old topics are left as a stop leaves them; the new session asks
        // again whether a bridge of its id runs. If the new session cannot be
        // made, the old one goes on.
        const topic_scheme next_topics(next.prefix, next.bridge_id, next.discovery_prefix,
                                       line_names(lines_));
        session_settings s = session_for(next, next_topics, identity_);
        s.will_topic.clear();
        s.will_payload.clear();
        if (was_live) {
            // Offline for every board served before, on the old topics.
            const QList<bridge_line> now = lines_;
            lines_ = old_lines;
            publish_offline();
            lines_ = now;
        }
        QString error;
        if (!broker_.start(s, &error)) {
            qCCritical(bridge_log, "reload refused: %s; the old settings go on",
                       qUtf8Printable(error));
            lines_ = old_lines;
            if (was_live)
                on_connected();
            return {QStringLiteral("MQTT: the new session was refused, the old one goes on")};
        }
        phase_ = phase::probing;
        probe_timer_.stop();
        changes << QStringLiteral("broker session %1:%2 as %3")
                       .arg(next.broker_host)
                       .arg(next.broker_port)
                       .arg(next_topics.base());
    }
    const bool removing = next.boards_from_file && was_live && !session_changed;
    for (int key : removed) {
        if (removing)
            remove_board(key);
        served_.remove(key);
        boards_.remove(key);
    }
    config_ = next;
    topics_ = topic_scheme(config_.prefix, config_.bridge_id, config_.discovery_prefix,
                           line_names(lines_));
    twins_ = std::make_unique<twin_check>(topics_, identity_);
    for (int key : added) {
        served_.insert(key);
        boards_.insert(key, board{});
    }
    if (session_changed) {
        // Everything is published afresh to the new session.
        for (board& b : boards_) {
            b.published.reset();
            b.published_available.reset();
        }
    }
    if (!session_changed && was_live) {
        for (int key : added) {
            publish_discovery(key);
            publish_board(key, true);
        }
        for (int key : renamed + new_pulses)
            publish_discovery(key);
    }
    if (!added.isEmpty())
        changes << QStringLiteral("boards added: %1").arg(numbers(topics_, added));
    if (!removed.isEmpty())
        changes << QStringLiteral("boards %1: %2")
                       .arg(next.boards_from_file ? QStringLiteral("removed")
                                                  : QStringLiteral("no longer served"),
                            numbers(topics_, removed));
    if (!renamed.isEmpty())
        changes << QStringLiteral("boards renamed: %1").arg(numbers(topics_, renamed));
    if (!new_pulses.isEmpty())
        changes << QStringLiteral("new pulses on boards %1").arg(numbers(topics_, new_pulses));
    return changes;
}

void bridge::stop()
{
    if (stopping_)
        return;
    probe_timer_.stop();
    if (broker_.is_connected() && phase_ == phase::live)
        publish_offline();
    stopping_ = true;
    broker_.stop(stop_timeout_ms);
}

} // namespace telvar::mqtt
