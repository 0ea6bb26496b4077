// The bridge's view of an MQTT broker: one session with a last will, publish,
// subscribe, and what happened to the session as Qt signals on the thread
// that owns the client. The bridge logic talks only to this interface, so it
// can be driven without a network; mosquitto_client is the real one.
#pragma once

#include <QByteArray>
#include <QObject>
#include <QString>

namespace telvar::mqtt {

struct session_settings {
    QString host = QStringLiteral("localhost");
    int port = 1883;
    QString client_id;
    int keepalive_s = 30;
    QString username;  // empty: no user name is sent
    QString password;  // sent only with a user name
    bool has_password = false;
    QString cafile;  // TLS when set: the broker's certificate and host name are checked
    QString certfile;
    QString keyfile;
    int retry_first_s = 1;  // pauses between attempts grow from here
    int retry_max_s = 30;
    int answer_timeout_s = 10;  // a connection the broker does not answer is given up
    // Published by the broker when the session ends without a clean stop;
    // no will when the topic is empty.
    QString will_topic;
    QByteArray will_payload;
};

class client : public QObject {
    Q_OBJECT
public:
    using QObject::QObject;
    ~client() override = default;

    /**
     * Makes a session with @p settings and starts connecting; keeps trying
     * until stop(). A session already running is ended cleanly first (its
     * will is not sent). Returns at once.
     * @return false, with @p error saying why, when the session could not
     * be made at all (the library, the TLS settings): nothing is tried then.
     */
    virtual bool start(const session_settings& settings, QString* error) = 0;
    /** Sends a message in the current session; while it is down nothing is sent. */
    virtual void publish(const QString& topic, const QByteArray& payload, int qos,
                         bool retain) = 0;
    /** Subscribes in the current session; call again after every connected(). */
    virtual void subscribe(const QString& filter, int qos) = 0;
    /**
     * Waits up to @p timeout_ms for published messages to be acknowledged,
     * disconnects cleanly (the will is not sent) and raises stopped().
     */
    virtual void stop(int timeout_ms) = 0;
    virtual bool is_connected() const = 0;
    /** The address that answered in the current session, for the log. */
    virtual QString peer_address() const = 0;

signals:
    void connected();
    /** The session ended or an attempt failed; @p reason is for the log. */
    void disconnected(const QString& reason);
    void message(const QString& topic, const QByteArray& payload, bool retained);
    void stopped();
};

} // namespace telvar::mqtt
