// Parameter replies: every 8 input bytes are one received group. Acceptance,
// the box a reply fills, the value it shows and the pairing notice must match
// the reference for any bytes; a group holding values outside 0..255 fills
// nothing.
#include "fuzz_check.h"
#include "protocol/canshu_protocol.h"

#include <cstring>

using namespace telvar;

namespace {

struct expected_reply {
    bool accepted = false;
    reply_box box = reply_box::none;
    std::uint32_t value = 0;
    bool paired = false;
};

expected_reply reference(const std::uint8_t* g)
{
    expected_reply r;
    r.accepted = fuzz::reference_accepts(g);
    if (!r.accepted)
        return r;
    // Ids as unsigned numbers, most significant byte first.
    const std::uint32_t id = ((std::uint32_t(g[3]) * 256 + g[4]) * 256 + g[5]) * 256 + g[6];
    const bool host = g[1] == 255;
    switch (g[2]) {
    case 0x30:
    case 0x31:
        if (host)
            r = {true, reply_box::zhuji_id, id, false};
        break;
    case 0x32:
    case 0x33:
        if (host)
            r = {true, reply_box::pinlv, g[6], false};
        break;
    case 0x40:
    case 0x41:
        if (!host)
            r = {true, reply_box::Text2, id, false};
        break;
    case 0x42:
    case 0x43:
        if (!host)
            r = {true, reply_box::Text3, g[6], false};
        break;
    case 0x34:
        if (!host)
            r = {true, reply_box::Text2, id, true};
        break;
    default:
        break;
    }
    return r;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    for (std::size_t at = 0; at + frame_length <= size; at += frame_length) {
        reply_group group{};
        for (int i = 0; i < frame_length; ++i)
            group[i] = data[at + i];
        const canshu_reply got = decode_canshu_reply(group);
        const expected_reply want = reference(data + at);
        FUZZ_CHECK(got.accepted == want.accepted);
        FUZZ_CHECK(got.box == want.box);
        FUZZ_CHECK(got.paired == want.paired);
        if (want.box != reply_box::none)
            FUZZ_CHECK(got.value == want.value);
        // A channel box never shows more than a byte.
        if (got.box == reply_box::pinlv || got.box == reply_box::Text3)
            FUZZ_CHECK(got.value <= 255);
    }

    if (size >= sizeof(reply_group)) {
        reply_group group{};
        std::memcpy(group.data(), data, sizeof(reply_group));
        bool in_range = true;
        for (std::int32_t v : group)
            in_range = in_range && v >= 0 && v <= 255;
        if (!in_range) {
            const canshu_reply got = decode_canshu_reply(group);
            FUZZ_CHECK(!got.accepted && got.box == reply_box::none && !got.paired);
        }
    }
    return 0;
}
