// The line on the port itself: a board_link opened by this program.
#pragma once

#include "link/board_link.h"
#include "link/line.h"

namespace telvar::link {

class direct_line : public line {
    Q_OBJECT
public:
    explicit direct_line(link_settings settings, QObject* parent = nullptr);

    line_opening open(const port_spec& where) override;
    QString device() const override { return link_.device(); }
    port_spec port() const override { return where_; }
    link_settings settings() const override { return link_.settings(); }

    void status(int address, relay_callback done) override;
    void switch_relay(int address, int relay, bool pull_in, relay_callback done) override;
    void switch_all(int address, bool pull_in, relay_callback done) override;
    void toggle(int address, int relay, relay_callback done) override;
    void read_parameter(parameter what, int address, parameter_callback done) override;
    void write_parameter(parameter what, int address, std::uint32_t value,
                         parameter_callback done) override;
    void pair(int address, parameter_callback done) override;
    void pulse(int address, int relay, qint64 ms, bool wait, relay_callback pulled,
               relay_callback released) override;
    bool holds_port() const override { return true; }
    void release_pulse_now(int address, int relay) override;
    void health(int address, health_callback done) override;
    QString follow(const QList<int>& addresses) override;

    board_link& link() { return link_; }

private:
    board_link link_;
    port_spec where_;
};

} // namespace telvar::link
