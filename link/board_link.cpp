#include "link/board_link.h"

#include "serial/qt_serial_port.h"

#include <QPointer>

namespace telvar::link {

board_link::board_link(link_settings settings, QObject* parent)
    : board_link(std::make_unique<qt_serial_port>(), std::move(settings), parent)
{
}

board_link::board_link(std::unique_ptr<serial_port> port, link_settings settings, QObject* parent)
    : QObject(parent), settings_(std::move(settings)), line_(std::move(port), settings_),
      polls_(settings_), queue_(line_, polls_, settings_), pulses_(queue_, polls_),
      locks_(queue_, polls_, settings_),
      returns_(
          settings_, [this](int address, int relay, bool on) { switch_relay(address, relay, on, {}); },
          [this](int address, bool on) { switch_all(address, on, {}); },
          [this](int address, relay_states wanted) { return locks_.allowed(address, wanted); })
{
    connect(&line_, &line_holder::lost, this, &board_link::on_lost);
    connect(&line_, &line_holder::reopen_failed, this, &board_link::reopen_failed);
    connect(&line_, &line_holder::renumbered, this, &board_link::port_renumbered);
    connect(&line_, &line_holder::restored, this, [this](const QString& device) {
        polls_.start();
        queue_.line_open();
        pulses_.line_back();
        emit line_restored(device);
    });
    connect(&polls_, &poller::board_reported, this, &board_link::board_reported);
    connect(&polls_, &poller::board_reported, &pulses_, &pulses::reported);
    connect(&polls_, &poller::board_reported, &locks_, &interlocks::reported);
    connect(&polls_, &poller::board_reported, &returns_, &board_return::reported);
    connect(&polls_, &poller::relays_changed, this, &board_link::relays_changed);
    connect(&polls_, &poller::availability_changed, this, [this](int address, bool available) {
        QPointer<board_link> alive(this);
        returns_.availability(address, available);
        emit availability_changed(address, available);
        if (alive && !available)
            queue_.fail_waiting(address);
    });
    connect(&pulses_, &pulses::pending_changed, this, &board_link::pulses_changed);
    connect(&queue_, &request_queue::frame_sent, this, &board_link::frame_sent);
    connect(&queue_, &request_queue::reply_received, this, &board_link::reply_received);
}

board_link::~board_link() = default;

open_result board_link::open(const port_spec& where)
{
    const open_result result = line_.open(where);
    if (result.ok) {
        polls_.start();
        queue_.line_open();
    }
    return result;
}

void board_link::close()
{
    line_.close();
    polls_.stop();
    queue_.end_all(outcome::port_closed);
}

bool board_link::is_open() const
{
    return line_.is_open();
}

QString board_link::device() const
{
    return line_.device();
}

const link_settings& board_link::settings() const
{
    return settings_;
}

void board_link::apply(const link_settings& changed)
{
    // The parts hold a reference to these settings: they see the change at once.
    settings_.pulse_ms = changed.pulse_ms;
    settings_.interlocks = changed.interlocks;
    settings_.interlock_gap_ms = changed.interlock_gap_ms;
    settings_.on_return = changed.on_return;
}


void board_link::status(int address, relay_callback done)
{
    queue_.add_relay(request::kind::status, address, 0, false, std::move(done));
}

void board_link::switch_relay(int address, int relay, bool pull_in, relay_callback done)
{
    if (!pull_in && locks_.grouped(address, relay)) {
        locks_.switch_relay(address, relay, false, std::move(done));
        return;
    }
    const auto board = settings_.pulse_ms.find(address);
    const auto momentary = board == settings_.pulse_ms.end() ? std::map<int, qint64>::const_iterator{}
                                                             : board->second.find(relay);
    if (!pull_in || board == settings_.pulse_ms.end() || momentary == board->second.end()) {
        if (locks_.grouped(address, relay))
            locks_.switch_relay(address, relay, pull_in, std::move(done));
        else
            queue_.add_relay(request::kind::switch_one, address, relay, pull_in, std::move(done));
        return;
    }
    // A momentary relay: every confirmed pull-in is released after its time.
    pulse(address, relay, momentary->second, std::move(done), {});
}

void board_link::pulse(int address, int relay, qint64 ms, relay_callback pulled,
                       relay_callback released)
{
    QPointer<board_link> alive(this);
    relay_callback after = [this, alive, address, relay, ms, pulled = std::move(pulled),
                            released = std::move(released)](const relay_result& r) {
        if (alive && r.result == outcome::done)
            pulses_.pulled_in(address, relay, ms, released);
        if (pulled)
            pulled(r);
        if (r.result != outcome::done && released)
            released(r);
    };
    if (locks_.grouped(address, relay))
        locks_.switch_relay(address, relay, true, std::move(after));
    else
        queue_.add_relay(request::kind::switch_one, address, relay, true, std::move(after));
}

void board_link::release_pulse_now(int address, int relay)
{
    pulses_.release_now(address, relay);
}

bool board_link::pulse_pending(int address, int relay) const
{
    return pulses_.pending(address, relay);
}

QList<pending_release> board_link::pending_releases() const
{
    return pulses_.pending_releases();
}

void board_link::arm_release(int address, int relay, qint64 deadline_ms)
{
    pulses_.arm_release(address, relay, deadline_ms);
}

relay_callback board_link::momentary_after(int address, int only, relay_callback done)
{
    // A momentary relay found pulled in by a toggle or an all on is pulsed too.
    const auto board = settings_.pulse_ms.find(address);
    if (board == settings_.pulse_ms.end() || board->second.empty())
        return done;
    QPointer<board_link> alive(this);
    return [this, alive, address, only, done = std::move(done)](const relay_result& r) {
        if (alive && r.result == outcome::done && r.reported) {
            const auto board = settings_.pulse_ms.find(address);
            if (board != settings_.pulse_ms.end())
                for (const auto& [relay, ms] : board->second)
                    if (relay >= 1 && relay <= relay_count && (only == 0 || relay == only)
                        && (*r.reported)[std::size_t(relay - 1)]
                        && !pulses_.pending(address, relay))
                        pulses_.pulled_in(address, relay, ms, {});
        }
        if (done)
            done(r);
    };
}

void board_link::switch_all(int address, bool pull_in, relay_callback done)
{
    if (pull_in)
        done = momentary_after(address, 0, std::move(done));
    if (locks_.guards(address)) {
        locks_.switch_all(address, pull_in, std::move(done));
        return;
    }
    queue_.add_relay(request::kind::switch_all, address, 0, pull_in, std::move(done));
}

void board_link::toggle(int address, int relay, relay_callback done)
{
    done = momentary_after(address, relay, std::move(done));
    if (locks_.grouped(address, relay)) {
        locks_.toggle(address, relay, std::move(done));
        return;
    }
    queue_.add_relay(request::kind::toggle, address, relay, false, std::move(done));
}

void board_link::read_parameter(parameter what, int address, parameter_callback done)
{
    request r;
    r.what = request::kind::read;
    r.param = what;
    r.address = address;
    r.parameter_done = std::move(done);
    queue_.add(std::move(r));
}

void board_link::write_parameter(parameter what, int address, std::uint32_t value,
                                 parameter_callback done)
{
    request r;
    r.what = request::kind::write;
    r.param = what;
    r.address = address;
    r.value = value;
    r.parameter_done = std::move(done);
    queue_.add(std::move(r));
}

void board_link::pair(int address, parameter_callback done)
{
    read_parameter(parameter::pairing, address, std::move(done));
}

void board_link::set_polled(const QList<int>& addresses)
{
    polls_.set_polled(addresses);
}

std::optional<relay_states> board_link::last_reported(int address) const
{
    return polls_.last_reported(address);
}

bool board_link::available(int address) const
{
    return polls_.available(address);
}

board_link::counters board_link::stats() const
{
    return queue_.stats();
}

board_health board_link::health(int address) const
{
    return queue_.health(address);
}

void board_link::on_lost(const QString& reason)
{
    polls_.stop();
    QPointer<board_link> alive(this);
    // The loss first, with its reason; then what it did to the requests and the boards.
    emit line_lost(reason);
    if (!alive)
        return;
    queue_.end_all(outcome::line_lost);
    if (!alive)
        return;
    polls_.line_gone();
}

} // namespace telvar::link
