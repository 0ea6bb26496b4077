#include "sim/frame_reader.h"

namespace telvar::sim
{

bool is_request(const std::uint8_t* group)
{
    return (group[0] == board_mark || group[0] == host_mark) && checksum(group) == group[7];
}

read_result frame_reader::feed(const std::uint8_t* data, std::size_t size)
{
    buffer_.insert(buffer_.end(), data, data + size);
    read_result result;
    std::size_t at = 0;
    while (buffer_.size() - at >= frame_length) {
        const std::uint8_t* group = buffer_.data() + at;
        if (is_request(group)) {
            frame f{};
            for (int i = 0; i < frame_length; ++i)
                f[i] = group[i];
            result.frames.push_back(f);
            at += frame_length;
        } else {
            result.skipped.push_back(*group);
            ++at;
        }
    }
    buffer_.erase(buffer_.begin(), buffer_.begin() + static_cast<std::ptrdiff_t>(at));
    return result;
}

} // namespace telvar::sim
