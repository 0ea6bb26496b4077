// A line reached through the service that holds it: a client of the local
// socket. Its requests and their results are the link's own, carried as the
// local front's JSON forms, so a program words them exactly as it would
// word a direct request's; the events of a subscription become the same
// signals the link gives.
#pragma once

#include "link/line.h"

#include <QElapsedTimer>
#include <QJsonArray>
#include <QJsonObject>
#include <QLocalSocket>
#include <QMap>
#include <QTimer>

#include <functional>
#include <variant>

namespace telvar::local {

// How long the service may take to accept a connection and answer "lines".
constexpr int service_answer_ms = 2000;
// How long a request may wait for its answer: behind every other client in the line's queue.
constexpr int service_request_ms = 60000;

// What reaching the service found.
enum class service_reach {
    answered,   // it answered "lines"
    absent,     // nothing listens at the socket
    silent,     // it accepted, but did not answer in time
    refused,    // it refused this client (no_permission) or answered nonsense
};

class service_line : public link::line {
    Q_OBJECT
public:
    explicit service_line(QObject* parent = nullptr);
    ~service_line() override;

    /** Connects to @p socket and asks for its lines; waits at most @p wait_ms. */
    service_reach reach(const QString& socket, int wait_ms = service_answer_ms);
    QString socket() const { return socket_; }
    /** Why the service could not be used, whole sentences; empty once it answered. */
    QString reach_message() const { return reach_message_; }
    /** The lines the service holds, as it told them ("lines" answer). */
    QJsonArray lines() const { return lines_; }

    /** The line the service holds at @p where, or named @p name; empty object for none. */
    QJsonObject line_for(const link::port_spec& where, const QString& name) const;
    /** The line to use: named, else found by the port given to open(). */
    void set_line_name(const QString& name) { name_ = name; }

    link::line_opening open(const link::port_spec& where) override;
    QString device() const override { return device_; }
    link::port_spec port() const override { return port_; }
    link::link_settings settings() const override { return settings_; }

    void status(int address, link::relay_callback done) override;
    void switch_relay(int address, int relay, bool pull_in, link::relay_callback done) override;
    void switch_all(int address, bool pull_in, link::relay_callback done) override;
    void toggle(int address, int relay, link::relay_callback done) override;
    void read_parameter(link::parameter what, int address, link::parameter_callback done) override;
    void write_parameter(link::parameter what, int address, std::uint32_t value,
                         link::parameter_callback done) override;
    void pair(int address, link::parameter_callback done) override;
    void pulse(int address, int relay, qint64 ms, bool wait, link::relay_callback pulled,
               link::relay_callback released) override;
    bool holds_port() const override { return false; }
    void release_pulse_now(int, int) override {}
    void health(int address, link::health_callback done) override;
    QString follow(const QList<int>& addresses) override;

private:
    void on_closed();
    using callback =
        std::variant<link::relay_callback, link::parameter_callback, link::health_callback>;
    void send(QJsonObject request, callback done);
    void read_lines();
    void take(const QJsonObject& o);
    void take_event(const QJsonObject& o);
    void lose(const QString& why);

    QLocalSocket socket_stream_;
    QString socket_;
    QString reach_message_;
    QJsonArray lines_;
    QString name_;
    QString line_;  // the line chosen at open()
    QString device_;
    link::port_spec port_;
    QList<int> served_;  // the boards the chosen line polls
    link::link_settings settings_;
    qint64 next_id_ = 1;
    QMap<qint64, callback> waiting_;
    QElapsedTimer quiet_;  // since the last answer, while requests wait
    QTimer watchdog_;
    qint64 subscription_ = 0;
    bool following_ = false;
    bool ended_ = false;
};

} // namespace telvar::local
