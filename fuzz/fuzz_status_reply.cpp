// Status replies: every 8 input bytes are one received group. The acceptance
// test and the decoded relay states must match the reference for any bytes,
// and a receive buffer holding values outside 0..255 is never accepted.
#include "fuzz_check.h"
#include "relay/module1.h"
#include "protocol/relay_protocol.h"
#include "protocol/frame.h"

#include <cstring>

using namespace telvar;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    for (std::size_t at = 0; at + frame_length <= size; at += frame_length) {
        const std::uint8_t* group = data + at;
        rx_buffer rx_buf{};
        frame as_frame{};
        for (int i = 0; i < frame_length; ++i) {
            rx_buf[i] = group[i];
            as_frame[i] = group[i];
        }
        const bool accepted = fuzz::reference_accepts(group);
        FUZZ_CHECK(is_valid_reply(rx_buf) == accepted);
        FUZZ_CHECK(is_valid_reply(as_frame) == accepted);
        if (accepted)
            FUZZ_CHECK(group[0] == reply_mark && checksum(as_frame) == group[7]);

        const auto states = status_reply_states(rx_buf);
        const auto expected = fuzz::reference_states(group);
        for (int n = 0; n < relay_count; ++n)
            FUZZ_CHECK(states[n] == expected[n]);
        for (std::int16_t bit = 0; bit < 8; ++bit)
            FUZZ_CHECK(Module1::get_bit(group[6], bit) == int(expected[bit]));
    }

    // The same bytes read as 32-bit entries: a buffer that could only hold
    // such values through a fault is refused, never decoded into states.
    if (size >= 8 * sizeof(std::int32_t)) {
        rx_buffer rx_buf{};
        std::memcpy(rx_buf.data(), data, 8 * sizeof(std::int32_t));
        bool in_range = true;
        std::uint8_t group[8];
        for (int i = 0; i < 8; ++i) {
            in_range = in_range && rx_buf[i] >= 0 && rx_buf[i] <= 255;
            group[i] = static_cast<std::uint8_t>(rx_buf[i] & 0xFF);
        }
        FUZZ_CHECK(is_valid_reply(rx_buf) == (in_range && fuzz::reference_accepts(group)));
    }
    return 0;
}
