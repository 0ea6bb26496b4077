// Relay command codes, relay looks, and the decoding of a board's status
// reply into the states of its sixteen relays.
#pragma once

#include "protocol/frame.h"

#include <array>
#include <cstdint>

namespace telvar {

constexpr std::uint8_t status_query = 0x10;
constexpr std::uint8_t release_relay = 0x11;
constexpr std::uint8_t pull_in_relay = 0x12;
constexpr std::uint8_t switch_all = 0x13;

constexpr int relay_count = 16;

// What the board last reported of a relay, or why nothing is known.
enum class relay_look { pulled_in, released, unknown, closed };

// Receive buffer of a window: a reply occupies entries 0 to 7.
using rx_buffer = std::array<std::int32_t, 100>;

/**
 * The relay frame for board @p address (taken modulo 256): the board mark,
 * the address, @p code, two zero bytes, @p param1, @p param2 and the checksum.
 */
frame relay_request(int address, std::uint8_t code, std::uint8_t param1, std::uint8_t param2);

/**
 * The relay states of a status reply in rx_buf entries 5 and 6, with
 * index n - 1 for relay n: true for pulled in.
 */
std::array<bool, relay_count> status_reply_states(const rx_buffer& rx_buf);

/** The same, read from bytes 5 and 6 of one received frame. */
std::array<bool, relay_count> status_reply_states(const frame& reply);

/** The order in which an accepted reply repaints the relays: 9, 1, 10, 2 … 16, 8. */
constexpr std::array<int, relay_count> repaint_order{9, 1, 10, 2, 11, 3, 12, 4,
                                                     13, 5, 14, 6, 15, 7, 16, 8};

} // namespace telvar
