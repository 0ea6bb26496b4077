#include "web/metrics.h"

#include <functional>

namespace telvar::web {

namespace {

QByteArray label(const QString& value)
{
    QByteArray out;
    for (char c : value.toUtf8()) {
        if (c == '\\' || c == '"')
            out += '\\';
        if (c == '\n') {
            out += "\\n";
            continue;
        }
        out += c;
    }
    return out;
}

class writer {
public:
    void family(const char* name, const char* type, const char* help)
    {
        text_ += QByteArray("# HELP ") + name + ' ' + help + '\n';
        text_ += QByteArray("# TYPE ") + name + ' ' + type + '\n';
    }
    void sample(const char* name, const QByteArray& labels, double value)
    {
        text_ += name;
        if (!labels.isEmpty())
            text_ += '{' + labels + '}';
        text_ += ' ' + QByteArray::number(value, 'g', 17) + '\n';
    }
    QByteArray text() const { return text_; }

private:
    QByteArray text_;
};

QByteArray line_label(const line_metrics& l)
{
    return "line=\"" + label(l.name) + '"';
}

QByteArray board_label(const line_metrics& l, const board_metrics& b)
{
    return line_label(l) + ",address=\"" + QByteArray::number(b.address) + '"';
}

} // namespace

QByteArray metrics_text(const metrics_snapshot& s)
{
    writer w;
    w.family("telvar_line_open", "gauge", "1 while the line's serial port is open.");
    for (const line_metrics& l : s.lines)
        w.sample("telvar_line_open", line_label(l), l.open ? 1 : 0);

    const struct {
        const char* name;
        const char* help;
        quint64 line_metrics::*value;
    } line_counters[] = {
        {"telvar_line_frames_sent_total", "Frames written to the line, polls included.",
         &line_metrics::frames_sent},
        {"telvar_line_replies_accepted_total", "Valid replies that answered a frame.",
         &line_metrics::replies_accepted},
        {"telvar_line_bytes_skipped_total", "Bytes from the line that began no valid reply.",
         &line_metrics::bytes_skipped},
        {"telvar_line_replies_unmatched_total",
         "Valid replies that answered no frame in flight.", &line_metrics::replies_unmatched},
    };
    for (const auto& c : line_counters) {
        w.family(c.name, "counter", c.help);
        for (const line_metrics& l : s.lines)
            w.sample(c.name, line_label(l), double(l.*c.value));
    }

    w.family("telvar_board_available", "gauge", "1 while the board answers its polls.");
    for (const line_metrics& l : s.lines)
        for (const board_metrics& b : l.boards)
            w.sample("telvar_board_available", board_label(l, b), b.available ? 1 : 0);

    const struct {
        const char* name;
        const char* help;
        quint64 link::board_health::*value;
    } board_counters[] = {
        {"telvar_board_frames_sent_total", "Frames sent to the board, polls included.",
         &link::board_health::frames_sent},
        {"telvar_board_replies_accepted_total", "Valid replies from the board.",
         &link::board_health::replies_accepted},
        {"telvar_board_checksum_errors_total",
         "Frames that failed the checksum while one to the board was in flight.",
         &link::board_health::checksum_errors},
        {"telvar_board_stray_bytes_total",
         "Bytes skipped while a frame to the board was in flight.",
         &link::board_health::stray_bytes},
        {"telvar_board_timeouts_total", "Frames to the board that no reply answered in time.",
         &link::board_health::timeouts},
        {"telvar_board_retries_total", "Frames to the board sent again after a timeout.",
         &link::board_health::retries},
    };
    bool any_health = false;
    for (const line_metrics& l : s.lines)
        for (const board_metrics& b : l.boards)
            any_health = any_health || b.health.has_value();
    if (any_health) {
        for (const auto& c : board_counters) {
            w.family(c.name, "counter", c.help);
            for (const line_metrics& l : s.lines)
                for (const board_metrics& b : l.boards)
                    if (b.health)
                        w.sample(c.name, board_label(l, b), double((*b.health).*c.value));
        }
    }

    if (any_health) {
        const struct {
            const char* name;
            const char* help;
            int link::board_health::*value;
        } board_gauges[] = {
            {"telvar_board_link_quality_percent",
             "Replies accepted per frame sent to the board, over its last 100 frames.",
             &link::board_health::quality_percent},
            {"telvar_board_round_trip_milliseconds",
             "Median time from a frame to the board to its reply, over its last 100 replies.",
             &link::board_health::round_trip_p50_ms},
        };
        // A board that has no figure yet is left out rather than shown as 0.
        for (const auto& g : board_gauges) {
            w.family(g.name, "gauge", g.help);
            for (const line_metrics& l : s.lines)
                for (const board_metrics& b : l.boards)
                    if (b.health && (*b.health).*g.value >= 0)
                        w.sample(g.name, board_label(l, b), (*b.health).*g.value);
        }
    }

    if (s.mqtt_connected) {
        w.family("telvar_mqtt_connected", "gauge", "1 while the MQTT broker is connected.");
        w.sample("telvar_mqtt_connected", {}, *s.mqtt_connected ? 1 : 0);
    }
    w.family("telvar_clients", "gauge", "Clients connected, by front.");
    if (s.socket_clients)
        w.sample("telvar_clients", "front=\"socket\"", *s.socket_clients);
    w.sample("telvar_clients", "front=\"web\"", s.web_clients);
    return w.text();
}

} // namespace telvar::web
