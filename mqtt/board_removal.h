// telvard --remove-board: one session without a will that clears what
// the broker keeps for boards no longer served (their Home Assistant device
// and retained topics) and ends. The line is never opened.
#pragma once

#include "mqtt/bridge_config.h"
#include "mqtt/mqtt_client.h"
#include "mqtt/topics.h"

#include <QObject>
#include <QTimer>

namespace telvar::mqtt {

class board_removal : public QObject {
    Q_OBJECT
public:
    board_removal(const bridge_config& config, client& broker, QObject* parent = nullptr);

    /** Connects and publishes; false when the client cannot be made (logged). */
    bool start();

    /** How long the broker is tried before the removal gives up. */
    static constexpr int give_up_ms = 30000;

signals:
    /** @p removed: the broker took the removal. */
    void finished(bool removed);

private:
    bridge_config config_;
    client& broker_;
    topic_scheme topics_;
    QTimer give_up_;
    QString last_problem_;
    bool removed_ = false;
};

} // namespace telvar::mqtt
