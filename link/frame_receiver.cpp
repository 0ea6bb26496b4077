#include "link/frame_receiver.h"

#include <algorithm>

namespace telvar::link {

std::optional<frame> frame_receiver::next(serial_port& port)
{
    // Never asked for more than waits.
    while (port.bytes_waiting() > 0) {
        const auto byte = port.read_byte();
        if (!byte)
            break;
        if (filled_ == 0 && *byte != reply_mark) {
            ++skipped_;
            continue;
        }
        window_[std::size_t(filled_++)] = *byte;
        if (filled_ < frame_length)
            continue;
        if (is_valid_reply(window_)) {
            filled_ = 0;
            return window_;
        }
        ++spoilt_;
        drop_first();
    }
    return std::nullopt;
}

void frame_receiver::drop_first()
{
    // The next start mark inside the window may begin the real reply.
    int start = 1;
    while (start < filled_ && window_[std::size_t(start)] != reply_mark)
        ++start;
    skipped_ += quint64(start);
    std::copy(window_.begin() + start, window_.begin() + filled_, window_.begin());
    filled_ -= start;
}

} // namespace telvar::link
