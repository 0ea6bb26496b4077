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

bool is_loopback(const QString& address)
{
    return address.startsWith(QLatin1String("127.")) || address == QLatin1String("::1") ||
           address.startsWith(QLatin1String("::ffff:127.")) ||
           address == QLatin1String("localhost");
}

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

session_settings session_for(const bridge_config& config, const topic_scheme& topics,
                             const bridge_identity& identity)
{
    session_settings s = broker_session(config, identity.token);
    s.will_topic = topics.status();
    s.will_payload = QByteArrayLiteral("offline");
    return s;
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

bridge::bridge(const bridge_config& config, link::board_link& line, client& broker,
               QObject* parent)
    : QObject(parent), config_(config), line_(line), broker_(broker),
      topics_(config.prefix, config.bridge_id, config.discovery_prefix),
      identity_(bridge_identity::of_this_process()),
      twins_(std::make_unique<twin_check>(topics_, identity_))
{
    for (int address : config_.boards) {
        served_.insert(address);
        boards_.insert(address, board{});
    }
    reopen_timer_.setSingleShot(true);
    connect(&reopen_timer_, &QTimer::timeout, this, &bridge::open_line);
    probe_timer_.setSingleShot(true);
    connect(&probe_timer_, &QTimer::timeout, this, &bridge::go_live);
    ready_timer_.setSingleShot(true);
    connect(&ready_timer_, &QTimer::timeout, this, &bridge::announce_ready);

    connect(&broker_, &client::connected, this, &bridge::on_connected);
    connect(&broker_, &client::disconnected, this, &bridge::on_disconnected);
    connect(&broker_, &client::message, this, &bridge::on_message);
    connect(&broker_, &client::stopped, this, [this] {
        line_.set_polled({});
        line_.close();
        qCInfo(bridge_log, "stopped");
        emit finished(ending_);
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
                       qUtf8Printable(clause(link::open_failure_text(config_.port, result))),
                       std::max(1, next_try_ms / 1000));
            });
}

session_settings bridge::session() const
{
    return session_for(config_, topics_, identity_);
}

bool bridge::start()
{
    qCInfo(bridge_log, "serving boards %s on port %s; broker %s:%d as %s%s",
           qUtf8Printable(numbers(config_.boards)), qUtf8Printable(config_.port_text),
           qUtf8Printable(config_.broker_host), config_.broker_port,
           qUtf8Printable(topics_.base()), config_.cafile.isEmpty() ? "" : " over TLS");
    if (!start_session(false)) {
        ending_ = ending::no_session;
        return false;
    }
    open_line();
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

void bridge::open_line()
{
    if (stopping_)
        return;
    const open_result opened = line_.open(config_.port);
    if (opened.ok) {
        reopen_pause_.reset();
        last_open_problem_.clear();
        qCInfo(bridge_log, "line open: %s", qUtf8Printable(config_.port.describe(line_.device())));
        line_.set_polled(config_.boards);
        return;
    }
    // A missing adapter at start is not a reason to give up: it may be plugged in later.
    const int pause = reopen_pause_.next();
    const QString why = clause(link::open_failure_text(config_.port, opened));
    // The same failure is told once; the tries go on quietly.
    if (why != last_open_problem_)
        qCWarning(bridge_log, "%s; trying again with growing pauses", qUtf8Printable(why));
    else
        qCDebug(bridge_log, "%s; next try in %d s", qUtf8Printable(why), pause / 1000);
    last_open_problem_ = why;
    reopen_timer_.start(pause);
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
    if (topics_.discovery())
        publish(topics_.discovery_config(address),
                discovery_payload(topics_, address, board_name(config_, address)));
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
    // A will left by a predecessor that is gone is answered (on_message).
    broker_.subscribe(topics_.status(), 1);
    publish(topics_.status(), QByteArrayLiteral("online"));
    if (topics_.discovery()) {
        broker_.subscribe(topics_.discovery_status(), 1);
        // Retained configs of this bridge's boards come back here; those of
        // boards the configuration file dropped are cleared.
        broker_.subscribe(topics_.discovery_config_filter(), 1);
        for (int address : config_.boards)
            publish_discovery(address);
    }
    // The broker may have lost everything retained (a restart without persistence).
    for (int address : config_.boards)
        publish_board(address, true);
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
        qCInfo(bridge_log, "another telvar-mqtt with id %s started (%s); it is told that this "
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
        for (int address : config_.boards) {
            publish_discovery(address);
            publish_board(address, true);
        }
        break;
    case incoming::kind::stale_discovery:
        if (config_.boards_from_file)
            remove_board(in.address);
        else
            qCDebug(bridge_log, "board %d is not served in this run (--boards); it stays in "
                                "Home Assistant",
                    in.address);
        break;
    }
}

void bridge::yield_to(const bridge_identity& other)
{
    qCCritical(bridge_log, "another telvar-mqtt already serves bridge id %s on the broker at "
                           "%s:%d (%s): stop that one first (systemctl stop telvar-mqtt), or "
                           "give this one an id of its own (--id, or id in [mqtt])",
               qUtf8Printable(config_.bridge_id), qUtf8Printable(config_.broker_host),
               config_.broker_port, qUtf8Printable(other.describe()));
    // Quietly: the other bridge's status and boards are its own.
    phase_ = phase::leaving;
    ending_ = ending::twin_running;
    stopping_ = true;
    probe_timer_.stop();
    reopen_timer_.stop();
    broker_.stop(stop_timeout_ms);
}

void bridge::remove_board(int address)
{
    qCInfo(bridge_log, "board %d is no longer configured: removed from Home Assistant and its "
                       "retained topics cleared",
           address);
    // An empty retained message deletes what the broker keeps.
    for (const QString& topic : topics_.board_topics(address))
        publish(topic, QByteArray());
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
        case link::outcome::line_lost:
            qCWarning(bridge_log, "%s: sent, no reply before the line was lost",
                      qUtf8Printable(what));
            break;
        case link::outcome::offline:
            qCWarning(bridge_log, "%s: not sent, board %d is offline (it answered none of its "
                                  "last polls)",
                      qUtf8Printable(what), address);
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

void bridge::publish_offline()
{
    for (int address : config_.boards)
        broker_.publish(topics_.availability(address), QByteArrayLiteral("offline"), 1, true);
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

void bridge::reload(const bridge_config& next)
{
    if (stopping_)
        return;
    const bridge_config old = config_;
    QStringList changes;
    QList<int> added, removed, renamed;
    for (int address : next.boards) {
        if (!old.boards.contains(address))
            added << address;
        else if (board_name(old, address) != board_name(next, address))
            renamed << address;
    }
    for (int address : old.boards)
        if (!next.boards.contains(address))
            removed << address;
    const bool session_changed = !same_session(old, next);
    const bool port_changed = old.port_text != next.port_text;
    const bool was_live = broker_.is_connected() && phase_ == phase::live;

    if (session_changed) {
        // The old topics are left as a stop leaves them; the new session asks
        // again whether a bridge of its id runs. If the new session cannot be
        // made, the old one goes on.
        const topic_scheme next_topics(next.prefix, next.bridge_id, next.discovery_prefix);
        if (was_live)
            publish_offline();
        session_settings s = session_for(next, next_topics, identity_);
        s.will_topic.clear();
        s.will_payload.clear();
        QString error;
        if (!broker_.start(s, &error)) {
            qCCritical(bridge_log, "reload refused: %s; the old settings go on",
                       qUtf8Printable(error));
            if (was_live)
                on_connected();
            return;
        }
        phase_ = phase::probing;
        probe_timer_.stop();
        changes << QStringLiteral("broker session %1:%2 as %3")
                       .arg(next.broker_host)
                       .arg(next.broker_port)
                       .arg(next_topics.base());
    }
    const bool removing = next.boards_from_file && was_live && !session_changed;
    for (int address : removed) {
        if (removing)
            remove_board(address);
        served_.remove(address);
        boards_.remove(address);
    }
    config_ = next;
    topics_ = topic_scheme(config_.prefix, config_.bridge_id, config_.discovery_prefix);
    twins_ = std::make_unique<twin_check>(topics_, identity_);
    for (int address : added) {
        served_.insert(address);
        boards_.insert(address, board{});
    }
    if (session_changed) {
        // Everything is published afresh to the new session.
        for (board& b : boards_) {
            b.published.reset();
            b.published_available.reset();
        }
    }
    if (port_changed) {
        line_.set_polled({});
        line_.close();
        for (int address : config_.boards) {
            boards_[address] = board{};
            boards_[address].available = false;
            publish_board(address, false);
        }
        reopen_timer_.stop();
        reopen_pause_.reset();
        last_open_problem_.clear();
        changes << QStringLiteral("port %1").arg(config_.port_text);
        open_line();
    } else if (line_.is_open()) {
        line_.set_polled(config_.boards);
    }
    if (!session_changed && was_live) {
        for (int address : added) {
            publish_discovery(address);
            publish_board(address, true);
        }
        for (int address : renamed)
            publish_discovery(address);
    }
    if (next.interval_ms != old.interval_ms)
        qCWarning(bridge_log, "a new poll interval (%d ms) takes effect when the bridge is "
                              "restarted; polling goes on every %d ms",
                  next.interval_ms, line_.settings().poll_interval_ms);
    if (!added.isEmpty())
        changes << QStringLiteral("boards added: %1").arg(numbers(added));
    if (!removed.isEmpty())
        changes << QStringLiteral("boards %1: %2")
                       .arg(next.boards_from_file ? QStringLiteral("removed")
                                                  : QStringLiteral("no longer served"),
                            numbers(removed));
    if (!renamed.isEmpty())
        changes << QStringLiteral("boards renamed: %1").arg(numbers(renamed));
    qCInfo(bridge_log, "configuration reloaded%s%s: %s",
           config_.file.isEmpty() ? "" : " from ", qUtf8Printable(config_.file),
           changes.isEmpty() ? "nothing changed" : qUtf8Printable(changes.join(QStringLiteral("; "))));
}

void bridge::stop()
{
    if (stopping_)
        return;
    qCInfo(bridge_log, "stopping");
    reopen_timer_.stop();
    probe_timer_.stop();
    if (broker_.is_connected() && phase_ == phase::live)
        publish_offline();
    stopping_ = true;
    broker_.stop(stop_timeout_ms);
}

} // namespace telvar::mqtt
