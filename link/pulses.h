// Pulses: a relay pulled in, confirmed, and released once its time is up,
// the release confirmed by the board. A pulse keeps its deadline through a
// lost line or a silent board: the release owed is sent as soon as the board
// answers again, unless its report already shows the relay released.
// Relays made momentary in the settings are pulsed on every confirmed
// pull-in, whichever client asked for it. Durations are read here too.
#pragma once

#include "link/outcome.h"
#include "link/poller.h"
#include "link/request_queue.h"

#include <QList>
#include <QObject>
#include <QString>
#include <QTimer>

#include <list>
#include <optional>

namespace telvar::link {

constexpr qint64 shortest_pulse_ms = 100;
constexpr qint64 longest_pulse_ms = 24LL * 60 * 60 * 1000;

/**
 * Reads a duration such as "500ms", "2s" or "1.5m" (also "h"), from 100 ms
 * to 24 h. @return the milliseconds, or nothing with @p error saying why.
 */
std::optional<qint64> parse_duration(const QString& text, QString* error = nullptr);
/** The same form within @p low to @p high ms; the error names the range. */
std::optional<qint64> parse_duration(const QString& text, qint64 low, qint64 high,
                                     QString* error = nullptr);

// A release owed, as a state file keeps it: the deadline in ms since the epoch.
struct pending_release {
    int address = 0;
    int relay = 0;
    qint64 deadline_ms = 0;
};

class pulses : public QObject {
    Q_OBJECT
public:
    pulses(request_queue& queue, poller& polls, QObject* parent = nullptr);

    /** Relay @p relay of board @p address was confirmed pulled in: it is released after @p ms. */
    void pulled_in(int address, int relay, qint64 ms, relay_callback released);
    /** Whether a release of the relay is pending. */
    bool pending(int address, int relay) const;
    /** A pending pulse of the relay is released now (Ctrl+C): its deadline moves to now. */
    void release_now(int address, int relay);

    /** Every release pending, with its deadline on the system clock. */
    QList<pending_release> pending_releases() const;
    /**
     * A release owed from before (a service that died with it pending): sent
     * at @p deadline_ms (ms since the epoch), at once when that has passed;
     * while the line is closed, as soon as the board answers.
     */
    void arm_release(int address, int relay, qint64 deadline_ms);

    /** The board reported: an owed release is sent, or found done. */
    void reported(int address, const relay_states& relays);
    /** The line is back: boards owing a release are asked for their state. */
    void line_back();

signals:
    /** A release was added, moved or ended: what pending_releases() gives changed. */
    void pending_changed();

private:
    struct pending_pulse {
        int address = 0;
        int relay = 0;
        qint64 deadline_ms = 0;
        relay_callback released;
        bool sending = false;  // a release is in the queue
        bool owed = false;     // the deadline passed and the release failed on the line
    };
    void arm();
    void fire();
    void send_release(pending_pulse& p);
    void end(std::list<pending_pulse>::iterator it, const relay_result& r);

    request_queue& queue_;
    poller& polls_;
    std::list<pending_pulse> pending_;
    QTimer timer_;
};

} // namespace telvar::link
