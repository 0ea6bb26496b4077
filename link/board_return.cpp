#include "link/board_return.h"

#include "link/link_log.h"

#include <algorithm>

namespace telvar::link {

board_return::board_return(const link_settings& settings, switch_one one, switch_all all,
                           allowed within, QObject* parent)
    : QObject(parent), settings_(settings), one_(std::move(one)), all_(std::move(all)),
      within_(std::move(within))
{
}

void board_return::availability(int address, bool available)
{
    if (!available) {
        away_.insert(address);
        back_.erase(address);
        return;
    }
    // The first answer of a board never seen away is no return.
    if (away_.erase(address))
        back_.insert(address);
}

void board_return::reported(int address, const relay_states& relays)
{
    if (back_.erase(address)) {
        act(address, relays);
        return;
    }
    confirmed_[address] = relays;
}

void board_return::act(int address, const relay_states& now)
{
    const auto mode = settings_.on_return.find(address);
    if (mode == settings_.on_return.end() || mode->second == return_mode::keep)
        return;
    if (mode->second == return_mode::off) {
        if (std::find(now.begin(), now.end(), true) != now.end()) {
            qCInfo(link_log).noquote() << QStringLiteral("board %1 is back: releasing every relay").arg(address);
            all_(address, false);
        }
        return;
    }
    const auto before = confirmed_.find(address);
    if (before == confirmed_.end())
        return;
    relay_states target = before->second;
    // A momentary relay's pull-in ended with its pulse: it is not pulled in again.
    const auto momentary = settings_.pulse_ms.find(address);
    if (momentary != settings_.pulse_ms.end())
        for (const auto& [relay, ms] : momentary->second)
            if (relay >= 1 && relay <= relay_count)
                target[std::size_t(relay - 1)] = now[std::size_t(relay - 1)];
    target = within_(address, target);
    if (target == now)
        return;
    qCInfo(link_log).noquote() << QStringLiteral("board %1 is back: restoring the relays it last confirmed")
                                      .arg(address);
    // Releases first; a grouped pull-in releases the rest of its group itself.
    for (int n = 1; n <= relay_count; ++n)
        if (now[std::size_t(n - 1)] && !target[std::size_t(n - 1)])
            one_(address, n, false);
    for (int n = 1; n <= relay_count; ++n)
        if (!now[std::size_t(n - 1)] && target[std::size_t(n - 1)])
            one_(address, n, true);
}

} // namespace telvar::link
