// The shared code module: the two frame buffers that live for the whole run,
// the routines that build and send frames, and get_bit. The relay half is
// defined in relay/, the parameter half in params/.
#pragma once

#include "protocol/frame.h"
#include "serial/serial_port.h"

#include <cstdint>

namespace telvar::Module1 {

// The last relay frame built, sent or not.
extern frame tx_frame;
// The last parameter frame built, sent or not.
extern frame canshu_frame;

/**
 * Builds a relay frame for board @p address (taken modulo 256) into tx_frame
 * and, if @p port is open, discards unread input and writes it.
 */
void send_relay_frame(serial_port& port, int address, std::uint8_t code, std::uint8_t param1,
                      std::uint8_t param2);

/**
 * Builds a parameter frame from its seven content bytes into canshu_frame and,
 * if @p port is open, discards unread input and writes it.
 */
void send_canshu_frame(serial_port& port, std::uint8_t b0, std::uint8_t b1, std::uint8_t b2,
                       std::uint8_t b3, std::uint8_t b4, std::uint8_t b5, std::uint8_t b6);

/** Bit @p n (0..7, 0 the least significant) of @p value, as 0 or 1. */
int get_bit(std::uint8_t value, std::int16_t n);

} // namespace telvar::Module1
