// The simulator's end of the serial line: a pseudo-terminal it makes itself,
// or a serial device it attaches to. Bytes from the PC arrive by signal.
#pragma once

#include <QByteArray>
#include <QObject>
#include <QString>

#include <memory>

namespace telvar::sim
{

class sim_line : public QObject
{
    Q_OBJECT
public:
    using QObject::QObject;
    ~sim_line() override = default;

    /** Makes or opens the line; @return false with @p error saying why. */
    virtual bool open(QString& error) = 0;
    /** The device Telvar opens: the pseudo-terminal's, or the attached one. */
    virtual QString device() const = 0;
    virtual bool is_open() const = 0;
    /** Writes what the line takes now; bytes that do not fit are lost, as on a wire. */
    virtual void write(const QByteArray& bytes) = 0;
    /** Closes the line: a pseudo-terminal's device disappears with it. */
    virtual void vanish() = 0;

signals:
    void received(const QByteArray& bytes);
    /** The line broke on its own (the attached device went away). */
    void failed(const QString& reason);
};

/** A pseudo-terminal; on systems without them, open() says so. */
std::unique_ptr<sim_line> make_pty_line();

/** The serial device at @p path, at 9600 8N1. */
std::unique_ptr<sim_line> make_device_line(const QString& path);

} // namespace telvar::sim
