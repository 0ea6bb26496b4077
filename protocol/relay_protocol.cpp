#include "protocol/relay_protocol.h"

namespace telvar {

namespace {

std::array<bool, relay_count> states_of(std::uint8_t high, std::uint8_t low)
{
    std::array<bool, relay_count> states{};
    for (std::int16_t i = 0; i < 8; ++i) {
        states[i + 8] = ((high >> i) & 1) == 1;  // relays 9 to 16
        states[i] = ((low >> i) & 1) == 1;       // relays 1 to 8
    }
    return states;
}

} // namespace

frame relay_request(int address, std::uint8_t code, std::uint8_t param1, std::uint8_t param2)
{
    return make_frame(board_mark, static_cast<std::uint8_t>(address & 0xFF), code, 0, 0, param1,
                      param2);
}

std::array<bool, relay_count> status_reply_states(const rx_buffer& rx_buf)
{
    return states_of(static_cast<std::uint8_t>(rx_buf[5]), static_cast<std::uint8_t>(rx_buf[6]));
}

std::array<bool, relay_count> status_reply_states(const frame& reply)
{
    return states_of(reply[5], reply[6]);
}

} // namespace telvar
