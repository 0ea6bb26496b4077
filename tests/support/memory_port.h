// An in-memory serial port for window tests: records what was written, lets
// a test feed received bytes in any batches, and can fail to open or vanish.
#pragma once

#include "serial/receive_gate.h"
#include "serial/serial_port.h"

#include <QByteArray>
#include <QList>
#include <QStringList>

namespace telvar::test {

class memory_port final : public serial_port {
    Q_OBJECT
public:
    using serial_port::serial_port;

    open_result open(int number) override;
    open_result open_device(const QString& path) override;
    void close() override { open_ = false; input_.clear(); }
    bool is_open() const override { return open_; }
    void set_threshold(int bytes) override { threshold_ = bytes; }
    void discard_input() override { input_.clear(); ++discards; }
    void write(const frame& bytes) override;
    int bytes_waiting() const override { return open_ ? int(input_.size()) : 0; }
    std::optional<std::uint8_t> read_byte() override;
    QString device() const override { return device_; }

    /** Bytes arrive from the line; raises received() as a real port would. */
    void feed(const QByteArray& bytes);
    /** The device goes away: the port closes and lost() is raised. */
    void vanish(const QString& reason = QStringLiteral("device removed"));

    // What the next open() answers.
    open_result next_open{true, open_failure::none, QStringLiteral("/dev/mem0"), {}};
    QList<frame> written;
    int opened_number = -1;
    QString opened_path;
    QStringList opened_paths;  // every open_device(), in order
    int discards = 0;
    int threshold() const { return threshold_; }

private:
    void raise_received();

    bool open_ = false;
    receive_gate gate_;
    int threshold_ = 1;
    QByteArray input_;
    QString device_;
};

} // namespace telvar::test
