// When each byte the simulator sends may leave. Bytes keep their order; with
// pacing each byte takes the time 10 bits take at 9600 baud and is handed
// over at the end of its slot, as a receiver gets it. Slots are counted on a
// monotonic clock from the previous slot, so the rate holds however late the
// event loop wakes up.
#pragma once

#include <cstdint>
#include <deque>
#include <optional>
#include <vector>

namespace telvar::sim
{

class line_schedule
{
public:
    // One start bit, eight data bits, one stop bit at 9600 baud.
    static constexpr std::int64_t byte_ns = 10'000'000'000LL / 9600;

    explicit line_schedule(bool paced = false) : paced_(paced) {}

    /** Queues @p bytes to leave no earlier than @p not_before_ns. */
    void enqueue(const std::vector<std::uint8_t>& bytes, std::int64_t not_before_ns);

    /** Takes every byte whose time has come by @p now_ns. */
    std::vector<std::uint8_t> take_due(std::int64_t now_ns);

    /** The time of the next waiting byte, or nothing when none waits. */
    std::optional<std::int64_t> next_due() const;

    /** Drops everything queued, as when the line goes away. */
    void clear();

    bool empty() const { return queue_.empty(); }

    /** Pacing applies to bytes queued from now on. */
    void set_paced(bool paced) { paced_ = paced; }

private:
    struct slot {
        std::int64_t due;
        std::uint8_t byte;
    };
    bool paced_;
    std::deque<slot> queue_;
    std::int64_t line_free_ = 0; // when the line can start the next byte
};

} // namespace telvar::sim
