// What the fuzz targets hold true, and an independent reading of the line's
// rules to compare the program against: the same results reached another way.
#pragma once

#include <array>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

// A broken rule is a finding: stop with the reason, libFuzzer keeps the input.
#define FUZZ_CHECK(condition)                                                                    \
    do {                                                                                         \
        if (!(condition)) {                                                                      \
            std::fprintf(stderr, "fuzz check failed: %s (%s:%d)\n", #condition, __FILE__,       \
                         __LINE__);                                                              \
            std::abort();                                                                        \
        }                                                                                        \
    } while (false)

namespace telvar::fuzz {

/** A group of 8 is a reply when it starts with 34 and its last byte is the
 *  remainder of the first seven's sum by 256. */
inline bool reference_accepts(const std::uint8_t* group)
{
    int sum = 0;
    for (int i = 0; i < 7; ++i)
        sum += group[i];
    return group[0] == 34 && sum % 256 == group[7];
}

/** Relay n is pulled in when its bit is set: relays 1 to 8 in byte 6, 9 to 16
 *  in byte 5, the lowest relay in the lowest bit. Index n - 1. */
inline std::array<bool, 16> reference_states(const std::uint8_t* group)
{
    std::array<bool, 16> states{};
    for (int relay = 1; relay <= 16; ++relay) {
        const int byte = relay <= 8 ? group[6] : group[5];
        const int power = 1 << ((relay - 1) % 8);
        states[relay - 1] = (byte / power) % 2 == 1;
    }
    return states;
}

} // namespace telvar::fuzz
