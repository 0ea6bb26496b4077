// Turns the system's requests to stop (Ctrl+C, SIGTERM from systemd or kill,
// a closed terminal) into a Qt signal on the thread that made the object, so
// a headless program ends through its event loop and cleans up as it goes.
// POSIX: SIGINT, SIGTERM and SIGHUP, through a socket pair written by the
// handler. Windows: the console's Ctrl+C, Ctrl+Break, close, logoff and
// shutdown events. One object at a time; the previous handling comes back
// when it is destroyed.
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
    /** Raised once per request, in the order they came. */
    void stop_requested(telvar::link::stop_reason why);

private:
    struct platform;
    std::unique_ptr<platform> p_;
};

} // namespace telvar::link
