// The bridge's topics and payloads, and what an incoming message asks for:
// pure functions of text, so every rule about a topic or payload can be
// tested and fuzzed without a broker. T below is PREFIX/BRIDGE_ID.
//
// A board is known here by its key: its line's place among the service's
// lines times 256, plus its address. With one line the key is the address
// and the topics are T/ADDR/...; with more, every board topic carries its
// line: T/LINE/ADDR/..., and Home Assistant's device is ID_LINE_ADDR.
#pragma once

#include "link/board_link.h"
#include "link/health.h"

#include <optional>

#include <QByteArray>
#include <QSet>
#include <QString>
#include <QStringList>

namespace telvar::mqtt {

constexpr int board_key(int line, int address)
{
    return line * 256 + address;
}
constexpr int key_line(int key)
{
    return key / 256;
}
constexpr int key_address(int key)
{
    return key % 256;
}

class topic_scheme {
public:
    /**
     * @p discovery_prefix empty: no Home Assistant discovery. @p lines: the
     * lines' names in order; with more than one, board topics carry them.
     */
    topic_scheme(const QString& prefix, const QString& bridge_id,
                 const QString& discovery_prefix, const QStringList& lines = {});

    const QString& base() const { return base_; }  // T
    const QString& bridge_id() const { return bridge_id_; }
    bool discovery() const { return !discovery_.isEmpty(); }
    bool with_lines() const { return lines_.size() > 1; }
    const QStringList& lines() const { return lines_; }
    /** "ADDR", or "LINE/ADDR" when topics carry the line. */
    QString board_level(int key) const;
    /** "board 3", or "board 3 on line hall": for the log. */
    QString board_text(int key) const;

    QString status() const;                          // T/status
    QString availability(int address) const;         // T/ADDR/availability
    QString relay(int address, int relay) const;     // T/ADDR/relay/N
    QString state(int address) const;                // T/ADDR/state
    QString relay_set(int address, int relay) const; // T/ADDR/relay/N/set
    QString all_set(int address) const;              // T/ADDR/all/set
    QString relay_pulse(int address, int relay) const;  // T/ADDR/relay/N/pulse
    QString diag(int address) const;                 // T/ADDR/diag
    QString relay_set_filter() const;                // T/+/relay/+/set
    QString all_set_filter() const;                  // T/+/all/set
    QString relay_pulse_filter() const;              // T/+/relay/+/pulse

    QString device_id(int address) const;         // ID_ADDR or ID_LINE_ADDR
    QString discovery_config(int address) const;  // D/device/ID_ADDR/config
    QString discovery_config_filter() const;      // D/device/+/config
    QString discovery_status() const;             // D/status

    /** Every retained topic the bridge keeps for board @p address (discovery first). */
    QStringList board_topics(int address) const;

private:
    QString base_;
    QString bridge_id_;
    QString discovery_;
    QStringList lines_;
};

/** {"relays":[true,false,…]}, relay 1 first. */
QByteArray state_payload(const link::relay_states& relays);
/** ON or OFF. */
QByteArray relay_payload(bool pulled_in);
/**
 * T/ADDR/diag: the board's link health, with the fields and names of the
 * local socket's stats answer; last_reply in ISO 8601 (UTC), null before any.
 */
QByteArray diag_payload(const link::board_health& health);
/** A pulse's length as a payload: "500ms", "2s", "90s". */
QByteArray duration_payload(qint64 ms);
/** A pulse topic's payload: a duration (500ms, 2s, 1.5m, 1h) or a number of ms; 100 ms to 24 h. */
std::optional<qint64> pulse_payload_ms(const QByteArray& payload);

struct command {
    enum class action { on, off, toggle, pulse };
    int address = 0;  // the board's key
    int relay = 0;  // 1 to 16, or 0 for all sixteen
    action what = action::on;
    qint64 pulse_ms = 0;  // for a pulse
};

// What an incoming message is to the bridge.
struct incoming {
    enum class kind {
        not_mine,          // another topic: nothing to do, nothing to log
        command,           // carry out cmd
        refused,           // one of our command topics, but nothing is sent: reason says why
        discovery_online,  // Home Assistant came (back) online: publish discovery again
        stale_discovery,   // our retained device config for a board no longer served
    };
    kind what = kind::not_mine;
    command cmd;
    int address = -1;  // for stale_discovery: the board's key
    QString reason;
};

/**
 * Reads a message the bridge received. A command is taken only on a set or
 * pulse topic of a board in @p served (by key), with an exact payload, and
 * not retained.
 */
incoming classify(const topic_scheme& topics, const QSet<int>& served, const QString& topic,
                  const QByteArray& payload, bool retained);

/** At most @p limit characters of @p payload for a log line, unprintable bytes escaped. */
QString printable(const QByteArray& payload, int limit = 40);

} // namespace telvar::mqtt
