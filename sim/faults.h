// The faults the simulated line can show on demand, and the dice that decide
// for each reply whether it is lost, corrupted or preceded by stray bytes.
// One seed gives the same faults run after run.
#pragma once

#include "protocol/frame.h"

#include <cstdint>
#include <random>
#include <vector>

namespace telvar::sim
{

struct fault_options {
    double loss = 0;          // probability a reply is dropped
    double bad_checksum = 0;  // probability a reply's checksum is wrong
    double stray = 0;         // probability of 1..7 stray bytes before a reply
    int delay_ms = 0;         // every reply held back this long
    int split = 1;            // each reply written in this many pieces
    int split_gap_ms = 0;     // time between two pieces
    bool echo = false;        // the PC's own frame comes back before the reply
    bool pace = false;        // bytes leave at the 9600-baud line rate
    int vanish_after_ms = -1; // the line vanishes this long after start; -1 never
};

// What goes back on the line for one reply.
struct reply_plan {
    bool lost = false;
    std::vector<std::uint8_t> stray; // sent before the reply
    frame reply{};                   // as sent, checksum possibly spoilt
    bool corrupted = false;
};

class fault_dice
{
public:
    explicit fault_dice(std::uint32_t seed) : engine_(seed) {}

    /** Rolls the faults for @p reply under @p faults. */
    reply_plan plan(const frame& reply, const fault_options& faults);

private:
    bool roll(double rate);

    std::mt19937 engine_;
};

/**
 * Cuts @p bytes into @p pieces runs as even as possible, longer runs first;
 * never more runs than bytes, never fewer than one.
 */
std::vector<std::vector<std::uint8_t>> split_into(const std::vector<std::uint8_t>& bytes,
                                                  int pieces);

} // namespace telvar::sim
