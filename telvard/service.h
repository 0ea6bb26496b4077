// telvard's life: it opens every configured line and keeps reopening the one
// that cannot be opened yet, polls their boards, and hands the lines to its
// fronts (the local socket, the web page, MQTT). A reload takes the new boards, names,
// ports and broker; a line added or taken away needs a restart. Stopping
// ends the fronts first, then closes the lines.
//
//   service s(config);
//   if (!s.start()) return s.exit_status();   // logged
//   connect(&s, &service::finished, ...);
#pragma once

#include "link/backoff.h"
#include "link/board_link.h"
#include "telvard/service_config.h"

#include <QObject>
#include <QTimer>

#include <memory>
#include <vector>

namespace telvar::local {
class dispatcher;
class server;
} // namespace telvar::local

namespace telvar::web {
class server;
} // namespace telvar::web

namespace telvar::mqtt {
class bridge;
class mosquitto_client;
} // namespace telvar::mqtt

namespace telvar::service {

// Every way the program ends, in one place.
enum exit_status : int {
    stopped = 0,            // SIGTERM or Ctrl+C; or the boards removed
    could_not_run = 1,      // nothing the configuration could have changed
    bad_configuration = 2,  // refused before anything was opened, a twin on the broker,
                            // or another service at the socket
};

class service : public QObject {
    Q_OBJECT
public:
    explicit service(service_config config, QObject* parent = nullptr);
    ~service() override;

    /** Opens the lines (or starts retrying them) and starts the fronts; false: see exit_status(). */
    bool start();
    /** Ends the fronts, then closes the lines; then finished(). */
    void stop();
    /** Takes @p next as start() would have, keeping what did not change. */
    void reload(const service_config& next);

    int exit_status() const { return status_; }
    /** "serving main on /dev/ttyUSB0 (boards 1, 2); socket ...": for systemd's status line. */
    QString summary() const;

signals:
    /** Lines tried, socket listening, broker connected or being retried: READY. */
    void ready();
    void finished(int status);

private:
    struct held_line;
    void open_line(held_line& line);
    void watch(held_line& line);
    void make_dispatcher();
    bool start_local();
    bool start_web();
    void announce_web() const;
    bool start_mqtt();
    void front_finished();
    void save_pulses();
    void restore_pulses();
    QList<link::board_link*> links() const;

    service_config config_;
    std::vector<std::unique_ptr<held_line>> lines_;
    std::unique_ptr<local::dispatcher> dispatcher_;
    std::unique_ptr<local::server> local_;
    std::unique_ptr<web::server> web_;
    std::unique_ptr<mqtt::mosquitto_client> broker_;
    std::unique_ptr<mqtt::bridge> bridge_;
    QString socket_;
    QString pulse_file_;  // the releases owed, while any is pending
    int status_ = stopped;
    bool stopping_ = false;
    bool ready_sent_ = false;
};

} // namespace telvar::service
