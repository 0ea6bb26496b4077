// The requests of the local socket and their reader: bytes from a client
// become lines (one JSON object each, at most 64 KiB), and a line becomes a
// request or a refusal with the message the client gets back. Pure: nothing
// here knows sockets or the link, so the reader can be fuzzed on its own.
#pragma once

#include "link/board_link.h"

#include <QByteArray>
#include <QJsonValue>
#include <QList>
#include <QString>

#include <cstdint>
#include <optional>

namespace telvar::local {

// The longest request line, without its newline.
constexpr int max_request_bytes = 64 * 1024;

enum class request_kind { lines, status, switch_relays, get, set, pair, scan, subscribe, pulse, stats };

enum class switch_to { on, off, toggle };

struct request {
    request_kind what = request_kind::lines;
    QJsonValue id;           // echoed in every answer; null when the request had none
    QString line;            // the line's name; empty: the only one the service holds
    int address = 1;
    switch_to state = switch_to::on;
    QList<int> relays;       // switch: in the order given; empty with all
    bool all = false;
    link::parameter param = link::parameter::host_id;  // get, set
    std::uint32_t value = 0;                           // set
    int from = 0;            // scan
    int to = 255;
    QList<int> addresses;    // subscribe: only these boards; empty: every board
    qint64 pulse_ms = 0;     // pulse: in relays.front() for so long
    bool wait = false;       // pulse: answered once released, not once pulled in
};

struct read_result {
    std::optional<request> ok;
    QJsonValue id;    // of a refused request, when it could be read
    QString message;  // why it was refused: code "usage"
};

/** Reads one line as a request; anything else is refused with a message that names the fault. */
read_result read_request(const QByteArray& line);

/** The name a request has on the wire: "lines", "switch" … */
QString kind_name(request_kind what);

/** "host-id", "host-channel", "slave-id", "slave-channel", "pairing". */
QString parameter_name(link::parameter what);
std::optional<link::parameter> parameter_from_name(const QString& name);

// Cuts a client's byte stream into request lines. A line longer than the
// limit is reported once, as soon as the limit is passed, and the rest of it
// up to its newline is skipped; so memory stays bounded whatever arrives.
class line_splitter {
public:
    struct piece {
        QByteArray text;        // without the newline and a carriage return before it
        bool too_long = false;  // text is empty then
    };

    explicit line_splitter(int limit = max_request_bytes) : limit_(limit) {}

    /** Takes the bytes that arrived; @return the lines they complete, in order. Blank lines are left out. */
    QList<piece> take(const QByteArray& bytes);
    /** After the last byte: the line it left unended, if any. */
    QList<piece> finish();

private:
    int limit_;
    QByteArray pending_;
    bool skipping_ = false;
};

} // namespace telvar::local
