// The service's MQTT front: board reports on the service's lines become
// retained state messages, set and pulse topics become link requests that
// only the boards' own replies confirm, availability follows the link's poll
// rule and the line itself, and each board's link health is published as
// its diag. The service opens and holds the lines; the
// bridge only uses them. Everything runs on one thread; the links and the
// broker client report to it through signals.
//
// Its first session with the broker has no will: it asks whether another
// bridge of the same id is alive (twin_check) and only then connects again
// with the will that sets T/status offline, so that a second copy started
// by mistake never makes the first one look dead.
#pragma once

#include "link/board_link.h"
#include "mqtt/bridge_config.h"
#include "mqtt/mqtt_client.h"
#include "mqtt/topics.h"
#include "mqtt/twin_check.h"

#include <QMap>
#include <QObject>
#include <QSet>
#include <QTimer>

#include <memory>
#include <optional>

namespace telvar::mqtt {

class bridge : public QObject {
    Q_OBJECT
public:
    enum class ending {
        stopped,       // stop() was asked for
        twin_running,  // an older bridge with the same id is alive on the broker
        no_session,    // the broker client could not be made
    };

    /** The links in @p lines outlive the bridge. */
    bridge(const bridge_config& config, const QList<bridge_line>& lines, client& broker,
           QObject* parent = nullptr);

    /**
     * Connects to the broker.
     * @return false when the broker client cannot be made (logged): nothing runs.
     */
    bool start();
    /** Publishes offline and leaves the broker cleanly; then finished(). */
    void stop();
    /**
     * Takes a new configuration while running: boards added, removed or
     * renamed; a changed broker or topic reconnects. The other boards keep
     * their states. The lines are the same lines, by name and order.
     * @return what changed, for the service's log line.
     */
    QStringList reload(const bridge_config& next, const QList<bridge_line>& lines);
    /** A line was closed and opened on another port: its boards start afresh, offline. */
    void line_reopened(int line);

    /** The session settings the live session connects with (will included). */
    session_settings session() const;

    /** How long a connecting bridge waits for a live twin's answer. */
    static constexpr int probe_ms = 3000;
    /** How often every board's T/ADDR/diag is published (and at every connection). */
    static constexpr int diag_interval_ms = 60000;

signals:
    /** The line was tried and the broker connected or being retried: for READY. */
    void ready();
    void finished(telvar::mqtt::bridge::ending how);

private:
    struct board {
        std::optional<link::relay_states> reported;   // the board's last report
        std::optional<link::relay_states> published;  // what the broker holds from us
        std::optional<bool> available;
        std::optional<bool> published_available;
    };
    enum class phase { probing, live, leaving };

    bool start_session(bool with_will);
    void on_connected();
    void go_live();
    void on_disconnected(const QString& reason);
    void on_message(const QString& topic, const QByteArray& payload, bool retained);
    void watch_line(int line);
    QList<int> keys() const;  // every board served, line by line
    QString board_text(int key) const { return topics_.board_text(key); }
    void on_reported(int key, const link::relay_states& relays);
    void on_availability(int key, bool available);
    void on_line_lost(int line, const QString& reason);
    void carry_out(const command& cmd);
    void yield_to(const bridge_identity& other);
    void remove_board(int address);
    void publish_discovery(int address);
    void publish_diag();
    void publish_offline();
    void announce_ready();
    void warn_about_password();

    void publish(const QString& topic, const QByteArray& payload, int qos = 1);
    void publish_board(int address, bool everything);

    bridge_config config_;
    QList<bridge_line> lines_;
    client& broker_;
    topic_scheme topics_;
    bridge_identity identity_;
    std::unique_ptr<twin_check> twins_;
    phase phase_ = phase::probing;
    ending ending_ = ending::stopped;
    QSet<int> served_;  // board keys
    QMap<int, board> boards_;
    QTimer probe_timer_;
    QTimer ready_timer_;
    QTimer diag_timer_;
    bool ready_sent_ = false;
    QString last_broker_problem_;
    QSet<QString> warned_peers_;
    bool restarting_session_ = false;
    bool stopping_ = false;
};

} // namespace telvar::mqtt
