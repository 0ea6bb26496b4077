// The serial port of a real device, through Qt Serial Port.
#pragma once

#include "serial/receive_gate.h"
#include "serial/serial_port.h"

#include <QSerialPort>

namespace telvar {

/** Sets the fixed line: 9600 baud, 8 data bits, no parity, 1 stop bit, no flow control. */
void apply_line_settings(QSerialPort& port);

class qt_serial_port final : public serial_port {
    Q_OBJECT
public:
    explicit qt_serial_port(QObject* parent = nullptr);
    ~qt_serial_port() override;

    /** Opens port @p number, mapped to its device by port_device(). */
    open_result open(int number) override;
    /** Opens the device at @p path directly (a pseudo-terminal in tests). */
    open_result open_device(const QString& path) override;

    void close() override;
    bool is_open() const override;
    void set_threshold(int bytes) override;
    void discard_input() override;
    void write(const frame& bytes) override;
    int bytes_waiting() const override;
    std::optional<std::uint8_t> read_byte() override;
    QString device() const override { return device_; }

private:
    void raise_received();
    void on_error(QSerialPort::SerialPortError error);
    void fail(const QString& reason);

    QSerialPort port_;
    QString device_;
    int threshold_ = 8;
    receive_gate gate_;
    bool failing_ = false;
};

} // namespace telvar
