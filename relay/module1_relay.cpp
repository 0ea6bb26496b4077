#include "relay/module1.h"

#include "protocol/relay_protocol.h"

namespace telvar::Module1 {

frame tx_frame{};

void send_relay_frame(serial_port& port, int address, std::uint8_t code, std::uint8_t param1,
                      std::uint8_t param2)
{
    // The frame is built whether or not it can be sent.
    tx_frame = relay_request(address, code, param1, param2);
    if (!port.is_open())
        return;
    // Whatever waits unread answers an earlier frame; the next reply must be
    // read from its first byte.
    port.discard_input();
    port.write(tx_frame);
}

int get_bit(std::uint8_t value, std::int16_t n)
{
    if (n < 0 || n > 7)
        return 0;
    return (value >> n) & 1;
}

} // namespace telvar::Module1
