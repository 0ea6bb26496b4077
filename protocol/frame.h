// The 8-byte frame that crosses the serial line in both directions, and the
// sum checksum every frame carries in its last byte.
#pragma once

#include <array>
#include <cstdint>

namespace telvar {

using frame = std::array<std::uint8_t, 8>;

constexpr int frame_length = 8;

// Start marks in byte 0.
constexpr std::uint8_t board_mark = 0x55;  // relay frames, slave module requests
constexpr std::uint8_t host_mark = 0x56;   // host module requests
constexpr std::uint8_t reply_mark = 0x22;  // every reply from the hardware

// Low 8 bits of the sum of the first seven bytes.
template <typename Bytes>
constexpr std::uint8_t checksum(const Bytes& bytes)
{
    unsigned sum = 0;
    for (int i = 0; i < 7; ++i)
        sum += static_cast<unsigned>(bytes[i]) & 0xFFu;
    return static_cast<std::uint8_t>(sum & 0xFFu);
}

// Builds a frame from its seven content bytes and adds the checksum.
constexpr frame make_frame(std::uint8_t b0, std::uint8_t b1, std::uint8_t b2, std::uint8_t b3,
                           std::uint8_t b4, std::uint8_t b5, std::uint8_t b6)
{
    frame f{b0, b1, b2, b3, b4, b5, b6, 0};
    f[7] = checksum(f);
    return f;
}

// A received group is a reply only with the reply mark and a matching checksum.
// Values are taken as received (0..255); anything else fails the test.
template <typename Bytes>
constexpr bool is_valid_reply(const Bytes& group)
{
    for (int i = 0; i < 8; ++i)
        if (group[i] < 0 || group[i] > 255)
            return false;
    return group[0] == reply_mark && checksum(group) == group[7];
}

} // namespace telvar
