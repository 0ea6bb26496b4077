// The MQTT session on libmosquitto, driven from the Qt event loop without the
// library's own thread: socket notifiers on mosquitto_socket() call
// mosquitto_loop_read and _write, a timer calls mosquitto_loop_misc for the
// keepalive, and the TLS handshake runs on the same non-blocking socket.
// Only the name lookup and the TCP connection (mosquitto_connect, which tries
// every address of the name in turn) run on a worker thread, whose result
// comes back by a queued call; the loop never waits for it. A worker still
// busy when its session is dropped keeps the library object it works on and
// destroys it when it ends.
#pragma once

#include "link/backoff.h"
#include "mqtt/mqtt_client.h"

#include <QSet>
#include <QSocketNotifier>
#include <QTimer>

#include <memory>

struct mosquitto;
struct mosquitto_message;

namespace telvar::mqtt {

class mosquitto_client : public client {
    Q_OBJECT
public:
    explicit mosquitto_client(QObject* parent = nullptr);
    ~mosquitto_client() override;

    bool start(const session_settings& settings, QString* error) override;
    void publish(const QString& topic, const QByteArray& payload, int qos, bool retain) override;
    void subscribe(const QString& filter, int qos) override;
    void stop(int timeout_ms) override;
    bool is_connected() const override { return state_ == state::connected; }
    QString peer_address() const override { return peer_; }

    /** The library's version, for --version and the log. */
    static QString library_version();

private:
    struct core;

    enum class state {
        idle,         // no session, or waiting for the next attempt
        connecting,   // a worker looks the name up and connects
        answering,    // connected; the TLS handshake and the broker's answer are awaited
        connected,    // the broker accepted the session
        stopping,     // a clean disconnection is under way
    };

    // Called by the library on this thread, inside its own calls.
    static void on_connect(mosquitto*, void* core, int code);
    static void on_publish(mosquitto*, void* core, int mid);
    static void on_message(mosquitto*, void* core, const mosquitto_message* message);
    static void on_log(mosquitto*, void* core, int level, const char* text);

    void begin_attempt();
    void attempt_ended(int code, int error_number, const QStringList& tried);
    void watch_socket();
    void unwatch_socket();
    void socket_ready(bool readable);
    void after_library_call(int code);
    void session_accepted();
    void session_lost(int code, int error_number, const QString& reason);
    void drop_core();
    void disconnect_now();
    void finish_stop();
    QString describe(int code, int error_number, const QString& refusal,
                     const QString& library_error, const QStringList& tried) const;

    session_settings settings_;
    std::shared_ptr<core> core_;
    state state_ = state::idle;
    QString peer_;
    std::unique_ptr<QSocketNotifier> read_notifier_;
    std::unique_ptr<QSocketNotifier> write_notifier_;
    int watched_socket_ = -1;
    int handshake_wakeups_ = 0;
    QTimer misc_timer_;
    QTimer answer_timer_;
    QTimer retry_timer_;
    QTimer stop_timer_;
    link::backoff retry_pause_{1000, 30000};
    QSet<int> unacknowledged_;
};

} // namespace telvar::mqtt
