#include "mqtt/mosquitto_client.h"

#include <QLoggingCategory>
#include <QMetaObject>
#include <QRegularExpression>

#include <mosquitto.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace telvar::mqtt {

Q_LOGGING_CATEGORY(client_log, "telvar.mqtt.client")

namespace {

void init_library()
{
    static std::once_flag once;
    std::call_once(once, [] { mosquitto_lib_init(); });
}

// After these the library's network thread gives up for good and returns
// (mosquitto_loop_forever); anything else it retries with its own pauses.
bool ends_network_thread(int code, int error_number)
{
    switch (code) {
    case MOSQ_ERR_NOMEM:
    case MOSQ_ERR_PROTOCOL:
    case MOSQ_ERR_INVAL:
    case MOSQ_ERR_NOT_FOUND:
    case MOSQ_ERR_TLS:
    case MOSQ_ERR_PAYLOAD_SIZE:
    case MOSQ_ERR_NOT_SUPPORTED:
    case MOSQ_ERR_AUTH:
    case MOSQ_ERR_ACL_DENIED:
    case MOSQ_ERR_UNKNOWN:
    case MOSQ_ERR_EAI:
    case MOSQ_ERR_PROXY:
        return true;
    default:
        return error_number == EPROTO;
    }
}

QByteArray local(const QString& text)
{
    return text.toUtf8();
}

} // namespace

mosquitto_client::mosquitto_client(QObject* parent) : client(parent)
{
    init_library();
    stop_timer_.setSingleShot(true);
    restart_timer_.setSingleShot(true);
    connect(&stop_timer_, &QTimer::timeout, this, [this] {
        if (!stopping_)
            return;
        if (connected_)
            qCWarning(client_log, "the broker did not acknowledge in time; closing anyway");
        finish_stop(false);
    });
    connect(&restart_timer_, &QTimer::timeout, this, [this] { begin_session(); });
}

mosquitto_client::~mosquitto_client()
{
    if (connector_.joinable())
        connector_.join();
    if (mosq_) {
        if (running_) {
            mosquitto_disconnect(mosq_);
            mosquitto_loop_stop(mosq_, true);
        }
        mosquitto_destroy(mosq_);
    }
}

QString mosquitto_client::library_version()
{
    int major = 0, minor = 0, revision = 0;
    mosquitto_lib_version(&major, &minor, &revision);
    return QStringLiteral("%1.%2.%3").arg(major).arg(minor).arg(revision);
}

void mosquitto_client::start(const session_settings& settings)
{
    settings_ = settings;
    if (mosq_)
        mosquitto_destroy(mosq_);
    mosq_ = mosquitto_new(local(settings.client_id).constData(), true, this);
    if (!mosq_) {
        emit disconnected(QStringLiteral("the MQTT library could not make a client: %1")
                              .arg(QString::fromLocal8Bit(std::strerror(errno))));
        return;
    }
    mosquitto_int_option(mosq_, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V311);
    // Small messages go out at once: Nagle's wait for an acknowledgement
    // would hold a state message back by up to the peer's delayed-ACK time.
    mosquitto_int_option(mosq_, MOSQ_OPT_TCP_NODELAY, 1);
    mosquitto_connect_callback_set(mosq_, &mosquitto_client::on_connect);
    mosquitto_disconnect_callback_set(mosq_, &mosquitto_client::on_disconnect);
    mosquitto_publish_callback_set(mosq_, &mosquitto_client::on_publish);
    mosquitto_message_callback_set(mosq_, &mosquitto_client::on_message);
    mosquitto_log_callback_set(mosq_, &mosquitto_client::on_log);
    mosquitto_reconnect_delay_set(mosq_, unsigned(settings.retry_first_s),
                                  unsigned(settings.retry_max_s), true);

    if (!settings.will_topic.isEmpty()) {
        const QByteArray topic = local(settings.will_topic);
        mosquitto_will_set(mosq_, topic.constData(), int(settings.will_payload.size()),
                           settings.will_payload.constData(), 1, true);
    }
    if (!settings.username.isEmpty()) {
        const QByteArray user = local(settings.username);
        const QByteArray password = local(settings.password);
        mosquitto_username_pw_set(mosq_, user.constData(),
                                  settings.has_password ? password.constData() : nullptr);
    }
    if (!settings.cafile.isEmpty()) {
        const QByteArray ca = local(settings.cafile);
        const QByteArray cert = local(settings.certfile);
        const QByteArray key = local(settings.keyfile);
        const int rc = mosquitto_tls_set(mosq_, ca.constData(), nullptr,
                                         cert.isEmpty() ? nullptr : cert.constData(),
                                         key.isEmpty() ? nullptr : key.constData(), nullptr);
        if (rc != MOSQ_ERR_SUCCESS) {
            emit disconnected(QStringLiteral("TLS could not be set up with %1: %2")
                                  .arg(settings.cafile, QString::fromUtf8(mosquitto_strerror(rc))));
            return;
        }
        // The broker's certificate must chain to the CA and name the host.
        mosquitto_tls_opts_set(mosq_, 1, nullptr, nullptr);
        mosquitto_tls_insecure_set(mosq_, false);
    }
    begin_session();
}

void mosquitto_client::begin_session()
{
    if (!mosq_ || stopping_ || connecting_)
        return;
    qCDebug(client_log, "connecting to %s:%d", qUtf8Printable(settings_.host), settings_.port);
    connecting_ = true;
    if (connector_.joinable())
        connector_.join();
    // The first attempt looks the host name up and opens the socket, which
    // may take seconds; it runs on a thread of its own so that polling goes on.
    connector_ = std::thread([this, host = local(settings_.host), port = settings_.port,
                              keepalive = settings_.keepalive_s] {
        errno = 0;
        const int rc = mosquitto_connect_async(mosq_, host.constData(), port, keepalive);
        const int error_number = errno;
        QMetaObject::invokeMethod(
            this, [this, rc, error_number] { connect_attempted(rc, error_number); },
            Qt::QueuedConnection);
    });
}

void mosquitto_client::connect_attempted(int code, int error_number)
{
    connecting_ = false;
    if (stopping_)
        return;
    if (!failed_attempt_.isEmpty()) {
        emit disconnected(failed_attempt_);
        failed_attempt_.clear();
        schedule_restart();
        return;
    }
    if (code != MOSQ_ERR_SUCCESS) {
        // The network thread would wait for a first attempt that never
        // happened: try again from here after a growing pause.
        QString library_error;
        {
            std::lock_guard<std::mutex> lock(notes_mutex_);
            library_error.swap(library_error_);
        }
        emit disconnected(describe(code, error_number, QString(), library_error));
        schedule_restart();
        return;
    }
    // From here on the network thread reconnects by itself.
    const int started = mosquitto_loop_start(mosq_);
    if (started == MOSQ_ERR_SUCCESS) {
        running_ = true;
    } else {
        emit disconnected(QStringLiteral("the MQTT network thread could not start: %1")
                              .arg(QString::fromUtf8(mosquitto_strerror(started))));
        schedule_restart();
    }
}

void mosquitto_client::schedule_restart()
{
    restart_pause_s_ = restart_pause_s_ == 0
                           ? settings_.retry_first_s
                           : std::min(restart_pause_s_ * 2, settings_.retry_max_s);
    restart_timer_.start(restart_pause_s_ * 1000);
    qCDebug(client_log, "next attempt in %d s", restart_pause_s_);
}

void mosquitto_client::publish(const QString& topic, const QByteArray& payload, int qos,
                               bool retain)
{
    if (!mosq_)
        return;
    int mid = 0;
    const QByteArray name = local(topic);
    const int rc = mosquitto_publish(mosq_, &mid, name.constData(), int(payload.size()),
                                     payload.constData(), qos, retain);
    if (rc != MOSQ_ERR_SUCCESS) {
        qCDebug(client_log, "not published to %s: %s", name.constData(), mosquitto_strerror(rc));
        return;
    }
    if (qos > 0)
        unacknowledged_.insert(mid);
}

void mosquitto_client::subscribe(const QString& filter, int qos)
{
    if (!mosq_)
        return;
    const QByteArray name = local(filter);
    const int rc = mosquitto_subscribe(mosq_, nullptr, name.constData(), qos);
    if (rc != MOSQ_ERR_SUCCESS)
        qCWarning(client_log, "could not subscribe to %s: %s", name.constData(),
                  mosquitto_strerror(rc));
}

void mosquitto_client::stop(int timeout_ms)
{
    if (stopping_)
        return;
    stopping_ = true;
    restart_timer_.stop();
    if (!mosq_ || !running_ || !connected_) {
        // Nothing can be delivered now; stop trying.
        finish_stop(false);
        return;
    }
    stop_timer_.start(timeout_ms);
    if (unacknowledged_.isEmpty())
        mosquitto_disconnect(mosq_);
}

void mosquitto_client::finish_stop(bool session_closed)
{
    stop_timer_.stop();
    if (mosq_ && running_) {
        mosquitto_disconnect(mosq_);
        // After a clean disconnection the network thread ends by itself;
        // otherwise it may sit in a pause before the next attempt.
        mosquitto_loop_stop(mosq_, !session_closed);
        running_ = false;
    }
    connected_ = false;
    emit stopped();
}

void mosquitto_client::on_connect(mosquitto*, void* self, int code)
{
    auto* me = static_cast<mosquitto_client*>(self);
    if (code != 0) {
        // The disconnection that follows carries this reason.
        std::lock_guard<std::mutex> lock(me->notes_mutex_);
        me->refusal_ = QString::fromUtf8(mosquitto_connack_string(code));
        return;
    }
    QMetaObject::invokeMethod(
        me,
        [me] {
            me->connected_ = true;
            me->restart_pause_s_ = 0;
            emit me->connected();
        },
        Qt::QueuedConnection);
}

void mosquitto_client::on_disconnect(mosquitto*, void* self, int code)
{
    const int error_number = errno;
    auto* me = static_cast<mosquitto_client*>(self);
    QString refusal, library_error;
    {
        std::lock_guard<std::mutex> lock(me->notes_mutex_);
        refusal.swap(me->refusal_);
        library_error.swap(me->library_error_);
    }
    const bool thread_ends = code != 0 && ends_network_thread(code, error_number);
    QMetaObject::invokeMethod(
        me,
        [me, code, error_number, refusal, library_error, thread_ends] {
            me->session_ended(code, error_number, refusal, library_error, thread_ends);
        },
        Qt::QueuedConnection);
}

void mosquitto_client::session_ended(int code, int error_number, const QString& refusal,
                                     const QString& library_error, bool thread_ended)
{
    connected_ = false;
    if (stopping_) {
        finish_stop(code == MOSQ_ERR_SUCCESS);
        return;
    }
    // What the lost session left unacknowledged is published again after the
    // next connection; a clean stop should not wait for it.
    unacknowledged_.clear();
    const QString reason = describe(code, error_number, refusal, library_error);
    if (thread_ended)
        abandon_session(reason);
    else
        emit disconnected(reason);
}

void mosquitto_client::abandon_session(const QString& reason)
{
    if (connecting_) {
        // The handshake failed inside the first attempt itself, whose result
        // comes next: that attempt counts as failed.
        failed_attempt_ = reason;
        return;
    }
    if (!running_ || stopping_)
        return;
    emit disconnected(reason);
    // The library gave up on this session; start over after a growing pause.
    // Marked disconnected, its thread ends by itself: cancelling it could
    // leave one of the library's locks held.
    mosquitto_disconnect(mosq_);
    mosquitto_loop_stop(mosq_, false);
    running_ = false;
    schedule_restart();
}

void mosquitto_client::on_publish(mosquitto*, void* self, int mid)
{
    auto* me = static_cast<mosquitto_client*>(self);
    QMetaObject::invokeMethod(
        me,
        [me, mid] {
            me->unacknowledged_.remove(mid);
            if (me->stopping_ && me->unacknowledged_.isEmpty() && me->connected_)
                mosquitto_disconnect(me->mosq_);
        },
        Qt::QueuedConnection);
}

void mosquitto_client::on_message(mosquitto*, void* self, const mosquitto_message* message)
{
    auto* me = static_cast<mosquitto_client*>(self);
    QString topic = QString::fromUtf8(message->topic);
    QByteArray payload(static_cast<const char*>(message->payload), message->payloadlen);
    const bool retained = message->retain;
    QMetaObject::invokeMethod(
        me,
        [me, topic = std::move(topic), payload = std::move(payload), retained] {
            emit me->message(topic, payload, retained);
        },
        Qt::QueuedConnection);
}

void mosquitto_client::on_log(mosquitto*, void* self, int level, const char* text)
{
    qCDebug(client_log, "libmosquitto: %s", text);
    if (!(level & MOSQ_LOG_ERR))
        return;
    auto* me = static_cast<mosquitto_client*>(self);
    QString error = QString::fromUtf8(text);
    static const QRegularExpression openssl_prefix(QStringLiteral("^OpenSSL Error\\[[0-9]+\\]: "));
    const bool tls = error.contains(openssl_prefix);
    error.remove(openssl_prefix);
    {
        std::lock_guard<std::mutex> lock(me->notes_mutex_);
        me->library_error_ = error;
    }
    // A failed TLS handshake ends the network thread without a disconnect
    // callback; the session is given up here and started again.
    QMetaObject::invokeMethod(
        me,
        [me, error, tls] {
            if (me->connected_)
                return;
            me->abandon_session(tls ? me->describe(MOSQ_ERR_TLS, 0, QString(), error)
                                    : QStringLiteral("the MQTT library reports: %1").arg(error));
        },
        Qt::QueuedConnection);
}

QString mosquitto_client::describe(int code, int error_number, const QString& refusal,
                                   const QString& library_error) const
{
    if (code == MOSQ_ERR_SUCCESS)
        return QStringLiteral("disconnected");
    if (!refusal.isEmpty()) {
        QString why = refusal;
        why.remove(QRegularExpression(QStringLiteral("^Connection Refused: ")));
        QString text = QStringLiteral("the broker refused the connection: %1").arg(why);
        if (text.endsWith(QLatin1Char('.')))
            text.chop(1);
        if (refusal.contains(QLatin1String("user name")) ||
            refusal.contains(QLatin1String("authori")))
            text += QStringLiteral(" (check the user name and the password file)");
        return text;
    }
    switch (code) {
    case MOSQ_ERR_TLS:
    case MOSQ_ERR_TLS_HANDSHAKE:
        return QStringLiteral("TLS failed%1 (check the CA file, and that the broker's "
                              "certificate is signed by it and made out to %2)")
            .arg(library_error.isEmpty() ? QString() : QStringLiteral(": ") + library_error,
                 settings_.host);
    case MOSQ_ERR_ERRNO:
        return QString::fromLocal8Bit(std::strerror(error_number)).toLower();
    case MOSQ_ERR_EAI:
        return QStringLiteral("the host name %1 could not be looked up").arg(settings_.host);
    case MOSQ_ERR_KEEPALIVE:
        return QStringLiteral("the broker stopped answering");
    case MOSQ_ERR_CONN_LOST:
        return QStringLiteral("the connection was lost");
    default:
        return QString::fromUtf8(mosquitto_strerror(code)).toLower();
    }
}

} // namespace telvar::mqtt
