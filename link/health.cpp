#include "link/health.h"

#include <algorithm>
#include <vector>

namespace telvar::link {

void health_tracker::sent(int board, bool again)
{
    board_health& t = boards_[board].totals;
    ++t.frames_sent;
    if (again)
        ++t.retries;
}

void health_tracker::land(counts& c, bool accepted)
{
    c.landed.push_back(accepted);
    if (int(c.landed.size()) > health_window)
        c.landed.pop_front();
}

void health_tracker::answered(int board, int round_trip_ms, qint64 at_ms)
{
    counts& c = boards_[board];
    ++c.totals.replies_accepted;
    c.totals.last_reply_ms = at_ms;
    c.round_trips.push_back(round_trip_ms);
    if (int(c.round_trips.size()) > health_window)
        c.round_trips.pop_front();
    land(c, true);
}

void health_tracker::timed_out(int board)
{
    counts& c = boards_[board];
    ++c.totals.timeouts;
    land(c, false);
}

void health_tracker::cut_off(int board)
{
    land(boards_[board], false);
}

void health_tracker::garbled(int board, quint64 checksum_errors, quint64 stray_bytes)
{
    board_health& t = boards_[board].totals;
    t.checksum_errors += checksum_errors;
    t.stray_bytes += stray_bytes;
}

board_health health_tracker::of(int board) const
{
    const auto it = boards_.find(board);
    if (it == boards_.end())
        return {};
    const counts& c = it->second;
    board_health h = c.totals;
    if (!c.round_trips.empty()) {
        std::vector<int> sorted(c.round_trips.begin(), c.round_trips.end());
        // The lower median: an even count never reports a time no reply took.
        const auto middle = sorted.begin() + std::ptrdiff_t((sorted.size() - 1) / 2);
        std::nth_element(sorted.begin(), middle, sorted.end());
        h.round_trip_p50_ms = *middle;
    }
    h.window_frames = int(c.landed.size());
    if (h.window_frames > 0) {
        const auto accepted = std::count(c.landed.begin(), c.landed.end(), true);
        h.quality_percent = int((100 * accepted + h.window_frames / 2) / h.window_frames);
    }
    return h;
}

} // namespace telvar::link
