// A serial port for the fuzz targets: bytes arrive when the target says so,
// the receive event follows the same gate as the real port, and a read past
// the received bytes is a finding rather than an empty answer.
#pragma once

#include "serial/receive_gate.h"
#include "serial/serial_port.h"

#include <deque>
#include <vector>

namespace telvar::fuzz {

class fuzz_port final : public serial_port {
    Q_OBJECT
public:
    using serial_port::serial_port;

    open_result open(int number) override;
    void close() override;
    bool is_open() const override { return open_; }
    void set_threshold(int bytes) override { threshold_ = bytes; }
    void discard_input() override { unread_.clear(); }
    void write(const frame& bytes) override;
    int bytes_waiting() const override { return open_ ? int(unread_.size()) : 0; }
    std::optional<std::uint8_t> read_byte() override;
    QString device() const override { return QStringLiteral("/dev/fuzz0"); }

    void arrive(const std::vector<std::uint8_t>& bytes);
    /** The device goes away while open. */
    void vanish();

    bool next_open_ok = true;
    std::vector<frame> written;

private:
    receive_gate gate_;
    std::deque<std::uint8_t> unread_;
    bool open_ = false;
    int threshold_ = 1;
};

} // namespace telvar::fuzz
