// The main window's poll rhythm without its widgets: the one-command slot
// that a click fills and the next tick empties, and the link watchdog that
// every accepted status reply re-arms.
#pragma once

#include <array>
#include <cstdint>

namespace telvar {

struct relay_command {
    std::uint8_t code = 0;
    std::uint8_t param1 = 0;
    std::uint8_t param2 = 0;
};

class poll_cycle {
public:
    // Ticks allowed to pass after an accepted reply before the relays show unknown.
    static constexpr std::int32_t watchdog_ticks = 5;

    /** Parks a command for the next tick; a command already waiting is replaced. */
    void queue_command(std::uint8_t code, std::uint8_t param1, std::uint8_t param2);

    /**
     * The watchdog step of a tick.
     * @return true when the display must be painted unknown on this tick.
     */
    bool watchdog_step();

    /** The frame content of this tick: the parked command, else the status query. */
    relay_command take_next();

    /** An accepted status reply re-arms the watchdog. */
    void reply_accepted() { link_countdown = watchdog_ticks; }

    std::array<std::uint8_t, 3> pending_cmd{};
    std::uint8_t pending_flag = 0;
    std::int32_t link_countdown = 0;
};

} // namespace telvar
