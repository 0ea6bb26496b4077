#include "serial/qt_serial_port.h"

#include "serial/port_holder.h"
#include "serial/port_mapping.h"

#include <QFileInfo>
#include <QPointer>
#include <QTimer>

namespace telvar {

void apply_line_settings(QSerialPort& port)
{
    port.setBaudRate(QSerialPort::Baud9600);
    port.setDataBits(QSerialPort::Data8);
    port.setParity(QSerialPort::NoParity);
    port.setStopBits(QSerialPort::OneStop);
    port.setFlowControl(QSerialPort::NoFlowControl);
}

qt_serial_port::qt_serial_port(QObject* parent) : serial_port(parent)
{
    connect(&port_, &QSerialPort::readyRead, this, &qt_serial_port::raise_received);
    connect(&port_, &QSerialPort::errorOccurred, this, &qt_serial_port::on_error);
}

qt_serial_port::~qt_serial_port()
{
    // Release the device with the window that owned it.
    port_.close();
}

open_result qt_serial_port::open(int number)
{
    const QString device = port_device(number);
    if (device.isEmpty()) {
        close();
        device_.clear();
        return {false, open_failure::no_port, {}, {}};
    }
    return open_device(device);
}

open_result qt_serial_port::open_device(const QString& path)
{
    close();
    device_ = path;
    // A link in the port folder counts only while its target is there.
    if (!QFileInfo::exists(path))
        return {false, open_failure::not_found, path, {}};

    // Opened under the device's own name: Qt's lock file is named after it,
    // so a program that reached the device by another name (a port-folder
    // link, a by-id name) finds it busy all the same.
    const QString real = QFileInfo(path).canonicalFilePath();
    port_.setPortName(real.isEmpty() ? path : real);
    apply_line_settings(port_);
    if (!port_.open(QIODevice::ReadWrite)) {
        open_result result{false, open_failure::other, path, port_.errorString()};
        switch (port_.error()) {
        case QSerialPort::DeviceNotFoundError:
            result.failure = open_failure::not_found;
            break;
        case QSerialPort::PermissionError:
        case QSerialPort::OpenError:
            result.failure = classify_refusal(path);
            break;
        default:
            break;
        }
        port_.clearError();
        if (result.failure == open_failure::busy)
            result.holder = find_port_holder(port_.portName());
        return result;
    }
    failing_ = false;
    // Bytes from before this opening belong to nobody.
    port_.clear(QSerialPort::Input);
    return {true, open_failure::none, path, {}};
}

void qt_serial_port::close()
{
    if (port_.isOpen())
        port_.close();
    port_.clearError();
}

bool qt_serial_port::is_open() const
{
    return port_.isOpen() && !failing_;
}

void qt_serial_port::set_threshold(int bytes)
{
    threshold_ = bytes < 1 ? 1 : bytes;
    if (port_.bytesAvailable() >= threshold_)
        QTimer::singleShot(0, this, &qt_serial_port::raise_received);
}

void qt_serial_port::discard_input()
{
    if (port_.isOpen())
        port_.clear(QSerialPort::Input);
}

void qt_serial_port::write(const frame& bytes)
{
    if (!is_open())
        return;
    const auto data = reinterpret_cast<const char*>(bytes.data());
    if (port_.write(data, frame_length) != frame_length) {
        fail(port_.errorString());
        return;
    }
    // Hand the bytes to the driver now rather than on a later event-loop turn.
    port_.flush();
}

int qt_serial_port::bytes_waiting() const
{
    return is_open() ? static_cast<int>(port_.bytesAvailable()) : 0;
}

std::optional<std::uint8_t> qt_serial_port::read_byte()
{
    char byte = 0;
    if (!is_open() || port_.read(&byte, 1) != 1)
        return std::nullopt;
    gate_.note_read();
    return static_cast<std::uint8_t>(byte);
}

void qt_serial_port::raise_received()
{
    // A handler that opens a modal box spins the event loop; the bytes that
    // arrive meanwhile are offered again once it returns.
    QPointer<qt_serial_port> alive(this);
    gate_.offer(
        threshold_, [this] { return is_open() ? port_.bytesAvailable() : qint64(0); },
        [this, &alive] {
            emit received();
            return !alive.isNull();
        });
}

void qt_serial_port::on_error(QSerialPort::SerialPortError error)
{
    switch (error) {
    case QSerialPort::ResourceError:
    case QSerialPort::ReadError:
    case QSerialPort::WriteError:
        if (port_.isOpen())
            fail(port_.errorString());
        break;
    default:
        break;
    }
}

void qt_serial_port::fail(const QString& reason)
{
    // Pulled adapters report the same error over and over; act on the first.
    if (failing_)
        return;
    failing_ = true;
    // Closing inside Qt's own notification is not safe: close on the next turn.
    QTimer::singleShot(0, this, [this, reason] {
        port_.close();
        port_.clearError();
        failing_ = false;
        emit lost(reason);
    });
}

} // namespace telvar
