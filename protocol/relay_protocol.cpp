#include "protocol/relay_protocol.h"

namespace telvar {

std::array<bool, relay_count> status_reply_states(const rx_buffer& rx_buf)
{
    std::array<bool, relay_count> states{};
    const auto high = static_cast<std::uint8_t>(rx_buf[5]);  // relays 9 to 16
    const auto low = static_cast<std::uint8_t>(rx_buf[6]);   // relays 1 to 8
    for (std::int16_t i = 0; i < 8; ++i) {
        states[i + 8] = ((high >> i) & 1) == 1;
        states[i] = ((low >> i) & 1) == 1;
    }
    return states;
}

} // namespace telvar
