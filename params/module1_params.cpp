#include "relay/module1.h"

namespace telvar::Module1 {

frame canshu_frame{};

void send_canshu_frame(serial_port& port, std::uint8_t b0, std::uint8_t b1, std::uint8_t b2,
                       std::uint8_t b3, std::uint8_t b4, std::uint8_t b5, std::uint8_t b6)
{
    // Built even when it cannot go out, so the buffer always holds the last request.
    canshu_frame = make_frame(b0, b1, b2, b3, b4, b5, b6);
    if (!port.is_open())
        return;
    // Replies are read in eights: a stray or partial one left over from an
    // earlier request must not shift the grouping of the answer to this one.
    port.discard_input();
    port.write(canshu_frame);
}

} // namespace telvar::Module1
