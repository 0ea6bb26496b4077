#include "fuzz_port.h"

#include "fuzz_check.h"

namespace telvar::fuzz {

open_result fuzz_port::open(int)
{
    close();
    if (!next_open_ok)
        return {false, open_failure::busy, device(), QStringLiteral("held by another program")};
    open_ = true;
    return {true, open_failure::none, device(), {}};
}

void fuzz_port::close()
{
    open_ = false;
    unread_.clear();
}

void fuzz_port::write(const frame& bytes)
{
    if (open_)
        written.push_back(bytes);
}

std::optional<std::uint8_t> fuzz_port::read_byte()
{
    // The windows must never read beyond what was received.
    FUZZ_CHECK(open_ && !unread_.empty());
    const std::uint8_t byte = unread_.front();
    unread_.pop_front();
    gate_.note_read();
    return byte;
}

void fuzz_port::arrive(const std::vector<std::uint8_t>& bytes)
{
    if (!open_)
        return;
    unread_.insert(unread_.end(), bytes.begin(), bytes.end());
    gate_.offer(threshold_, [this] { return static_cast<long long>(bytes_waiting()); },
                [this] {
                    emit received();
                    return true;
                });
}

void fuzz_port::vanish()
{
    if (!open_)
        return;
    close();
    emit lost(QStringLiteral("device removed"));
}

} // namespace telvar::fuzz
