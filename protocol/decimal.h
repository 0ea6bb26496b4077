// Decimal whole numbers as people type them: ASCII digits only, no sign, no
// spaces. Every program reads numbers from text boxes, command lines and
// configuration files through this one reader.
#pragma once

#include <QString>

#include <cstdint>

namespace telvar {

// Why a box's text is not a number a request can carry.
enum class number_fault {
    none,
    empty,
    not_decimal,  // anything but the digits 0 to 9, spaces included
    negative,
    too_large,    // beyond 2147483647
};

struct number_reading {
    std::int32_t value = 0;  // valid when fault is none
    number_fault fault = number_fault::none;
    bool ok() const { return fault == number_fault::none; }
};

// The largest number a box may hold: ids travel as signed 32-bit numbers.
constexpr std::int32_t largest_number = 2147483647;

/**
 * Reads @p text as a plain decimal whole number from 0 to 2147483647: ASCII
 * digits only, leading zeros allowed, no sign, no spaces, no separators.
 */
number_reading read_number(const QString& text);

} // namespace telvar
