// A pseudo-terminal pair: the program opens the device end like a serial
// port, the other end plays the far side of the line. POSIX only; on Windows
// every call reports that pseudo-terminals are not available.
#pragma once

#include <QString>

namespace telvar {

class pty_pair {
public:
    pty_pair() = default;
    ~pty_pair();
    pty_pair(const pty_pair&) = delete;
    pty_pair& operator=(const pty_pair&) = delete;

    /**
     * Creates the pair in raw mode.
     * @return false, with error() saying why, when it cannot be made.
     */
    bool create();

    /** The device path of the serial end (e.g. /dev/pts/4). */
    QString device() const { return device_; }

    /** File descriptor of the far end, non-blocking; -1 when closed. */
    int far_end() const { return far_; }

    /** Writes to the far end; @return bytes written, -1 on failure. */
    long write_far(const void* data, long size);
    /** Reads what waits at the far end; @return bytes read, 0 when none. */
    long read_far(void* data, long size);

    /** Closes the far end: the device side then sees the line vanish. */
    void close_far();

    QString error() const { return error_; }

private:
    int far_ = -1;
    int keep_ = -1;  // a spare handle on the device end keeps it alive between openings
    QString device_;
    QString error_;
};

} // namespace telvar
