// The MQTT session on libmosquitto. The library's own network thread
// (mosquitto_loop_start) connects, reconnects with growing pauses and keeps
// the session alive; its callbacks only copy what they were given and hand it
// to this object's thread with queued calls, so the bridge never waits for
// the network and only one thread ever touches the bridge's state.
#pragma once

#include "mqtt/mqtt_client.h"

#include <QSet>
#include <QTimer>

#include <mutex>
#include <thread>

struct mosquitto;
struct mosquitto_message;

namespace telvar::mqtt {

class mosquitto_client : public client {
    Q_OBJECT
public:
    explicit mosquitto_client(QObject* parent = nullptr);
    ~mosquitto_client() override;

    void start(const session_settings& settings) override;
    void publish(const QString& topic, const QByteArray& payload, int qos, bool retain) override;
    void subscribe(const QString& filter, int qos) override;
    void stop(int timeout_ms) override;
    bool is_connected() const override { return connected_; }

    /** The library's version, for --version and the log. */
    static QString library_version();

private:
    // Called on the network thread.
    static void on_connect(mosquitto*, void* self, int code);
    static void on_disconnect(mosquitto*, void* self, int code);
    static void on_publish(mosquitto*, void* self, int mid);
    static void on_message(mosquitto*, void* self, const mosquitto_message* message);
    static void on_log(mosquitto*, void* self, int level, const char* text);

    // On this object's thread.
    void begin_session();
    void connect_attempted(int code, int error_number);
    void schedule_restart();
    void abandon_session(const QString& reason);
    void session_ended(int code, int error_number, const QString& refusal,
                       const QString& library_error, bool thread_ended);
    void finish_stop(bool session_closed);
    QString describe(int code, int error_number, const QString& refusal,
                     const QString& library_error) const;

    mosquitto* mosq_ = nullptr;
    session_settings settings_;
    bool connected_ = false;
    bool running_ = false;  // the network thread was started and not yet joined
    bool connecting_ = false;  // a first attempt is under way on connector_
    std::thread connector_;
    QString failed_attempt_;  // an error the library logged during the first attempt
    bool stopping_ = false;
    QSet<int> unacknowledged_;
    QTimer stop_timer_;
    QTimer restart_timer_;
    int restart_pause_s_ = 0;

    // Written on the network thread, read there too; the mutex keeps the
    // log callback (which may also run on this thread) apart from it.
    std::mutex notes_mutex_;
    QString refusal_;        // why the broker refused the last attempt
    QString library_error_;  // the library's last error line (TLS details)
};

} // namespace telvar::mqtt
