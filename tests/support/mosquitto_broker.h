// A real Mosquitto for a test: started on a free loopback port with a
// configuration the test writes, optionally with TLS (a CA and the broker's
// certificate made by openssl for this run) and a password file; and the
// test's own client, mosquitto_sub and mosquitto_pub, to watch and to publish.
#pragma once

#include <QByteArray>
#include <QList>
#include <QProcess>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

namespace telvar::test
{

struct broker_options {
    bool tls = false;
    QString user;  // with a password: anonymous clients are refused
    QString password;
};

class mosquitto_broker
{
public:
    mosquitto_broker() = default;
    ~mosquitto_broker();
    mosquitto_broker(const mosquitto_broker&) = delete;
    mosquitto_broker& operator=(const mosquitto_broker&) = delete;

    /** Where mosquitto, mosquitto_sub and mosquitto_pub are, or empty. */
    static QString executable(const QString& name);

    /** Writes the configuration (and certificates) and starts the broker. */
    bool start(const broker_options& how = {});
    /** Ends the broker at once, as a crash or a reboot would. */
    void kill();
    /** Starts it again on the same port, with nothing retained. */
    bool restart();

    int port() const { return port_; }
    QString host() const { return how_.tls ? QStringLiteral("localhost") : QStringLiteral("127.0.0.1"); }
    /** HOST:PORT for --broker. */
    QString address() const { return QStringLiteral("%1:%2").arg(host()).arg(port_); }
    /** The CA that signed the broker's certificate, and one that did not. */
    QString ca_file() const { return dir_.filePath(QStringLiteral("ca.crt")); }
    QString other_ca_file() const { return dir_.filePath(QStringLiteral("other-ca.crt")); }
    /** Writes @p text into a file of this broker's folder; @return its path. */
    QString write_file(const QString& name, const QByteArray& text) const;
    /** Options for mosquitto_sub and mosquitto_pub to reach this broker. */
    QStringList client_arguments() const;

    QString error() const { return error_; }
    QString log() { return QString::fromUtf8(log_ += process_.readAllStandardError()); }

private:
    bool make_certificates();
    bool launch();

    QTemporaryDir dir_;
    broker_options how_;
    QProcess process_;
    QByteArray log_;
    int port_ = 0;
    QString error_;
};

// One message as the test's client saw it.
struct mqtt_message {
    QString topic;
    QByteArray payload;
    bool retained = false;
};

/** Watches topics through mosquitto_sub for as long as it lives. */
class mqtt_watch
{
public:
    mqtt_watch() = default;
    ~mqtt_watch();
    mqtt_watch(const mqtt_watch&) = delete;
    mqtt_watch& operator=(const mqtt_watch&) = delete;

    /** Subscribes to @p filter (every topic by default). */
    bool start(const mosquitto_broker& broker, const QString& filter = QStringLiteral("#"));

    /** Every message so far, in order of arrival. */
    const QList<mqtt_message>& messages();
    /** The messages on @p topic so far. */
    QList<mqtt_message> on(const QString& topic);
    /** The last payload on @p topic, or a null array when none came. */
    QByteArray last(const QString& topic);
    /**
     * Waits until a message on @p topic with @p payload arrives among the
     * messages from index @p from on. @return its index, or -1 on timeout.
     */
    int wait_for(const QString& topic, const QByteArray& payload, int from = 0,
                 int timeout_ms = 10000);
    /** Forgets what came so far. */
    void clear();

private:
    void take_output();

    QProcess process_;
    QByteArray pending_;
    QList<mqtt_message> messages_;
};

/**
 * A loopback port that takes TCP connections and never answers: listening,
 * never accepting, so the system completes each handshake and keeps the
 * bytes sent. A broker that hangs, as the bridge sees it.
 */
class silent_listener
{
public:
    silent_listener();
    ~silent_listener();
    silent_listener(const silent_listener&) = delete;
    silent_listener& operator=(const silent_listener&) = delete;
    int port() const { return port_; }

private:
    int fd_ = -1;
    int port_ = 0;
};

/** Publishes one message with mosquitto_pub; @return true when it was sent. */
bool mqtt_publish(const mosquitto_broker& broker, const QString& topic, const QByteArray& payload,
                  bool retain = false);

} // namespace telvar::test
