// One run of telvarctl on a line (the port itself or the service holding it): carries out the command, writes its
// data (text for people, or JSON) and its messages, and ends with the exit
// status. Exit statuses come from one table here.
#pragma once

#include "link/line.h"
#include "telvarctl/command_line.h"

#include <QJsonArray>
#include <QJsonObject>
#include <QObject>
#include <QString>

#include <functional>

namespace telvar::ctl {

// The exit statuses, documented in --help and the manual page.
enum exit_status : int {
    exit_done = 0,           // done and confirmed
    exit_not_confirmed = 1,  // answered, but not as asked; or a newer command took its place
    exit_usage = 2,          // refused before anything was sent
    exit_no_reply = 3,       // no valid reply after the retries, or the board is offline
    exit_port = 4,           // the port could not be opened, was lost, or its queue was full
    exit_output = 5,         // otherwise done, but standard output took no more
};

/** The exit status a request's outcome ends the program with. */
exit_status status_of(link::outcome result);

/** The short JSON code of a failed opening: no_port, not_found, busy, no_permission, open_failed. */
QString error_code(open_failure failure);

/** The short JSON code of a request that did not end done. */
QString error_code(link::outcome result);

/**
 * What happened to a request the line could not carry out, for outcomes
 * about the line itself (line_lost, port_closed, queue_full), naming @p port
 * and the loss's @p reason; empty for any other outcome.
 */
QString line_words(link::outcome result, const QString& port, const QString& reason);

/** The relays as "relay" and "state" lines, aligned for people. */
QString relay_table(const link::relay_states& relays);

/** A JSON object as one line. */
QString json_line(const QJsonObject& object);

// Where the program's output goes: data to standard output, messages to standard error.
struct output {
    std::function<void(const QString& line)> data;
    std::function<void(const QString& line)> message;
};

/** The port table for `ports`, as lines of text or one JSON object. */
void list_ports(const output& out, bool json);

class session : public QObject {
    Q_OBJECT
public:
    session(link::line& link, invocation run, output out, QObject* parent = nullptr);

    /** Opens the port and carries out the command; finished() follows, at once or later. */
    void start();
    /** Ends a watch: the program's stop request (Ctrl+C, SIGTERM). */
    void stop();

signals:
    void finished(int status);

private:
    void next_relay();
    void relay_done(const link::relay_result& r);
    void before_write(const link::parameter_result& r);
    void parameter_done(const link::parameter_result& r);
    void next_scan();
    void start_pulse();
    void next_stats_poll();
    void show_health(const link::board_health& h);
    void start_watch();
    void watch_event(int address, const QJsonObject& fields, const QString& text);
    void fail(const QString& code, const QString& message, QJsonObject fields = {});
    void end(int status);
    QJsonObject base() const;
    QString board_text() const;
    QString port_text() const;
    QString request_text() const;  // "on 5 to board 1"

    link::line& link_;
    invocation run_;
    output out_;
    int step_ = 0;             // relays done, or the address being scanned
    QList<int> answering_;     // scan
    QMap<int, link::relay_states> shown_;  // watch: the last report printed per board
    QString lost_reason_;
    bool unchanged_ = false;   // set: the module already held the value
    bool pulled_ = false;      // pulse: the pull-in was confirmed, the release is awaited
    bool stop_asked_ = false;  // pulse: Ctrl+C before the pull-in was confirmed
    int accepted_polls_ = 0;   // stats, directly
    bool ended_ = false;
};

} // namespace telvar::ctl
