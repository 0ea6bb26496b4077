#include "relay/poll_cycle.h"

#include "protocol/relay_protocol.h"

namespace telvar {

void poll_cycle::queue_command(std::uint8_t code, std::uint8_t param1, std::uint8_t param2)
{
    pending_cmd = {code, param1, param2};
    pending_flag = 1;
}

bool poll_cycle::watchdog_step()
{
    if (link_countdown > 0) {
        --link_countdown;
        return false;
    }
    return true;
}

relay_command poll_cycle::take_next()
{
    if (pending_flag != 0) {
        // Taken even when the port turns out closed: such a command is lost.
        pending_flag = 0;
        return {pending_cmd[0], pending_cmd[1], pending_cmd[2]};
    }
    return {status_query, 0, 0};
}

} // namespace telvar
