#include "link/poller.h"

#include <QPointer>

#include <algorithm>

namespace telvar::link {

poller::poller(const link_settings& settings, QObject* parent)
    : QObject(parent), settings_(settings)
{
    clock_.start();
    timer_.setSingleShot(true);
    timer_.setTimerType(Qt::PreciseTimer);
    connect(&timer_, &QTimer::timeout, this, &poller::poll_due);
}

void poller::set_polled(const QList<int>& addresses)
{
    QList<int> unique;
    for (int a : addresses)
        if (!unique.contains(a))
            unique.append(a);
    const bool was_polling = !polled_.isEmpty();
    polled_ = unique;
    for (auto it = boards_.begin(); it != boards_.end();)
        it = unique.contains(it->first) ? std::next(it) : boards_.erase(it);
    for (int a : unique)
        boards_.try_emplace(a);
    next_ = 0;
    if (!was_polling)
        next_due_ms_ = now_ms();
    arm();
}

bool poller::is_polled(int address) const
{
    return boards_.count(address) != 0;
}

bool poller::available(int address) const
{
    const auto it = boards_.find(address);
    return it != boards_.end() && it->second.available.value_or(false);
}

bool poller::offline(int address) const
{
    const auto it = boards_.find(address);
    return it != boards_.end() && it->second.available == false;
}

void poller::start()
{
    running_ = true;
    next_due_ms_ = now_ms();
    arm();
}

void poller::stop()
{
    running_ = false;
    timer_.stop();
}

bool poller::due() const
{
    return running_ && !polled_.isEmpty() && now_ms() >= next_due_ms_;
}

qint64 poller::lateness_ms() const
{
    return due() ? now_ms() - next_due_ms_ : 0;
}

int poller::take()
{
    const int address = polled_[next_ % polled_.size()];
    next_ = (next_ + 1) % polled_.size();
    // A fixed rhythm: a poll sent late does not push the ones after it.
    next_due_ms_ += settings_.poll_interval_ms;
    // After a long stall (a busy machine, a line that was away) the rhythm
    // starts again rather than firing every missed poll back to back.
    const qint64 behind = now_ms() - next_due_ms_;
    const qint64 limit = 2 * qint64(settings_.poll_interval_ms + settings_.reply_window_ms);
    if (behind > limit)
        next_due_ms_ = now_ms() - limit;
    arm();
    return address;
}

void poller::arm()
{
    if (!running_ || polled_.isEmpty()) {
        timer_.stop();
        return;
    }
    timer_.start(int(std::max<qint64>(0, next_due_ms_ - now_ms())));
}

void poller::answered(int address, const relay_states* relays)
{
    QPointer<poller> alive(this);
    const auto it = boards_.find(address);
    if (it != boards_.end()) {
        it->second.misses = 0;
        if (it->second.available != true) {
            it->second.available = true;
            emit availability_changed(address, true);
            if (!alive)
                return;
        }
    }
    if (!relays)
        return;
    const auto before = reports_.find(address);
    const std::optional<relay_states> previous =
        before == reports_.end() ? std::nullopt : std::optional<relay_states>(before->second.relays);
    reports_[address] = {*relays, now_ms()};
    emit board_reported(address, *relays);
    if (alive && previous && *previous != *relays)
        emit relays_changed(address, *previous, *relays);
}

void poller::missed(int address)
{
    const auto it = boards_.find(address);
    if (it == boards_.end())
        return;
    board& b = it->second;
    ++b.misses;
    if (b.misses < settings_.unavailable_after || b.available == false)
        return;
    b.available = false;
    // A state from before the silence says nothing about the board now.
    reports_.erase(address);
    emit availability_changed(address, false);
}

std::optional<relay_states> poller::last_reported(int address) const
{
    const auto it = reports_.find(address);
    if (it == reports_.end())
        return std::nullopt;
    return it->second.relays;
}

std::optional<relay_states> poller::reported_within(int address, int ms) const
{
    const auto it = reports_.find(address);
    if (it == reports_.end() || now_ms() - it->second.at_ms > ms)
        return std::nullopt;
    return it->second.relays;
}

void poller::line_gone()
{
    reports_.clear();
    QList<int> going;
    for (auto& [address, b] : boards_) {
        b.misses = 0;
        if (b.available != false)
            going << address;
        b.available = false;
    }
    // Told after the state is settled: a listener may change the polled set.
    QPointer<poller> alive(this);
    for (int address : going) {
        emit availability_changed(address, false);
        if (!alive)
            return;
    }
}

} // namespace telvar::link
