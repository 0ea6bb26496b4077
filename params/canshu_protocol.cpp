#include "params/canshu_protocol.h"

namespace telvar {

number_reading read_number(const QString& text)
{
    if (text.isEmpty())
        return {0, number_fault::empty};
    const bool minus = text.front() == QLatin1Char('-') && text.size() > 1;
    qint64 value = 0;
    bool large = false;
    for (qsizetype i = minus ? 1 : 0; i < text.size(); ++i) {
        // ASCII digits only: full-width digits from an input method are refused too.
        const char16_t c = text.at(i).unicode();
        if (c < u'0' || c > u'9')
            return {0, number_fault::not_decimal};
        if (!large) {
            value = value * 10 + (c - u'0');
            large = value > largest_number;
        }
    }
    if (minus)
        return {0, number_fault::negative};
    if (large)
        return {0, number_fault::too_large};
    return {static_cast<std::int32_t>(value), number_fault::none};
}

QString number_fault_message(const QString& group, const QString& row, const QString& text,
                             number_fault fault)
{
    // Long pastes are cut short so the box stays readable.
    QString shown = text;
    if (shown.size() > 24)
        shown = shown.left(24) + QStringLiteral("…");
    for (QChar& c : shown)
        if (c.unicode() < 0x20)
            c = QLatin1Char(' ');
    QString why;
    switch (fault) {
    case number_fault::none:
        return {};
    case number_fault::empty:
        why = QStringLiteral("没有填写数字");
        break;
    case number_fault::not_decimal:
        why = text.simplified().isEmpty() ? QStringLiteral("只有空格")
                                          : QStringLiteral("“%1”不是十进制整数").arg(shown);
        break;
    case number_fault::negative:
        why = QStringLiteral("“%1”是负数").arg(shown);
        break;
    case number_fault::too_large:
        why = QStringLiteral("“%1”超出范围").arg(shown);
        break;
    }
    return QStringLiteral("%1%2%3，没有发送。\n"
                          "请填写 0 到 %4 之间的整数，只用数字 0-9，不带正负号、空格或小数点。")
        .arg(group, row, why)
        .arg(largest_number);
}

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
