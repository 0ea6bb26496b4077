// Finds replies in the bytes from the line: it hunts byte by byte for the
// next run of eight that starts with the reply mark and carries a right
// checksum, so a stray or lost byte costs at most the frame it falls in.
#pragma once

#include "protocol/frame.h"
#include "serial/serial_port.h"

#include <QtGlobal>

#include <optional>

namespace telvar::link {

class frame_receiver {
public:
    /**
     * Reads from @p port until a valid reply is complete or nothing more
     * waits. @return the reply, or nothing; bytes of an unfinished one are kept.
     */
    std::optional<frame> next(serial_port& port);

    /** Drops an unfinished reply: the line's input was discarded. */
    void clear() { filled_ = 0; }

    /** Bytes that began no valid reply. */
    quint64 bytes_skipped() const { return skipped_; }
    /** Runs of eight with the reply mark that failed the checksum. */
    quint64 checksum_failures() const { return spoilt_; }

private:
    void drop_first();

    frame window_{};
    int filled_ = 0;
    quint64 skipped_ = 0;
    quint64 spoilt_ = 0;
};

} // namespace telvar::link
