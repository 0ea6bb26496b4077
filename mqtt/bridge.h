// The bridge between one serial line and an MQTT broker: board reports
// become retained state messages, set topics become link requests that only
// the boards' own replies confirm, and availability follows the link's poll
// rule and the line itself. Everything runs on one thread; the link and the
// broker client report to it through signals.
#pragma once

#include "link/board_link.h"
#include "mqtt/bridge_config.h"
#include "mqtt/mqtt_client.h"
#include "mqtt/topics.h"

#include <QMap>
#include <QObject>
#include <QSet>
#include <QTimer>

#include <optional>

namespace telvar::mqtt {

class bridge : public QObject {
    Q_OBJECT
public:
    bridge(const bridge_config& config, link::board_link& line, client& broker,
           QObject* parent = nullptr);

    /** Opens the line (and keeps trying while it cannot), polls, connects. */
    void start();
    /** Publishes offline, leaves the broker cleanly, closes the line; then finished(). */
    void stop();

    /** The session settings the bridge connects with (will included). */
    session_settings session() const;

signals:
    void finished();

private:
    struct board {
        std::optional<link::relay_states> reported;   // the board's last report
        std::optional<link::relay_states> published;  // what the broker holds from us
        std::optional<bool> available;
        std::optional<bool> published_available;
    };

    void open_line();
    void on_connected();
    void on_disconnected(const QString& reason);
    void on_message(const QString& topic, const QByteArray& payload, bool retained);
    void on_reported(int address, const link::relay_states& relays);
    void on_availability(int address, bool available);
    void on_line_lost(const QString& reason);
    void carry_out(const command& cmd);
    void remove_board(int address);

    void publish(const QString& topic, const QByteArray& payload, int qos = 1);
    void publish_board(int address, bool everything);

    bridge_config config_;
    link::board_link& line_;
    client& broker_;
    topic_scheme topics_;
    QSet<int> served_;
    QMap<int, board> boards_;
    QTimer reopen_timer_;
    int reopen_pause_ms_ = 0;
    QString last_broker_problem_;
    QString last_open_problem_;
    bool stopping_ = false;
};

} // namespace telvar::mqtt
