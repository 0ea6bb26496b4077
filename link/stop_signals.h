// Turns the system's requests to stop (Ctrl+C, SIGTERM from systemd or kill,
// a closed terminal) into Qt signals on the thread that made the object, so
// a headless program ends through its event loop and cleans up as it goes.
// POSIX: SIGINT, SIGTERM and SIGHUP, through a socket pair written by the
// handler; a service takes SIGHUP as "read the configuration again", a
// terminal program as its terminal gone. Windows: the console's Ctrl+C,
// Ctrl+Break, close, logoff and shutdown events. One object at a time; the
// previous handling comes back when it is destroyed.
#pragma once

#include <QObject>
#include <QString>

#include <memory>

namespace telvar::link {

enum class stop_reason {
    interrupt,  // SIGINT, Ctrl+C or Ctrl+Break
    terminate,  // SIGTERM, or the console closing, logoff or shutdown
    hangup,     // SIGHUP: the terminal went away (or a service manager's reload)
};

class stop_signals : public QObject {
    Q_OBJECT
public:
    explicit stop_signals(QObject* parent = nullptr);
    ~stop_signals() override;

    /** False when the handlers could not be installed (another object holds them); see error(). */
    bool ok() const;
    QString error() const;

    /** "SIGINT", "SIGTERM", "SIGHUP" (or the console event's name on Windows). */
    static QString name(stop_reason why);

signals:
    /** Every signal or console event, once each, in the order they came. */
    void received(telvar::link::stop_reason why);
    /** SIGINT, SIGTERM and the console events (not SIGHUP). */
    void stop_requested(telvar::link::stop_reason why);
    /** SIGHUP: a service's reload (systemctl reload sends it). */
    void reload_requested();

private:
    struct platform;
    std::unique_ptr<platform> p_;
};

} // namespace telvar::link
