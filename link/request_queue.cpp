#include "link/request_queue.h"

#include "link/link_log.h"
#include "protocol/canshu_protocol.h"
#include "protocol/relay_protocol.h"

#include <QDateTime>
#include <QPointer>

#include <algorithm>
#include <memory>
#include <vector>

namespace telvar::link {

namespace {

QString hex_of(const frame& bytes)
{
    QString text;
    for (std::uint8_t b : bytes)
        text += QString::asprintf(text.isEmpty() ? "%02X" : " %02X", b);
    return text;
}

std::uint8_t parameter_code(parameter what, bool write)
{
    std::uint8_t read = pair_with_board;
    switch (what) {
    case parameter::host_id:
        read = read_host_id;
        break;
    case parameter::host_channel:
        read = read_host_channel;
        break;
    case parameter::slave_id:
        read = read_slave_id;
        break;
    case parameter::slave_channel:
        read = read_slave_channel;
        break;
    case parameter::pairing:
        return pair_with_board;
    }
    // Each write's code follows its read's.
    return write ? std::uint8_t(read + 1) : read;
}

// Whether @p incoming, a newer wish, takes the place of @p waiting.
bool coalesces(const request& waiting, const request& incoming)
{
    using kind = request::kind;
    if (waiting.address != incoming.address || !waiting.is_switch())
        return false;
    if (incoming.what == kind::switch_all)
        return true;
    return waiting.what != kind::switch_all && waiting.relay == incoming.relay;
}

// "board 1 relay 5 on", for the log.
QString request_text(const request& r)
{
    const QString state = r.pull_in ? QStringLiteral("on") : QStringLiteral("off");
    switch (r.what) {
    case request::kind::status:
        return QStringLiteral("status of board %1").arg(r.address);
    case request::kind::switch_one:
        return QStringLiteral("board %1 relay %2 %3").arg(r.address).arg(r.relay).arg(state);
    case request::kind::toggle:
        return QStringLiteral("board %1 relay %2 toggle").arg(r.address).arg(r.relay);
    case request::kind::switch_all:
        return QStringLiteral("board %1 all relays %2").arg(r.address).arg(state);
    case request::kind::read:
    case request::kind::write:
        break;
    }
    return QStringLiteral("parameter request for board %1").arg(r.address);
}

} // namespace

request_queue::request_queue(line_holder& line, poller& polls, const link_settings& settings,
                             QObject* parent)
    : QObject(parent), line_(line), polls_(polls), settings_(settings)
{
    reply_timer_.setSingleShot(true);
    reply_timer_.setTimerType(Qt::PreciseTimer);
    connect(&reply_timer_, &QTimer::timeout, this, &request_queue::window_closed);
    connect(&line_, &line_holder::received, this, &request_queue::take_bytes);
    connect(&polls_, &poller::poll_due, this, &request_queue::pump);
}

// Callbacks of waiting requests are dropped with the queue: their owners may be gone too.
request_queue::~request_queue() = default;

void request_queue::add_relay(request::kind what, int address, int relay, bool pull_in,
                              relay_callback done)
{
    request r;
    r.what = what;
    r.address = address;
    r.relay = relay;
    r.pull_in = pull_in;
    r.relay_done = std::move(done);
    add(std::move(r));
}

void request_queue::add(request r)
{
    if (!line_.is_open()) {
        end_later(std::move(r), outcome::port_closed);
        return;
    }
    if (!r.is_parameter() && polls_.offline(r.address)) {
        qCInfo(link_log).noquote() << request_text(r) << "failed at once: the board is offline";
        end_later(std::move(r), outcome::offline);
        return;
    }
    if (r.is_switch()) {
        // The newest wish for a relay takes the place in line of those it replaces.
        std::deque<request> kept;
        std::vector<request> replaced;
        std::optional<std::size_t> place;
        for (request& w : waiting_) {
            if (coalesces(w, r)) {
                if (!place)
                    place = kept.size();
                replaced.push_back(std::move(w));
            } else {
                kept.push_back(std::move(w));
            }
        }
        waiting_ = std::move(kept);
        if (place) {
            for (request& old : replaced) {
                qCInfo(link_log).noquote() << request_text(old) << "superseded by" << request_text(r);
                end_later(std::move(old), outcome::superseded);
            }
            waiting_.insert(waiting_.begin() + std::ptrdiff_t(*place), std::move(r));
            return;
        }
    }
    if (int(waiting_.size()) >= settings_.queue_limit) {
        qCInfo(link_log).noquote() << request_text(r) << "refused:" << waiting_.size()
                                   << "requests already wait";
        end_later(std::move(r), outcome::queue_full);
        return;
    }
    waiting_.push_back(std::move(r));
    // Idle since the poll fell due: its turn has not begun, the command takes it.
    next_frame(!flight_.active && !current_ && free_since_ms_ <= polls_.due_at_ms());
}

void request_queue::line_open()
{
    receiver_.clear();
    flight_ = {};
    pump();
}

void request_queue::next_frame(bool command_first)
{
    if (flight_.active || !line_.is_open())
        return;
    const bool work = current_.has_value() || !waiting_.empty();
    if (polls_.due() && !(work && (command_first || saturated()))) {
        const int address = polls_.take();
        planned poll;
        poll.bytes = relay_request(address, status_query, 0, 0);
        poll.code = status_query;
        poll.selector = low_byte(address);
        poll.board = address;
        send(poll, true, false);
        return;
    }
    if (!current_) {
        if (waiting_.empty())
            return;
        current_ = std::move(waiting_.front());
        waiting_.pop_front();
        start(*current_);
    }
    if (!next_)
        return;
    const planned p = *next_;
    next_.reset();
    ++current_->frames_sent;
    const bool again = current_->resending;
    current_->resending = false;
    send(p, false, again);
}

bool request_queue::saturated() const
{
    // Polls alone fill the line (they take most of the interval, as with an
    // interval shorter than the answers, or silent boards): a waiting command
    // still gets every other frame. An average, so that one quick answer
    // does not decide.
    return last_was_poll_ && 4 * poll_ms_ >= 3 * settings_.poll_interval_ms;
}

void request_queue::send(const planned& p, bool poll, bool again)
{
    receiver_.clear();
    flight_ = {true, poll, p};
    last_was_poll_ = poll;
    sent_at_ms_ = polls_.now_ms();
    line_.send(p.bytes);
    ++stats_.frames_sent;
    if (p.board >= 0)
        health_.sent(p.board, again);
    reply_timer_.start(settings_.reply_window_ms);
    qCDebug(link_log).noquote() << "sent" << hex_of(p.bytes);
    emit frame_sent(p.bytes, poll);
}

void request_queue::take_bytes()
{
    QPointer<request_queue> alive(this);
    const quint64 skipped = receiver_.bytes_skipped();
    for (;;) {
        // What arrives garbled counts against the board whose answer was awaited.
        const int awaited = flight_.active ? flight_.what.board : -1;
        const quint64 skipped_before = receiver_.bytes_skipped();
        const quint64 spoilt_before = receiver_.checksum_failures();
        const auto reply = receiver_.next(line_.port());
        if (awaited >= 0)
            health_.garbled(awaited, receiver_.checksum_failures() - spoilt_before,
                            receiver_.bytes_skipped() - skipped_before);
        if (!reply)
            break;
        const bool accepted = answers_flight(*reply);
        if (accepted)
            ++stats_.replies_accepted;
        else
            ++stats_.replies_unmatched;
        qCDebug(link_log).noquote() << (accepted ? "received" : "unmatched") << hex_of(*reply);
        emit reply_received(*reply, accepted);
        if (!alive)
            return;
        if (accepted) {
            accept(*reply);
            if (!alive)
                return;
        }
    }
    if (receiver_.bytes_skipped() > skipped)
        qCDebug(link_log).noquote() << "skipped" << receiver_.bytes_skipped() - skipped
                                    << "bytes that began no reply";
}

bool request_queue::answers_flight(const frame& reply) const
{
    // Address and code both: a late answer to an earlier frame is no answer to this one.
    return flight_.active && reply[1] == flight_.what.selector && reply[2] == flight_.what.code;
}

void request_queue::accept(const frame& reply)
{
    reply_timer_.stop();
    const planned p = flight_.what;
    const bool poll = flight_.poll;
    if (p.board >= 0)
        health_.answered(p.board, int(polls_.now_ms() - sent_at_ms_),
                         QDateTime::currentMSecsSinceEpoch());
    QPointer<request_queue> alive(this);
    // The frame stays in flight while the board's news goes out, so that a
    // request added by a listener waits for its turn.
    if (p.parameter) {
        if (p.board >= 0)
            polls_.answered(p.board, nullptr);
        if (!alive)
            return;
        land();
        if (current_)
            parameter_answer(*current_, reply);
        return;
    }
    const relay_states states = status_reply_states(reply);
    polls_.answered(p.board, &states);
    if (!alive)
        return;
    land();
    if (poll || !current_) {
        pump();
        return;
    }
    relay_answer(*current_, states);
}

void request_queue::window_closed()
{
    if (!flight_.active)
        return;
    const planned p = flight_.what;
    if (!line_.is_open()) {
        // The line went: its loss is told as such, not as a silent board.
        flight_.active = false;
        if (p.board >= 0)
            health_.cut_off(p.board);
        return;
    }
    const bool poll = flight_.poll;
    if (p.board >= 0)
        health_.timed_out(p.board);
    if (!poll && current_)
        current_->resending = true;
    QPointer<request_queue> alive(this);
    if (p.board >= 0)
        polls_.missed(p.board);
    if (!alive)
        return;
    land();
    if (poll || !current_) {
        pump();
        return;
    }
    silence(*current_);
}

void request_queue::land()
{
    flight_.active = false;
    free_since_ms_ = polls_.now_ms();
    if (flight_.poll)
        poll_ms_ += (double(free_since_ms_ - sent_at_ms_) - poll_ms_) / 4;
}

void request_queue::start(request& r)
{
    switch (r.what) {
    case request::kind::status:
        plan_status(r);
        return;
    case request::kind::toggle: {
        // Only a report of now decides; an older one is asked again.
        const auto known = polls_.reported_within(r.address, settings_.poll_interval_ms);
        if (!known) {
            plan_status(r);
            return;
        }
        r.pull_in = !(*known)[std::size_t(r.relay - 1)];
        r.what = request::kind::switch_one;
        plan_switch(r);
        return;
    }
    case request::kind::switch_one:
    case request::kind::switch_all:
        plan_switch(r);
        return;
    case request::kind::read:
    case request::kind::write:
        plan_parameter(r);
        return;
    }
}

void request_queue::plan_status(request& r)
{
    planned p;
    p.bytes = relay_request(r.address, status_query, 0, 0);
    p.code = status_query;
    p.selector = low_byte(r.address);
    p.board = r.address;
    next_ = p;
}

void request_queue::plan_switch(request& r)
{
    r.checking = false;
    planned p;
    if (r.what == request::kind::switch_all) {
        const std::uint8_t both = r.pull_in ? 0xFF : 0x00;
        p.code = switch_all;
        p.bytes = relay_request(r.address, p.code, both, both);
    } else {
        p.code = r.pull_in ? pull_in_relay : release_relay;
        p.bytes = relay_request(r.address, p.code, 0, std::uint8_t(r.relay));
    }
    p.selector = low_byte(r.address);
    p.board = r.address;
    next_ = p;
}

void request_queue::plan_parameter(request& r)
{
    planned p;
    p.code = parameter_code(r.param, r.what == request::kind::write);
    const std::uint8_t address = low_byte(r.address);
    p.bytes = canshu_request(p.code, address, r.value);
    p.selector = canshu_reply_selector(p.code, address);
    p.parameter = true;
    // The host module's own settings are no board's answer.
    p.board = p.code >= read_host_id && p.code <= write_host_channel ? -1 : address;
    next_ = p;
}

void request_queue::relay_answer(request& r, const relay_states& states)
{
    r.answered = true;
    r.reported = states;
    switch (r.what) {
    case request::kind::status:
        finish(outcome::done);
        return;
    case request::kind::toggle:
        r.pull_in = !states[std::size_t(r.relay - 1)];
        r.what = request::kind::switch_one;
        r.tries = 0;
        plan_switch(r);
        pump();
        return;
    case request::kind::switch_one:
    case request::kind::switch_all: {
        const bool shows = r.what == request::kind::switch_all
                               ? std::all_of(states.begin(), states.end(),
                                             [&](bool on) { return on == r.pull_in; })
                               : states[std::size_t(r.relay - 1)] == r.pull_in;
        if (shows)
            finish(outcome::done);
        else
            switch_again(r);
        return;
    }
    case request::kind::read:
    case request::kind::write:
        return;
    }
}

void request_queue::parameter_answer(request& r, const frame& reply)
{
    r.answered = true;
    // Read by the request in flight: board 255's module answers with FF in byte 1.
    r.value_back = canshu_reply_value(reply[2], reply);
    if (r.what != request::kind::write) {
        finish(outcome::done);
        return;
    }
    const bool channel = r.param == parameter::host_channel || r.param == parameter::slave_channel;
    const std::uint32_t asked = channel ? (r.value & 0xFFu) : r.value;
    finish(*r.value_back == asked ? outcome::done : outcome::not_confirmed);
}

void request_queue::silence(request& r)
{
    switch (r.what) {
    case request::kind::status:
    case request::kind::toggle:
    case request::kind::read:
    case request::kind::write:
        if (r.tries < settings_.retries) {
            ++r.tries;
            if (r.is_parameter())
                plan_parameter(r);
            else
                plan_status(r);
            pump();
            return;
        }
        finish(r.answered ? outcome::not_confirmed : outcome::no_reply);
        return;
    case request::kind::switch_one:
    case request::kind::switch_all:
        if (!r.checking) {
            // The switch may have gone through with its answer lost: ask.
            plan_status(r);
            r.checking = true;
            pump();
            return;
        }
        switch_again(r);
        return;
    }
}

void request_queue::switch_again(request& r)
{
    // tries counts the switch frames after the first.
    if (r.tries < settings_.retries) {
        ++r.tries;
        plan_switch(r);
        pump();
        return;
    }
    finish(r.answered ? outcome::not_confirmed : outcome::no_reply);
}

void request_queue::finish(outcome result)
{
    reply_timer_.stop();
    flight_.active = false;
    next_.reset();
    request r = std::move(*current_);
    current_.reset();
    QPointer<request_queue> alive(this);
    deliver(r, result);
    if (alive)
        pump();
}

void request_queue::fail_waiting(int address)
{
    std::deque<request> kept;
    std::vector<request> failing;
    for (request& r : waiting_) {
        if (r.address == address && !r.is_parameter())
            failing.push_back(std::move(r));
        else
            kept.push_back(std::move(r));
    }
    waiting_ = std::move(kept);
    QPointer<request_queue> alive(this);
    for (request& r : failing) {
        qCInfo(link_log).noquote() << request_text(r) << "failed: the board went offline";
        deliver(r, outcome::offline);
        if (!alive)
            return;
    }
}

void request_queue::end_all(outcome sent)
{
    reply_timer_.stop();
    if (flight_.active && flight_.what.board >= 0)
        health_.cut_off(flight_.what.board);
    flight_ = {};
    next_.reset();
    receiver_.clear();
    std::vector<request> ending;
    if (current_)
        ending.push_back(std::move(*current_));
    current_.reset();
    for (request& r : waiting_)
        ending.push_back(std::move(r));
    waiting_.clear();
    QPointer<request_queue> alive(this);
    for (request& r : ending) {
        deliver(r, r.frames_sent > 0 ? sent : outcome::port_closed);
        if (!alive)
            return;
    }
}

void request_queue::end_later(request r, outcome result)
{
    // Never inside the caller's own call: it may not be ready for its callback yet.
    auto shared = std::make_shared<request>(std::move(r));
    QTimer::singleShot(0, this, [this, shared, result] { deliver(*shared, result); });
}

void request_queue::deliver(request& r, outcome result)
{
    qCDebug(link_log).noquote() << "request for address" << r.address
                                << "ended:" << outcome_name(result);
    if (r.is_parameter()) {
        parameter_result p;
        p.result = result;
        p.what = r.param;
        p.address = r.address;
        p.value = r.value_back;
        p.frames_sent = r.frames_sent;
        if (r.parameter_done)
            r.parameter_done(p);
        return;
    }
    relay_result out;
    out.result = result;
    out.address = r.address;
    out.reported = r.reported;
    out.frames_sent = r.frames_sent;
    if (r.relay_done)
        r.relay_done(out);
}

request_queue::counters request_queue::stats() const
{
    counters c = stats_;
    c.bytes_skipped = receiver_.bytes_skipped();
    return c;
}

} // namespace telvar::link
