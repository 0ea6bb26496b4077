#include "sim/line_schedule.h"

#include <algorithm>

namespace telvar::sim
{

void line_schedule::enqueue(const std::vector<std::uint8_t>& bytes, std::int64_t not_before_ns)
{
    for (std::uint8_t byte : bytes) {
        // Paced, a byte is handed over when its last bit would have arrived.
        const std::int64_t start = std::max(not_before_ns, line_free_);
        const std::int64_t due = paced_ ? start + byte_ns : start;
        queue_.push_back({due, byte});
        line_free_ = due;
    }
}

std::vector<std::uint8_t> line_schedule::take_due(std::int64_t now_ns)
{
    std::vector<std::uint8_t> out;
    while (!queue_.empty() && queue_.front().due <= now_ns) {
        out.push_back(queue_.front().byte);
        queue_.pop_front();
    }
    return out;
}

std::optional<std::int64_t> line_schedule::next_due() const
{
    if (queue_.empty())
        return std::nullopt;
    return queue_.front().due;
}

void line_schedule::clear()
{
    queue_.clear();
    line_free_ = 0;
}

} // namespace telvar::sim
