#include "link/interlocks.h"

#include "link/link_log.h"

#include <QTimer>

#include <algorithm>
#include <memory>

namespace telvar::link {

namespace {

QString relay_list(const QList<int>& relays)
{
    QStringList words;
    for (int r : relays)
        words << QString::number(r);
    if (words.size() <= 1)
        return words.join(QString());
    const QString last = words.takeLast();
    return words.join(QStringLiteral(", ")) + QStringLiteral(" and ") + last;
}

} // namespace

interlocks::interlocks(request_queue& queue, poller& polls, const link_settings& settings,
                       QObject* parent)
    : QObject(parent), queue_(queue), polls_(polls), settings_(settings)
{
}

const std::vector<int>* interlocks::group_of(int address, int relay) const
{
    const auto board = settings_.interlocks.find(address);
    if (board == settings_.interlocks.end())
        return nullptr;
    for (const std::vector<int>& group : board->second)
        if (std::find(group.begin(), group.end(), relay) != group.end())
            return &group;
    return nullptr;
}

bool interlocks::grouped(int address, int relay) const
{
    return group_of(address, relay) != nullptr;
}

bool interlocks::guards(int address) const
{
    const auto board = settings_.interlocks.find(address);
    return board != settings_.interlocks.end() && !board->second.empty();
}

QList<int> interlocks::skipped_by_all_on(int address) const
{
    relay_states all{};
    all.fill(true);
    const relay_states kept = allowed(address, all);
    QList<int> skipped;
    for (int n = 1; n <= relay_count; ++n)
        if (!kept[std::size_t(n - 1)])
            skipped << n;
    return skipped;
}

relay_states interlocks::allowed(int address, relay_states wanted) const
{
    const auto board = settings_.interlocks.find(address);
    if (board == settings_.interlocks.end())
        return wanted;
    for (const std::vector<int>& group : board->second) {
        int lowest = 0;
        for (int r : group)
            if (r >= 1 && r <= relay_count && wanted[std::size_t(r - 1)] && (!lowest || r < lowest))
                lowest = r;
        for (int r : group)
            if (r >= 1 && r <= relay_count && r != lowest)
                wanted[std::size_t(r - 1)] = false;
    }
    return wanted;
}

void interlocks::switch_relay(int address, int relay, bool pull_in, relay_callback done)
{
    job j;
    j.relay = relay;
    j.pull_in = pull_in;
    j.done = std::move(done);
    add(address, std::move(j));
}

void interlocks::toggle(int address, int relay, relay_callback done)
{
    job j;
    j.what = job::kind::toggle;
    j.relay = relay;
    j.done = std::move(done);
    add(address, std::move(j));
}

void interlocks::switch_all(int address, bool pull_in, relay_callback done)
{
    job j;
    j.what = job::kind::all;
    j.pull_in = pull_in;
    j.done = std::move(done);
    add(address, std::move(j));
}

void interlocks::add(int address, job j)
{
    std::deque<job>& jobs = jobs_[address];
    // As in the queue: the newest wish for a relay (or for all) takes the place of a waiting one.
    for (auto it = jobs.begin(); it != jobs.end();) {
        const bool replaced = !it->running
                              && (j.what == job::kind::all
                                  || (it->what != job::kind::all && it->relay == j.relay));
        if (!replaced) {
            ++it;
            continue;
        }
        auto old = std::make_shared<job>(std::move(*it));
        it = jobs.erase(it);
        old->result.result = outcome::superseded;
        old->result.address = address;
        QTimer::singleShot(0, this, [old] {
            if (old->done)
                old->done(old->result);
        });
    }
    const bool idle = jobs.empty();
    // The first one is under way at once (no later wish replaces it), carried out from the event loop.
    j.running = idle;
    jobs.push_back(std::move(j));
    if (idle)
        QTimer::singleShot(0, this, [this, address] { run(address); });
}


void interlocks::run(int address)
{
    auto found = jobs_.find(address);
    if (found == jobs_.end() || found->second.empty())
        return;
    job& j = found->second.front();
    if (j.started)
        return;
    j.running = true;
    j.started = true;
    j.result.address = address;
    QPointer<interlocks> alive(this);
    const auto after = [this, alive, address](const relay_result& r) {
        if (alive && take(address, r))
            finish(address, outcome::done);
    };
    if (!j.pull_in && j.what != job::kind::toggle) {
        // A release never breaks an interlock: sent as asked.
        const auto kind = j.what == job::kind::all ? request::kind::switch_all
                                                   : request::kind::switch_one;
        queue_.add_relay(kind, address, j.relay, false, after);
        return;
    }
    const job::kind what = j.what;
    const int relay = j.relay;
    with_state(address, [this, address, what, relay](const relay_states& now) {
        relay_states target = now;
        if (what == job::kind::all) {
            target.fill(true);
            jobs_[address].front().result.skipped = skipped_by_all_on(address);
        } else {
            target[std::size_t(relay - 1)] = what == job::kind::toggle ? !now[std::size_t(relay - 1)]
                                                                       : true;
            if (target[std::size_t(relay - 1)])
                for (int other : *group_of(address, relay))
                    if (other != relay)
                        target[std::size_t(other - 1)] = false;
        }
        change_to(address, now, allowed(address, target));
    });
}

void interlocks::with_state(int address, std::function<void(const relay_states&)> go)
{
    // A report of now decides; otherwise the board is asked.
    if (const auto fresh = polls_.reported_within(address, settings_.poll_interval_ms)) {
        jobs_[address].front().result.reported = *fresh;
        go(*fresh);
        return;
    }
    QPointer<interlocks> alive(this);
    queue_.add_relay(request::kind::status, address, 0, false,
                     [this, alive, address, go = std::move(go)](const relay_result& r) {
                         if (alive && take(address, r))
                             go(*r.reported);
                     });
}

void interlocks::change_to(int address, relay_states now, relay_states target)
{
    // Releases first, each confirmed, then the pull-ins: a group is never two in.
    std::vector<std::pair<int, bool>> steps;
    for (int n = 1; n <= relay_count; ++n)
        if (now[std::size_t(n - 1)] && !target[std::size_t(n - 1)])
            steps.emplace_back(n, false);
    for (int n = 1; n <= relay_count; ++n)
        if (!now[std::size_t(n - 1)] && target[std::size_t(n - 1)])
            steps.emplace_back(n, true);
    step(address, std::move(steps), false);
}

void interlocks::step(int address, std::vector<std::pair<int, bool>> steps, bool gap_taken)
{
    if (steps.empty()) {
        finish(address, outcome::done);
        return;
    }
    const auto [relay, pull_in] = steps.front();
    QPointer<interlocks> alive(this);
    if (pull_in && !gap_taken && grouped(address, relay)) {
        // The pause after a release of its group, whoever released it.
        const auto released = released_at_.find(address);
        qint64 wait = 0;
        if (released != released_at_.end())
            for (int other : *group_of(address, relay)) {
                if (other == relay)
                    continue;
                const auto at = released->second.find(other);
                if (at != released->second.end())
                    wait = std::max(wait, at->second + settings_.interlock_gap_ms - polls_.now_ms());
            }
        if (wait > 0) {
            QTimer::singleShot(int(wait), Qt::PreciseTimer, this,
                               [this, address, steps] { step(address, steps, true); });
            return;
        }
    }
    steps.erase(steps.begin());
    queue_.add_relay(request::kind::switch_one, address, relay, pull_in,
                     [this, alive, address, steps = std::move(steps)](const relay_result& r) {
                         if (alive && take(address, r))
                             step(address, steps, false);
                     });
}

bool interlocks::take(int address, const relay_result& r)
{
    auto found = jobs_.find(address);
    if (found == jobs_.end() || found->second.empty())
        return false;
    relay_result& gathered = found->second.front().result;
    gathered.frames_sent += r.frames_sent;
    if (r.reported)
        gathered.reported = r.reported;
    if (r.result == outcome::done && (r.reported || gathered.reported))
        return true;
    // A step that failed ends the job: in particular no pull-in after a release not confirmed.
    finish(address, r.result == outcome::done ? outcome::not_confirmed : r.result);
    return false;
}

void interlocks::finish(int address, outcome result)
{
    auto found = jobs_.find(address);
    if (found == jobs_.end() || found->second.empty())
        return;
    job j = std::move(found->second.front());
    found->second.pop_front();
    j.result.result = result;
    const bool next = !found->second.empty();
    if (next)
        found->second.front().running = true;
    QPointer<interlocks> alive(this);
    if (j.done)
        j.done(j.result);
    if (alive && next)
        run(address);
}

void interlocks::reported(int address, const relay_states& relays)
{
    const auto before = last_.find(address);
    if (before != last_.end()) {
        for (int n = 1; n <= relay_count; ++n)
            if (before->second[std::size_t(n - 1)] && !relays[std::size_t(n - 1)] && grouped(address, n))
                released_at_[address][n] = polls_.now_ms();
    }
    last_[address] = relays;

    const auto board = settings_.interlocks.find(address);
    if (board == settings_.interlocks.end())
        return;
    QList<int> together;
    for (const std::vector<int>& group : board->second) {
        QList<int> in;
        for (int r : group)
            if (r >= 1 && r <= relay_count && relays[std::size_t(r - 1)])
                in << r;
        if (in.size() > 1)
            together << in;
    }
    if (together.isEmpty()) {
        acted_on_.erase(address);
        return;
    }
    // Once per state seen: a relay that will not release is not asked again and again.
    const auto acted = acted_on_.find(address);
    if (acted != acted_on_.end() && acted->second == relays)
        return;
    acted_on_[address] = relays;
    std::sort(together.begin(), together.end());
    qCWarning(link_log).noquote()
        << QStringLiteral("board %1 reports relays %2 of one interlock group pulled in together "
                          "(switched by hand or by another program); releasing them")
               .arg(address)
               .arg(relay_list(together));
    for (int r : together)
        queue_.add_relay(request::kind::switch_one, address, r, false,
                         [address, r](const relay_result& res) {
                             if (res.result == outcome::done)
                                 return;
                             qCWarning(link_log).noquote()
                                 << QStringLiteral("board %1 relay %2: the interlock's release "
                                                   "failed (%3)")
                                        .arg(address)
                                        .arg(r)
                                        .arg(outcome_name(res.result));
                         });
}

} // namespace telvar::link
