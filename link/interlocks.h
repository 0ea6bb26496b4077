// Interlocked relays: within a group of a board at most one relay is pulled
// in. Every switch of a grouped relay, and every all-relays switch of a board
// with groups, goes through here, one at a time per board, whichever client
// asked (so two clients racing for both relays of a group take turns).
// Pulling one in first learns the board's state, releases the others of its
// group that are on, each release confirmed, waits interlock_gap_ms, and only
// then pulls it in; a release the board does not confirm keeps it out.
// All on pulls in the lowest relay of each group only and names the others
// skipped. A report of two relays of a group pulled in (switched by hand or by
// another program) is logged and the group released to all off.
#pragma once

#include "link/link_settings.h"
#include "link/outcome.h"
#include "link/poller.h"
#include "link/request_queue.h"

#include <QObject>
#include <QPointer>

#include <functional>

#include <deque>
#include <map>
#include <vector>

namespace telvar::link {

class interlocks : public QObject {
    Q_OBJECT
public:
    interlocks(request_queue& queue, poller& polls, const link_settings& settings,
               QObject* parent = nullptr);

    /** Whether relay @p relay of board @p address is in one of its groups. */
    bool grouped(int address, int relay) const;
    /** Whether board @p address has groups. */
    bool guards(int address) const;

    // Requests for grouped relays and whole boards with groups; each callback
    // runs once, never inside the call. Others go to the queue as they are.
    void switch_relay(int address, int relay, bool pull_in, relay_callback done);
    void toggle(int address, int relay, relay_callback done);
    void switch_all(int address, bool pull_in, relay_callback done);

    /** Every accepted status reply: two of a group pulled in are released. */
    void reported(int address, const relay_states& relays);

    /** The relays switch_all(on) leaves out on board @p address, lowest first. */
    QList<int> skipped_by_all_on(int address) const;
    /**
     * @p wanted with at most one relay of each group of board @p address
     * pulled in: the lowest of those wanted.
     */
    relay_states allowed(int address, relay_states wanted) const;

private:
    struct job {
        enum class kind { one, toggle, all };
        kind what = kind::one;
        int relay = 0;
        bool pull_in = false;
        relay_callback done;
        relay_result result;  // what the steps gathered so far
        bool running = false;  // first in line: no later wish replaces it
        bool started = false;
    };
    const std::vector<int>* group_of(int address, int relay) const;
    void add(int address, job j);
    void run(int address);
    void with_state(int address, std::function<void(const relay_states&)> go);
    void change_to(int address, relay_states now, relay_states target);
    // Switches one relay after the other (relay, pull in); a pull-in of a
    // grouped relay waits for the gap after the last release in its group.
    void step(int address, std::vector<std::pair<int, bool>> steps, bool gap_taken);
    bool take(int address, const relay_result& r);
    void finish(int address, outcome result);

    request_queue& queue_;
    poller& polls_;
    const link_settings& settings_;
    std::map<int, std::deque<job>> jobs_;       // per board; the front one runs
    std::map<int, relay_states> acted_on_;      // a two-in report already released
    std::map<int, relay_states> last_;          // the board's last report
    std::map<int, std::map<int, qint64>> released_at_;  // grouped relay -> when seen released
};

} // namespace telvar::link
