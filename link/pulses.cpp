#include "link/pulses.h"

#include "link/link_log.h"

#include <QDateTime>
#include <QRegularExpression>

#include <algorithm>
#include <cmath>

namespace telvar::link {

namespace {

QString duration_text(qint64 ms)
{
    if (ms == 0 || ms % 1000 != 0)
        return QStringLiteral("%1ms").arg(ms);
    if (ms % 3600000 == 0)
        return QStringLiteral("%1h").arg(ms / 3600000);
    if (ms % 60000 == 0)
        return QStringLiteral("%1m").arg(ms / 60000);
    return QStringLiteral("%1s").arg(ms / 1000);
}

} // namespace

std::optional<qint64> parse_duration(const QString& text, qint64 low, qint64 high, QString* error)
{
    static const QRegularExpression form(
        QStringLiteral("^\\s*([0-9]{1,9}(?:\\.[0-9]{1,6})?)\\s*(ms|s|m|h)\\s*$"));
    const auto match = form.match(text);
    const auto fail = [&](const QString& why) -> std::optional<qint64> {
        if (error)
            *error = why;
        return std::nullopt;
    };
    if (!match.hasMatch())
        return fail(QStringLiteral("\"%1\" is not a duration: write a number and a unit, "
                                   "such as 500ms, 2s, 1.5m or 1h")
                        .arg(text));
    const double number = match.captured(1).toDouble();
    const QString unit = match.captured(2);
    const double scale = unit == QLatin1String("ms") ? 1
                         : unit == QLatin1String("s") ? 1000
                         : unit == QLatin1String("m") ? 60000
                                                      : 3600000;
    const double ms = std::round(number * scale);
    if (ms < double(low) || ms > double(high))
        return fail(QStringLiteral("\"%1\" is out of range: from %2 to %3")
                        .arg(text, duration_text(low), duration_text(high)));
    return qint64(ms);
}

std::optional<qint64> parse_duration(const QString& text, QString* error)
{
    return parse_duration(text, shortest_pulse_ms, longest_pulse_ms, error);
}

pulses::pulses(request_queue& queue, poller& polls, QObject* parent)
    : QObject(parent), queue_(queue), polls_(polls)
{
    timer_.setSingleShot(true);
    timer_.setTimerType(Qt::PreciseTimer);
    connect(&timer_, &QTimer::timeout, this, &pulses::fire);
}

void pulses::pulled_in(int address, int relay, qint64 ms, relay_callback released)
{
    for (pending_pulse& p : pending_) {
        if (p.address == address && p.relay == relay && !p.sending) {
            // Pulled in again while pending: the later deadline holds, one release ends both.
            p.deadline_ms = std::max(p.deadline_ms, polls_.now_ms() + ms);
            p.owed = false;
            if (released) {
                auto first = std::move(p.released);
                p.released = [first, released](const relay_result& r) {
                    if (first)
                        first(r);
                    released(r);
                };
            }
            arm();
            emit pending_changed();
            return;
        }
    }
    pending_pulse p;
    p.address = address;
    p.relay = relay;
    p.deadline_ms = polls_.now_ms() + ms;
    p.released = std::move(released);
    pending_.push_back(std::move(p));
    arm();
    emit pending_changed();
}

QList<pending_release> pulses::pending_releases() const
{
    // The link's clock is monotonic; a file read by another process needs the system's.
    const qint64 offset = QDateTime::currentMSecsSinceEpoch() - polls_.now_ms();
    QList<pending_release> out;
    for (const pending_pulse& p : pending_)
        out.append({p.address, p.relay, p.deadline_ms + offset});
    return out;
}

void pulses::arm_release(int address, int relay, qint64 deadline_ms)
{
    const qint64 deadline =
        polls_.now_ms() + std::max<qint64>(0, deadline_ms - QDateTime::currentMSecsSinceEpoch());
    for (pending_pulse& p : pending_) {
        if (p.address == address && p.relay == relay) {
            p.deadline_ms = std::min(p.deadline_ms, deadline);
            arm();
            emit pending_changed();
            return;
        }
    }
    pending_pulse p;
    p.address = address;
    p.relay = relay;
    p.deadline_ms = deadline;
    pending_.push_back(std::move(p));
    arm();
    emit pending_changed();
}

bool pulses::pending(int address, int relay) const
{
    return std::any_of(pending_.begin(), pending_.end(), [&](const pending_pulse& p) {
        return p.address == address && p.relay == relay;
    });
}

void pulses::release_now(int address, int relay)
{
    for (pending_pulse& p : pending_)
        if (p.address == address && p.relay == relay)
            p.deadline_ms = std::min(p.deadline_ms, polls_.now_ms());
    arm();
    emit pending_changed();
}

void pulses::arm()
{
    qint64 first = -1;
    for (const pending_pulse& p : pending_)
        if (!p.sending && !p.owed && (first < 0 || p.deadline_ms < first))
            first = p.deadline_ms;
    if (first < 0) {
        timer_.stop();
        return;
    }
    timer_.start(int(std::max<qint64>(0, first - polls_.now_ms())));
}

void pulses::fire()
{
    const qint64 now = polls_.now_ms();
    for (pending_pulse& p : pending_)
        if (!p.sending && !p.owed && p.deadline_ms <= now)
            send_release(p);
    arm();
}

void pulses::send_release(pending_pulse& p)
{
    p.sending = true;
    const int address = p.address;
    const int relay = p.relay;
    request r;
    r.what = request::kind::switch_one;
    r.address = address;
    r.relay = relay;
    r.pull_in = false;
    r.relay_done = [this, address, relay](const relay_result& result) {
        auto it = std::find_if(pending_.begin(), pending_.end(), [&](const pending_pulse& q) {
            return q.address == address && q.relay == relay && q.sending;
        });
        if (it == pending_.end())
            return;
        it->sending = false;
        switch (result.result) {
        case outcome::port_closed:
        case outcome::line_lost:
        case outcome::offline:
        case outcome::no_reply:
            // The deadline stays passed: the release goes when the board answers again.
            it->owed = true;
            qCWarning(link_log).noquote()
                << QStringLiteral("board %1 relay %2: release owed (%3), sent when the board answers")
                       .arg(address)
                       .arg(relay)
                       .arg(outcome_name(result.result));
            return;
        default:
            end(it, result);
        }
    };
    queue_.add(std::move(r));
}

void pulses::end(std::list<pending_pulse>::iterator it, const relay_result& r)
{
    relay_callback done = std::move(it->released);
    pending_.erase(it);
    arm();
    emit pending_changed();
    if (done)
        done(r);
}

void pulses::reported(int address, const relay_states& relays)
{
    for (auto it = pending_.begin(); it != pending_.end();) {
        auto here = it++;
        if (here->address != address || !here->owed || here->sending)
            continue;
        if (!relays[std::size_t(here->relay - 1)]) {
            relay_result r;
            r.result = outcome::done;
            r.address = address;
            r.reported = relays;
            end(here, r);
            return;  // the list may have changed in the callback
        }
        here->owed = false;
        send_release(*here);
    }
}

void pulses::line_back()
{
    QList<int> asked;
    for (const pending_pulse& p : pending_) {
        if (!p.owed || asked.contains(p.address))
            continue;
        asked << p.address;
        request r;
        r.what = request::kind::status;
        r.address = p.address;
        r.relay_done = [](const relay_result&) {};  // its report reaches reported()
        queue_.add(std::move(r));
    }
    arm();
}

} // namespace telvar::link
