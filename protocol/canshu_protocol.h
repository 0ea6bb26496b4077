// The radio modules' parameter protocol: the command codes, the bytes a
// number becomes in a request, and what an 8-byte reply carries.
#pragma once

#include "protocol/frame.h"

#include <array>
#include <cstdint>
#include <optional>

namespace telvar {

// Byte 2 of a parameter request and of its reply.
constexpr std::uint8_t read_host_id = 0x30;
constexpr std::uint8_t write_host_id = 0x31;
constexpr std::uint8_t read_host_channel = 0x32;
constexpr std::uint8_t write_host_channel = 0x33;
constexpr std::uint8_t pair_with_board = 0x34;
constexpr std::uint8_t read_slave_id = 0x40;
constexpr std::uint8_t write_slave_id = 0x41;
constexpr std::uint8_t read_slave_channel = 0x42;
constexpr std::uint8_t write_slave_channel = 0x43;

// Byte 1 of a request for, and of a reply about, the host module itself.
constexpr std::uint8_t host_target = 0xFF;

/** An address or a channel as it goes on the wire: the number modulo 256. */
constexpr std::uint8_t low_byte(std::int32_t number)
{
    return static_cast<std::uint8_t>(static_cast<std::uint32_t>(number) & 0xFFu);
}

/** An id as bytes 3 to 6 of a request, most significant first. */
constexpr std::array<std::uint8_t, 4> id_bytes(std::uint32_t id)
{
    return {static_cast<std::uint8_t>(id >> 24), static_cast<std::uint8_t>(id >> 16),
            static_cast<std::uint8_t>(id >> 8), static_cast<std::uint8_t>(id)};
}

/**
 * The request with parameter code @p code, as the dialog sends it: the host
 * module's own codes (0x30 to 0x33) go out as 56 FF, pairing as 56 and the
 * board @p address, the slave module's codes as 55 and @p address. @p value
 * is the id in bytes 3 to 6 of an id write, the channel in byte 6 of a
 * channel write (modulo 256); reads and pairing carry zeros.
 */
frame canshu_request(std::uint8_t code, std::uint8_t address, std::uint32_t value = 0);

/** Whether @p code reads or writes a channel (0x32, 0x33, 0x42, 0x43) rather than an id. */
constexpr bool is_channel_code(std::uint8_t code)
{
    return code == read_host_channel || code == write_host_channel || code == read_slave_channel
           || code == write_slave_channel;
}

/**
 * Byte 1 of the reply to the request with @p code for board @p address: FF
 * for the host module's own codes (0x30 to 0x33), the board's address for
 * the slave module's codes and for pairing.
 */
constexpr std::uint8_t canshu_reply_selector(std::uint8_t code, std::uint8_t address)
{
    return code >= read_host_id && code <= write_host_channel ? host_target : address;
}

/**
 * The value that @p reply to the request with @p code carries, told by that
 * request rather than by the reply's byte 1 (board 255's module answers with
 * FF there, as the host module does): a channel from byte 6, an id from
 * bytes 3 to 6, most significant first.
 */
std::uint32_t canshu_reply_value(std::uint8_t code, const frame& reply);

// The text box a reply fills.
enum class reply_box { none, zhuji_id, pinlv, Text2, Text3 };

struct canshu_reply {
    bool accepted = false;         // start mark and checksum right
    reply_box box = reply_box::none;
    std::uint32_t value = 0;       // id (bytes 3 to 6) or channel (byte 6)
    bool paired = false;           // a pairing reply: announce it after filling the box
};

// One received group, slot 0 the first byte; each slot a byte as received.
using reply_group = std::array<std::int32_t, frame_length>;

/**
 * What one received group does to the dialog. Pure: reads the 8 values and
 * nothing else, keeps no state, never fails.
 *
 * A group is accepted only when slot 0 is 0x22, every slot holds 0..255 and
 * slot 7 is the low 8 bits of the sum of slots 0 to 6. An accepted group with
 * slot 1 = 0xFF fills zhuji_id (codes 0x30, 0x31) or pinlv (0x32, 0x33); with
 * any other slot 1 it fills Text2 (0x40, 0x41, and 0x34 with paired set) or
 * Text3 (0x42, 0x43). Ids are slots 3 to 6 as an unsigned 32-bit number, most
 * significant first; channels are slot 6. Any other group fills nothing.
 */
canshu_reply decode_canshu_reply(const reply_group& group);

} // namespace telvar
