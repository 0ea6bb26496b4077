#include "link/direct_line.h"

#include <QTimer>

namespace telvar::link {

direct_line::direct_line(link_settings settings, QObject* parent)
    : line(parent), link_(std::move(settings))
{
    connect(&link_, &board_link::board_reported, this, &line::board_reported);
    connect(&link_, &board_link::availability_changed, this, &line::availability_changed);
    connect(&link_, &board_link::line_lost, this, &line::line_lost);
    connect(&link_, &board_link::reopen_failed, this, &line::reopen_failed);
    connect(&link_, &board_link::line_restored, this, &line::line_restored);
    connect(&link_, &board_link::port_renumbered, this, &line::port_renumbered);
}

line_opening direct_line::open(const port_spec& where)
{
    where_ = where;
    line_opening o;
    o.result = link_.open(where);
    if (!o.result.ok)
        o.message = open_failure_text(where, o.result);
    return o;
}

void direct_line::status(int address, relay_callback done)
{
    link_.status(address, std::move(done));
}

void direct_line::switch_relay(int address, int relay, bool pull_in, relay_callback done)
{
    link_.switch_relay(address, relay, pull_in, std::move(done));
}

void direct_line::switch_all(int address, bool pull_in, relay_callback done)
{
    link_.switch_all(address, pull_in, std::move(done));
}

void direct_line::toggle(int address, int relay, relay_callback done)
{
    link_.toggle(address, relay, std::move(done));
}

void direct_line::read_parameter(parameter what, int address, parameter_callback done)
{
    link_.read_parameter(what, address, std::move(done));
}

void direct_line::write_parameter(parameter what, int address, std::uint32_t value,
                                  parameter_callback done)
{
    link_.write_parameter(what, address, value, std::move(done));
}

void direct_line::pair(int address, parameter_callback done)
{
    link_.pair(address, std::move(done));
}

void direct_line::pulse(int address, int relay, qint64 ms, bool, relay_callback pulled,
                        relay_callback released)
{
    link_.pulse(address, relay, ms, std::move(pulled), std::move(released));
}

void direct_line::release_pulse_now(int address, int relay)
{
    link_.release_pulse_now(address, relay);
}

void direct_line::health(int address, health_callback done)
{
    // Later, as every other answer of a line.
    const board_health h = link_.health(address);
    QTimer::singleShot(0, this, [h, done = std::move(done)] { done(outcome::done, h); });
}

QString direct_line::follow(const QList<int>& addresses)
{
    link_.set_polled(addresses);
    return {};
}

} // namespace telvar::link
