// What a board is brought to when it answers again after being unavailable
// (silent, or its line lost): on_return in the settings, keep by default.
// keep leaves what it reports; restore switches it back to the last state it
// confirmed before, within its interlocks and leaving momentary relays be;
// off releases every relay. It acts on the board's first report once back.
#pragma once

#include "link/link_settings.h"
#include "link/outcome.h"

#include <QObject>

#include <functional>
#include <map>
#include <set>

namespace telvar::link {

class board_return : public QObject {
    Q_OBJECT
public:
    using switch_one = std::function<void(int address, int relay, bool pull_in)>;
    using switch_all = std::function<void(int address, bool pull_in)>;
    using allowed = std::function<relay_states(int address, relay_states wanted)>;

    board_return(const link_settings& settings, switch_one one, switch_all all, allowed within,
                 QObject* parent = nullptr);

    void availability(int address, bool available);
    void reported(int address, const relay_states& relays);

private:
    void act(int address, const relay_states& now);

    const link_settings& settings_;
    switch_one one_;
    switch_all all_;
    allowed within_;
    std::map<int, relay_states> confirmed_;  // the last report while it answered
    std::set<int> away_;                     // unavailable since
    std::set<int> back_;                     // answered again; acts on its next report
};

} // namespace telvar::link
