#include "sim/installation.h"

#include "protocol/relay_protocol.h"

#include <QStringList>

namespace telvar::sim
{

std::uint32_t id_of(const frame& f)
{
    return (std::uint32_t{f[3]} << 24) | (std::uint32_t{f[4]} << 16) | (std::uint32_t{f[5]} << 8) |
           std::uint32_t{f[6]};
}

frame value_reply(std::uint8_t selector, std::uint8_t code, std::uint32_t value)
{
    return make_frame(reply_mark, selector, code, static_cast<std::uint8_t>(value >> 24),
                      static_cast<std::uint8_t>(value >> 16), static_cast<std::uint8_t>(value >> 8),
                      static_cast<std::uint8_t>(value));
}

board* installation::find(int address)
{
    for (board& b : boards)
        if (b.address == address)
            return &b;
    return nullptr;
}

const board* installation::find(int address) const
{
    return const_cast<installation*>(this)->find(address);
}

bool installation::linked(const board& b) const
{
    return b.slave.channel == host.channel && b.slave.id == host.id;
}

std::optional<frame> installation::answer(const frame& request)
{
    if (checksum(request) != request[7])
        return std::nullopt;
    if (request[0] == host_mark)
        return answer_host(request);
    if (request[0] != board_mark)
        return std::nullopt;
    board* b = find(request[1]);
    if (!b || !linked(*b))
        return std::nullopt;
    return answer_board(*b, request);
}

std::optional<frame> installation::answer_host(const frame& request)
{
    const std::uint8_t code = request[2];
    if (request[1] != host_target) {
        if (code != pair_with_board)
            return std::nullopt;
        board* b = find(request[1]);
        if (!b || b->slave.channel != host.channel)
            return std::nullopt;
        b->slave.id = host.id;
        return value_reply(b->address, code, b->slave.id);
    }
    switch (code) {
    case read_host_id:
        return value_reply(host_target, code, host.id);
    case write_host_id:
        host.id = id_of(request);
        return value_reply(host_target, code, host.id);
    case read_host_channel:
        return value_reply(host_target, code, host.channel);
    case write_host_channel:
        host.channel = request[6];
        return value_reply(host_target, code, host.channel);
    default:
        return std::nullopt;
    }
}

std::optional<frame> installation::answer_board(board& b, const frame& request)
{
    const std::uint8_t code = request[2];
    const std::uint8_t p1 = request[5];
    const std::uint8_t p2 = request[6];
    switch (code) {
    case status_query:
        break;
    case release_relay:
    case pull_in_relay: {
        if (b.ignores_switch)
            return std::nullopt;
        if (p2 < 1 || p2 > relay_count)
            return std::nullopt;
        const auto bit = static_cast<std::uint16_t>(1u << (p2 - 1));
        if (code == pull_in_relay)
            b.relays |= bit;
        else
            b.relays &= static_cast<std::uint16_t>(~bit);
        break;
    }
    case switch_all:
        if (b.ignores_switch)
            return std::nullopt;
        if (p1 == 0xFF && p2 == 0xFF)
            b.relays = 0xFFFF;
        else if (p1 == 0x00 && p2 == 0x00)
            b.relays = 0x0000;
        else
            return std::nullopt;
        break;
    case read_slave_id:
        return value_reply(b.address, code, b.slave.id);
    case write_slave_id: {
        const frame reply = value_reply(b.address, code, id_of(request));
        b.slave.id = id_of(request);
        return reply;
    }
    case read_slave_channel:
        return value_reply(b.address, code, b.slave.channel);
    case write_slave_channel:
        b.slave.channel = p2;
        return value_reply(b.address, code, b.slave.channel);
    default:
        return std::nullopt;
    }
    b.relays |= b.stuck;
    // Status reply: relays 9 to 16 in byte 5, relays 1 to 8 in byte 6.
    return make_frame(reply_mark, b.address, code, 0, 0, static_cast<std::uint8_t>(b.relays >> 8),
                      static_cast<std::uint8_t>(b.relays & 0xFF));
}

QString describe(const board& b)
{
    QStringList stuck;
    for (int n = 1; n <= relay_count; ++n)
        if (b.stuck & (1u << (n - 1)))
            stuck << QString::number(n);
    return QStringLiteral("board %1 relays %2 id %3 channel %4%5%6")
        .arg(b.address)
        .arg(QString::number(b.relays, 16).toUpper().rightJustified(4, QLatin1Char('0')))
        .arg(b.slave.id)
        .arg(b.slave.channel)
        .arg(b.ignores_switch ? QStringLiteral(" ignore-switch on") : QString())
        .arg(stuck.isEmpty() ? QString() : QStringLiteral(" stuck ") + stuck.join(QLatin1Char('+')));
}

QString describe(const radio_module& host)
{
    return QStringLiteral("host id %1 channel %2").arg(host.id).arg(host.channel);
}

} // namespace telvar::sim
