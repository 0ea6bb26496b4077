// What the program asks of a serial port: open by number with fixed line
// settings, discard unread input, write one 8-byte frame, and a receive event
// on the user-interface thread once enough bytes wait. Both windows take a
// port through this interface, so tests can hand them an in-memory port or a
// real one on a pseudo-terminal.
#pragma once

#include "protocol/frame.h"

#include <QObject>
#include <QString>

#include <memory>
#include <optional>
#include <functional>

namespace telvar {

// Why an opening failed, as an operator needs to hear it.
enum class open_failure {
    none,
    no_port,           // port number 0, or a number that names no device
    not_found,         // the device node does not exist
    busy,              // another program holds the port
    no_permission,     // the user may not open the device
    other,
};

// The program that holds a busy port, when it can be named.
struct port_holder {
    qint64 pid = 0;
    QString name;  // the process's name ("telvard", "minicom")
};

struct open_result {
    bool ok = false;
    open_failure failure = open_failure::none;
    QString device;  // the system device the number stands for, if any
    QString detail;  // the system's own words, for the message box
    std::optional<port_holder> holder = std::nullopt;  // busy: who holds it, when known
};

class serial_port : public QObject {
    Q_OBJECT
public:
    using QObject::QObject;
    ~serial_port() override = default;

    /**
     * Opens port @p number at 9600 8N1, no flow control, raw bytes, and
     * discards anything left over from before the opening.
     * @return ok, or why not. A port that is already open is closed first.
     */
    virtual open_result open(int number) = 0;

    /**
     * Opens the device at @p path directly, with the same settings as open().
     * @return ok, or why not; a port that cannot be opened by path says so.
     */
    virtual open_result open_device(const QString& path);

    /** Closes the port; unread input is dropped. Harmless when closed. */
    virtual void close() = 0;

    /** @return true while the port is open. */
    virtual bool is_open() const = 0;

    /** The receive event is raised once at least @p bytes wait unread. */
    virtual void set_threshold(int bytes) = 0;

    /** Drops every received byte not yet read, buffered or in the driver. */
    virtual void discard_input() = 0;

    /**
     * Writes the frame unchanged, in order. Does nothing when closed.
     * A failed write closes the port and raises lost().
     */
    virtual void write(const frame& bytes) = 0;

    /** @return the number of received bytes not yet read. */
    virtual int bytes_waiting() const = 0;

    /** @return the next received byte, or nothing when none waits. */
    virtual std::optional<std::uint8_t> read_byte() = 0;

    /** @return the device of the last opening (e.g. /dev/ttyUSB0, COM3). */
    virtual QString device() const = 0;

signals:
    /**
     * Raised on the user-interface thread when at least the threshold of
     * unread bytes wait; raised again after the handler returns while at
     * least the threshold still waits. Never raised with fewer waiting.
     */
    void received();

    /**
     * The device went away or a write failed while open. The port is already
     * closed when this is raised; it is raised once per opening.
     */
    void lost(const QString& reason);
};

/**
 * Reads one whole group of frame_length bytes into entries 0 to 7 of @p buf,
 * but only once that many wait: a receive handler never reads past what was
 * received. @return true when a group was read.
 */
template <typename Buffer>
bool read_group(serial_port& port, Buffer& buf)
{
    if (port.bytes_waiting() < frame_length)
        return false;
    for (int i = 0; i < frame_length; ++i) {
        const auto byte = port.read_byte();
        if (!byte)
            return false;
        buf[i] = *byte;
    }
    return true;
}

// Makes the port of a window; each window owns its own.
using port_factory = std::function<std::unique_ptr<serial_port>()>;

} // namespace telvar
