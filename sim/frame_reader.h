// Cuts the byte stream from the PC into request frames. Stray bytes, a torn
// frame or a wrong checksum put the stream out of step; the reader then
// drops one byte at a time until eight bytes form a request again.
#pragma once

#include "protocol/frame.h"

#include <cstddef>
#include <cstdint>
#include <vector>

namespace telvar::sim
{

struct read_result {
    std::vector<frame> frames;         // whole requests, in arrival order
    std::vector<std::uint8_t> skipped; // bytes dropped to get back in step
};

class frame_reader
{
public:
    /** Takes @p size more bytes; returns the requests they complete. */
    read_result feed(const std::uint8_t* data, std::size_t size);

    /** Bytes held that do not yet make a frame. */
    std::size_t held() const { return buffer_.size(); }

    void clear() { buffer_.clear(); }

private:
    std::vector<std::uint8_t> buffer_;
};

/** A request: start mark 0x55 or 0x56 and a matching checksum. */
bool is_request(const std::uint8_t* group);

} // namespace telvar::sim
