#include "protocol/canshu_protocol.h"

namespace telvar {

frame canshu_request(std::uint8_t code, std::uint8_t address, std::uint32_t value)
{
    const bool host_own = code >= read_host_id && code <= write_host_channel;
    // Pairing is asked of the host module, naming the board it is to pair with.
    const std::uint8_t header = host_own || code == pair_with_board ? host_mark : board_mark;
    const std::uint8_t target = host_own ? host_target : address;
    std::array<std::uint8_t, 4> content{};
    if (code == write_host_id || code == write_slave_id)
        content = id_bytes(value);
    else if (code == write_host_channel || code == write_slave_channel)
        content[3] = static_cast<std::uint8_t>(value & 0xFFu);  // modulo 256, as the dialog sends it
    return make_frame(header, target, code, content[0], content[1], content[2], content[3]);
}

std::uint32_t canshu_reply_value(std::uint8_t code, const frame& reply)
{
    if (is_channel_code(code))
        return reply[6];
    return static_cast<std::uint32_t>(reply[3]) << 24 | static_cast<std::uint32_t>(reply[4]) << 16
           | static_cast<std::uint32_t>(reply[5]) << 8 | static_cast<std::uint32_t>(reply[6]);
}

canshu_reply decode_canshu_reply(const reply_group& group)
{
    canshu_reply reply;
    if (!is_valid_reply(group))
        return reply;
    reply.accepted = true;
    const std::uint32_t id = static_cast<std::uint32_t>(group[3]) << 24
                             | static_cast<std::uint32_t>(group[4]) << 16
                             | static_cast<std::uint32_t>(group[5]) << 8
                             | static_cast<std::uint32_t>(group[6]);
    const auto channel = static_cast<std::uint32_t>(group[6]);
    const auto code = static_cast<std::uint8_t>(group[2]);
    // Byte 1 alone says which group a reply belongs to; a code of the other
    // group fills nothing.
    if (group[1] == host_target) {
        if (code == read_host_id || code == write_host_id) {
            reply.box = reply_box::zhuji_id;
            reply.value = id;
        } else if (code == read_host_channel || code == write_host_channel) {
            reply.box = reply_box::pinlv;
            reply.value = channel;
        }
        return reply;
    }
    if (code == read_slave_id || code == write_slave_id || code == pair_with_board) {
        reply.box = reply_box::Text2;
        reply.value = id;
        reply.paired = code == pair_with_board;
    } else if (code == read_slave_channel || code == write_slave_channel) {
        reply.box = reply_box::Text3;
        reply.value = channel;
    }
    return reply;
}

} // namespace telvar
