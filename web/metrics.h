// /metrics: what the service knows of its lines, boards and fronts, in
// Prometheus' text format. The service fills the snapshot; this file only
// words it, so names and labels stay in one place.
#pragma once

#include "link/health.h"

#include <QByteArray>
#include <QList>
#include <QString>

#include <optional>

namespace telvar::web {

struct board_metrics {
    int address = 0;
    bool available = false;
    std::optional<link::board_health> health;  // where the link counts per board
};

struct line_metrics {
    QString name;
    bool open = false;
    quint64 frames_sent = 0;       // the whole line, polls included
    quint64 replies_accepted = 0;
    quint64 bytes_skipped = 0;
    quint64 replies_unmatched = 0;
    QList<board_metrics> boards;
};

struct metrics_snapshot {
    QList<line_metrics> lines;
    std::optional<bool> mqtt_connected;  // none: MQTT is off
    std::optional<int> socket_clients;   // none: the local socket is off
    int web_clients = 0;                 // open event streams
};

QByteArray metrics_text(const metrics_snapshot& s);

} // namespace telvar::web
