#include "sim/sim_line.h"

#include "serial/qt_serial_port.h"

#include <QSerialPort>
#include <QTimer>

namespace telvar::sim
{

namespace
{

class device_line final : public sim_line
{
public:
    explicit device_line(const QString& path) : path_(path)
    {
        connect(&port_, &QSerialPort::readyRead, this, [this] { emit received(port_.readAll()); });
        connect(&port_, &QSerialPort::errorOccurred, this, [this](QSerialPort::SerialPortError e) {
            if (e == QSerialPort::ResourceError && port_.isOpen()) {
                const QString reason = port_.errorString();
                // Closing inside Qt's own notification is not safe.
                QTimer::singleShot(0, this, [this, reason] {
                    port_.close();
                    emit failed(reason);
                });
            }
        });
    }

    bool open(QString& error) override
    {
        port_.close();
        port_.setPortName(path_);
        apply_line_settings(port_);
        if (!port_.open(QIODevice::ReadWrite)) {
            error = QStringLiteral("cannot open %1: %2").arg(path_, port_.errorString());
            port_.clearError();
            return false;
        }
        port_.clear();
        return true;
    }

    QString device() const override { return path_; }
    bool is_open() const override { return port_.isOpen(); }

    void write(const QByteArray& bytes) override
    {
        if (port_.isOpen())
            port_.write(bytes);
    }

    void vanish() override { port_.close(); }

private:
    QString path_;
    QSerialPort port_;
};

} // namespace

std::unique_ptr<sim_line> make_device_line(const QString& path)
{
    return std::make_unique<device_line>(path);
}

} // namespace telvar::sim
