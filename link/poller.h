// The boards a line serves, polled round robin at a fixed rhythm, and what
// the link knows of every board: its last report and when it came, and for
// polled boards whether they count as answering. A polled board goes offline
// after unavailable_after frames of any kind in a row without an accepted
// reply and comes back at its next one; what it last reported is forgotten
// then, and when the line is lost.
#pragma once

#include "link/link_settings.h"
#include "link/outcome.h"

#include <QElapsedTimer>
#include <QList>
#include <QObject>
#include <QTimer>

#include <map>
#include <optional>

namespace telvar::link {

class poller : public QObject {
    Q_OBJECT
public:
    explicit poller(const link_settings& settings, QObject* parent = nullptr);

    /** Polls @p addresses in turn, one frame per interval; empty stops. */
    void set_polled(const QList<int>& addresses);
    bool is_polled(int address) const;
    /** Whether a polled board counts as answering. */
    bool available(int address) const;
    /** Whether a polled board is known not to answer. */
    bool offline(int address) const;

    /** The line is open: the first poll is due at once, then one per interval. */
    void start();
    /** The line is closed or lost: nothing is due. */
    void stop();
    /** Whether a poll is due now. */
    bool due() const;
    /** How long the due poll has waited, 0 when none is due. */
    qint64 lateness_ms() const;
    /** When the next poll falls (or fell) due, on now_ms()'s clock. */
    qint64 due_at_ms() const { return next_due_ms_; }
    /** The link's monotonic clock. */
    qint64 now_ms() const { return clock_.elapsed(); }
    /** The board to poll now; the next poll falls due one interval after this one was due. */
    int take();

    /** Board @p address answered a frame; @p relays is its report, if a status reply. */
    void answered(int address, const relay_states* relays);
    /** A frame to board @p address went unanswered. */
    void missed(int address);

    std::optional<relay_states> last_reported(int address) const;
    /** The last report of board @p address if it came within the last @p ms. */
    std::optional<relay_states> reported_within(int address, int ms) const;

    /** The line was lost: every report is forgotten and every polled board unavailable. */
    void line_gone();

signals:
    /** A poll fell due. */
    void poll_due();
    /** Every accepted status reply of board @p address. */
    void board_reported(int address, const telvar::link::relay_states& relays);
    /** A report differs from the one before it. */
    void relays_changed(int address, const telvar::link::relay_states& before,
                        const telvar::link::relay_states& now);
    /** A polled board went silent, or answered again. */
    void availability_changed(int address, bool available);

private:
    struct board {
        int misses = 0;                 // frames in a row without an accepted reply
        std::optional<bool> available;  // unknown until the first result
    };
    struct report {
        relay_states relays{};
        qint64 at_ms = 0;
    };
    void arm();

    const link_settings& settings_;
    QList<int> polled_;
    std::map<int, board> boards_;
    std::map<int, report> reports_;
    int next_ = 0;
    bool running_ = false;
    qint64 next_due_ms_ = 0;
    QElapsedTimer clock_;
    QTimer timer_;
};

} // namespace telvar::link
