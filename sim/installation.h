// The far side of the serial line as the simulator plays it: the host radio
// module wired to the PC and the relay boards, each with its slave radio
// module. It answers one request frame at a time; the radio rule decides
// which board hears it.
//
// Radio rule: a board hears the host module, and so answers, only while its
// slave module is on the host module's channel and carries the host
// module's id. Pairing (0x34) is the exception that makes a link: the host
// module calls on its own channel for the board at the target address,
// whatever that board's id, and the board's slave module takes the host
// module's id. A board at that address on another channel does not hear the
// call, and the host module then stays silent.
#pragma once

#include "protocol/canshu_protocol.h"
#include "protocol/frame.h"

#include <QString>

#include <cstdint>
#include <optional>
#include <vector>

namespace telvar::sim
{

struct radio_module {
    std::uint32_t id = 1;
    std::uint8_t channel = 1;
};

struct board {
    std::uint8_t address = 1;
    std::uint16_t relays = 0; // bit n-1 is relay n, set when pulled in
    radio_module slave;
    bool ignores_switch = false; // hears switch frames but neither switches nor answers
    std::uint16_t stuck = 0;     // relays that stay pulled in whatever is asked (welded contacts)
};

class installation
{
public:
    radio_module host;
    std::vector<board> boards;

    /**
     * What the far side sends back for @p request, or nothing when no module
     * hears it or it asks for something the modules do not do. A write takes
     * effect as it is answered: the reply goes out on the old settings, then
     * the module moves to the new ones.
     */
    std::optional<frame> answer(const frame& request);

    board* find(int address);
    const board* find(int address) const;

    /** Whether board @p b hears the host module now. */
    bool linked(const board& b) const;

private:
    std::optional<frame> answer_host(const frame& request);
    std::optional<frame> answer_board(board& b, const frame& request);
};

/** 32-bit id from frame bytes 3 to 6, most significant first. */
std::uint32_t id_of(const frame& f);

/** A reply with the reply mark, @p selector in byte 1 and @p value in bytes 3 to 6. */
frame value_reply(std::uint8_t selector, std::uint8_t code, std::uint32_t value);

/** "board 1 relays 00A5 id 1 channel 1" */
QString describe(const board& b);
/** "host id 1 channel 1" */
QString describe(const radio_module& host);

} // namespace telvar::sim
