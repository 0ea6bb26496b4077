#include "sim/faults.h"

#include <algorithm>

namespace telvar::sim
{

bool fault_dice::roll(double rate)
{
    if (rate <= 0)
        return false;
    if (rate >= 1)
        return true;
    return std::uniform_real_distribution<double>(0.0, 1.0)(engine_) < rate;
}

reply_plan fault_dice::plan(const frame& reply, const fault_options& faults)
{
    reply_plan plan;
    plan.reply = reply;
    if (roll(faults.loss)) {
        plan.lost = true;
        return plan;
    }
    if (roll(faults.bad_checksum)) {
        // Any change of the last byte spoils the sum; never zero, so it always differs.
        const int offset = std::uniform_int_distribution<int>(1, 255)(engine_);
        plan.reply[7] = static_cast<std::uint8_t>(plan.reply[7] + offset);
        plan.corrupted = true;
    }
    if (roll(faults.stray)) {
        const int count = std::uniform_int_distribution<int>(1, 7)(engine_);
        std::uniform_int_distribution<int> value(0, 255);
        for (int i = 0; i < count; ++i)
            plan.stray.push_back(static_cast<std::uint8_t>(value(engine_)));
    }
    return plan;
}

std::vector<std::vector<std::uint8_t>> split_into(const std::vector<std::uint8_t>& bytes,
                                                  int pieces)
{
    const int size = static_cast<int>(bytes.size());
    const int count = std::max(1, std::min(pieces, size));
    std::vector<std::vector<std::uint8_t>> runs;
    int at = 0;
    for (int k = 0; k < count; ++k) {
        const int length = size / count + (k < size % count ? 1 : 0);
        runs.emplace_back(bytes.begin() + at, bytes.begin() + at + length);
        at += length;
    }
    return runs;
}

} // namespace telvar::sim
