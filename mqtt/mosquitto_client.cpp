#include "mqtt/mosquitto_client.h"

#include "mqtt/system.h"

#include <QLoggingCategory>
#include <QMetaObject>
#include <QRegularExpression>

#include <mosquitto.h>

#include <cerrno>
#include <cstring>
#include <mutex>
#include <system_error>
#include <thread>

namespace telvar::mqtt {

Q_LOGGING_CATEGORY(client_log, "telvar.mqtt.client")

// The library's object and what a worker shares with the client about it.
// Whoever lets go of it last (the client, or a worker still connecting)
// destroys the library's object.
struct mosquitto_client::core : std::enable_shared_from_this<core> {
    mosquitto* mosq = nullptr;
    std::mutex lock;
    mosquitto_client* owner = nullptr;  // under lock; null once the client let go
    QString refusal;                    // under lock: why the broker refused the session
    QString library_error;              // under lock: the library's last error line

    ~core()
    {
        if (mosq)
            mosquitto_destroy(mosq);
    }

    // Calls @p call(owner) on the owner's thread later, if the owner still
    // holds this core then.
    template <typename F>
    void post(F call)
    {
        std::lock_guard<std::mutex> hold(lock);
        if (!owner)
            return;
        mosquitto_client* me = owner;
        QMetaObject::invokeMethod(
            me,
            [me, self = weak_from_this(), call = std::move(call)]() mutable {
                const std::shared_ptr<core> held = self.lock();
                if (held && me->core_ == held)
                    call(me);
            },
            Qt::QueuedConnection);
    }
};

namespace {

// Without an answer for this many wake-ups of the socket, a connection that
// is neither refused nor accepted (a TLS handshake on a peer that closed,
// a server that sends something else) is given up rather than spun on.
constexpr int wakeups_without_answer = 1000;

void init_library()
{
    static std::once_flag once;
    std::call_once(once, [] { mosquitto_lib_init(); });
}

QByteArray local(const QString& text)
{
    return text.toUtf8();
}

} // namespace

mosquitto_client::mosquitto_client(QObject* parent) : client(parent)
{
    init_library();
    misc_timer_.setInterval(1000);
    answer_timer_.setSingleShot(true);
    retry_timer_.setSingleShot(true);
    stop_timer_.setSingleShot(true);
    connect(&misc_timer_, &QTimer::timeout, this, [this] {
        if (!core_)
            return;
        errno = 0;
        const int rc = mosquitto_loop_misc(core_->mosq);
        after_library_call(rc);
    });
    connect(&answer_timer_, &QTimer::timeout, this, [this] {
        if (state_ != state::answering)
            return;
        mosquitto_disconnect(core_->mosq);
        session_lost(MOSQ_ERR_KEEPALIVE, 0,
                     QStringLiteral("%1 accepted the connection but gave no MQTT answer within "
                                    "%2 s")
                         .arg(peer_.isEmpty() ? settings_.host : peer_)
                         .arg(settings_.answer_timeout_s));
    });
    connect(&retry_timer_, &QTimer::timeout, this, &mosquitto_client::begin_attempt);
    connect(&stop_timer_, &QTimer::timeout, this, [this] {
        if (state_ != state::stopping)
            return;
        qCWarning(client_log, "the broker did not acknowledge in time; closing anyway");
        finish_stop();
    });
}

mosquitto_client::~mosquitto_client()
{
    drop_core();
}

QString mosquitto_client::library_version()
{
    int major = 0, minor = 0, revision = 0;
    mosquitto_lib_version(&major, &minor, &revision);
    return QStringLiteral("%1.%2.%3").arg(major).arg(minor).arg(revision);
}

bool mosquitto_client::start(const session_settings& settings, QString* error)
{
    auto fail = [error](const QString& why) {
        if (error)
            *error = why;
        return false;
    };
    auto made = std::make_shared<core>();
    made->mosq = mosquitto_new(local(settings.client_id).constData(), true, made.get());
    if (!made->mosq)
        return fail(QStringLiteral("the MQTT library could not make a client: %1")
                        .arg(QString::fromLocal8Bit(std::strerror(errno))));
    mosquitto* m = made->mosq;
    mosquitto_int_option(m, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V311);
    // Small messages go out at once: Nagle's wait for an acknowledgement
    // would hold a state message back by up to the peer's delayed-ACK time.
    mosquitto_int_option(m, MOSQ_OPT_TCP_NODELAY, 1);
    mosquitto_connect_callback_set(m, &mosquitto_client::on_connect);
    mosquitto_publish_callback_set(m, &mosquitto_client::on_publish);
    mosquitto_message_callback_set(m, &mosquitto_client::on_message);
    mosquitto_log_callback_set(m, &mosquitto_client::on_log);
    if (!settings.will_topic.isEmpty()) {
        const QByteArray topic = local(settings.will_topic);
        const int rc = mosquitto_will_set(m, topic.constData(), int(settings.will_payload.size()),
                                          settings.will_payload.constData(), 1, true);
        if (rc != MOSQ_ERR_SUCCESS)
            return fail(QStringLiteral("the last will on %1 could not be set: %2")
                            .arg(settings.will_topic, QString::fromUtf8(mosquitto_strerror(rc))));
    }
    if (!settings.username.isEmpty()) {
        const QByteArray user = local(settings.username);
        const QByteArray password = local(settings.password);
        mosquitto_username_pw_set(m, user.constData(),
                                  settings.has_password ? password.constData() : nullptr);
    }
    if (!settings.cafile.isEmpty()) {
        const QByteArray ca = local(settings.cafile);
        const QByteArray cert = local(settings.certfile);
        const QByteArray key = local(settings.keyfile);
        const int rc = mosquitto_tls_set(m, ca.constData(), nullptr,
                                         cert.isEmpty() ? nullptr : cert.constData(),
                                         key.isEmpty() ? nullptr : key.constData(), nullptr);
        if (rc != MOSQ_ERR_SUCCESS)
            return fail(QStringLiteral("TLS could not be set up with %1: %2")
                            .arg(settings.cafile, QString::fromUtf8(mosquitto_strerror(rc))));
        // The broker's certificate must chain to the CA and name the host.
        mosquitto_tls_opts_set(m, 1, nullptr, nullptr);
        mosquitto_tls_insecure_set(m, false);
    }
    // Made: a running session ends cleanly, and the broker drops it without its will.
    if (core_ && (state_ == state::connected || state_ == state::answering))
        mosquitto_disconnect(core_->mosq);
    drop_core();
    misc_timer_.stop();
    answer_timer_.stop();
    retry_timer_.stop();
    stop_timer_.stop();
    state_ = state::idle;
    unacknowledged_.clear();
    settings_ = settings;
    retry_pause_ = link::backoff(settings.retry_first_s * 1000, settings.retry_max_s * 1000);
    made->owner = this;
    core_ = std::move(made);
    begin_attempt();
    return true;
}

void mosquitto_client::begin_attempt()
{
    if (!core_ || state_ != state::idle)
        return;
    qCDebug(client_log, "connecting to %s:%d", qUtf8Printable(settings_.host), settings_.port);
    state_ = state::connecting;
    peer_.clear();
    unwatch_socket();
    misc_timer_.stop();
    answer_timer_.stop();
    // The worker alone touches the library's object until its result comes
    // back; the blocking connect tries each address of the name in turn.
    std::shared_ptr<core> attempt = core_;
    try {
        std::thread([attempt, host = local(settings_.host), port = settings_.port,
                     keepalive = settings_.keepalive_s] {
            errno = 0;
            const int rc = mosquitto_connect(attempt->mosq, host.constData(), port, keepalive);
            const int error_number = errno;
            const QStringList tried = rc == MOSQ_ERR_SUCCESS
                                          ? QStringList()
                                          : broker_addresses(QString::fromUtf8(host));
            attempt->post([rc, error_number, tried](mosquitto_client* me) {
                me->attempt_ended(rc, error_number, tried);
            });
        }).detach();
    } catch (const std::system_error& e) {
        state_ = state::idle;
        emit disconnected(QStringLiteral("no thread for the connection: %1")
                              .arg(QString::fromLocal8Bit(e.what())));
        retry_timer_.start(retry_pause_.next());
    }
}

void mosquitto_client::attempt_ended(int code, int error_number, const QStringList& tried)
{
    if (state_ != state::connecting)
        return;
    if (code != MOSQ_ERR_SUCCESS) {
        state_ = state::idle;
        QString library_error;
        {
            std::lock_guard<std::mutex> hold(core_->lock);
            library_error.swap(core_->library_error);
        }
        emit disconnected(describe(code, error_number, QString(), library_error, tried));
        const int pause = retry_pause_.next();
        qCDebug(client_log, "next attempt in %d s", pause / 1000);
        retry_timer_.start(pause);
        return;
    }
    state_ = state::answering;
    handshake_wakeups_ = 0;
    peer_ = socket_peer_address(mosquitto_socket(core_->mosq));
    qCDebug(client_log, "TCP connection to %s:%d at %s", qUtf8Printable(settings_.host),
            settings_.port, qUtf8Printable(peer_));
    watch_socket();
    misc_timer_.start();
    answer_timer_.start(settings_.answer_timeout_s * 1000);
    after_library_call(MOSQ_ERR_SUCCESS);
}

void mosquitto_client::watch_socket()
{
    unwatch_socket();
    const int socket = mosquitto_socket(core_->mosq);
    if (socket < 0)
        return;
    watched_socket_ = socket;
    read_notifier_ = std::make_unique<QSocketNotifier>(socket, QSocketNotifier::Read);
    write_notifier_ = std::make_unique<QSocketNotifier>(socket, QSocketNotifier::Write);
    write_notifier_->setEnabled(false);
    connect(read_notifier_.get(), &QSocketNotifier::activated, this,
            [this] { socket_ready(true); });
    connect(write_notifier_.get(), &QSocketNotifier::activated, this,
            [this] { socket_ready(false); });
}

void mosquitto_client::unwatch_socket()
{
    read_notifier_.reset();
    write_notifier_.reset();
    watched_socket_ = -1;
}

void mosquitto_client::socket_ready(bool readable)
{
    if (!core_)
        return;
    errno = 0;
    int rc = MOSQ_ERR_SUCCESS;
    // A TLS handshake goes on through the read call, also when it waited to write.
    if (readable || state_ == state::answering)
        rc = mosquitto_loop_read(core_->mosq, 1);
    if (!readable && rc == MOSQ_ERR_SUCCESS && mosquitto_socket(core_->mosq) >= 0)
        rc = mosquitto_loop_write(core_->mosq, 1);
    if (state_ == state::answering && ++handshake_wakeups_ > wakeups_without_answer) {
        mosquitto_disconnect(core_->mosq);
        session_lost(MOSQ_ERR_PROTOCOL, 0,
                     settings_.cafile.isEmpty()
                         ? QStringLiteral("%1 does not answer as an MQTT broker").arg(peer_)
                         : QStringLiteral("TLS failed: %1 closed the connection during the "
                                          "handshake (does the broker speak TLS on port %2?)")
                               .arg(peer_)
                               .arg(settings_.port));
        return;
    }
    after_library_call(rc);
}

void mosquitto_client::after_library_call(int code)
{
    const int error_number = errno;
    if (!core_)
        return;
    const int socket = mosquitto_socket(core_->mosq);
    if (code != MOSQ_ERR_SUCCESS || socket < 0) {
        if (state_ == state::stopping)
            finish_stop();
        else if (state_ == state::answering || state_ == state::connected)
            session_lost(code, error_number, QString());
        return;
    }
    if (socket != watched_socket_)
        watch_socket();
    if (write_notifier_)
        write_notifier_->setEnabled(mosquitto_want_write(core_->mosq));
}

void mosquitto_client::session_accepted()
{
    if (state_ != state::answering)
        return;
    state_ = state::connected;
    answer_timer_.stop();
    retry_pause_.reset();
    emit connected();
}

void mosquitto_client::session_lost(int code, int error_number, const QString& reason)
{
    unwatch_socket();
    misc_timer_.stop();
    answer_timer_.stop();
    state_ = state::idle;
    // The bridge publishes everything again after the next connection.
    unacknowledged_.clear();
    QString refusal, library_error;
    {
        std::lock_guard<std::mutex> hold(core_->lock);
        refusal.swap(core_->refusal);
        library_error.swap(core_->library_error);
    }
    emit disconnected(reason.isEmpty()
                          ? describe(code, error_number, refusal, library_error, QStringList())
                          : reason);
    if (!core_ || state_ != state::idle)
        return;  // the bridge started a new session or stopped meanwhile
    const int pause = retry_pause_.next();
    qCDebug(client_log, "next attempt in %d s", pause / 1000);
    retry_timer_.start(pause);
}

void mosquitto_client::publish(const QString& topic, const QByteArray& payload, int qos,
                               bool retain)
{
    const QByteArray name = local(topic);
    if (state_ != state::connected && state_ != state::stopping) {
        qCDebug(client_log, "not published to %s: no session", name.constData());
        return;
    }
    int mid = 0;
    const int rc = mosquitto_publish(core_->mosq, &mid, name.constData(), int(payload.size()),
                                     payload.constData(), qos, retain);
    if (rc != MOSQ_ERR_SUCCESS) {
        // A broken connection shows on the socket next.
        qCDebug(client_log, "not published to %s: %s", name.constData(), mosquitto_strerror(rc));
        return;
    }
    if (qos > 0)
        unacknowledged_.insert(mid);
    after_library_call(MOSQ_ERR_SUCCESS);
}

void mosquitto_client::subscribe(const QString& filter, int qos)
{
    if (state_ != state::connected)
        return;
    const QByteArray name = local(filter);
    const int rc = mosquitto_subscribe(core_->mosq, nullptr, name.constData(), qos);
    if (rc != MOSQ_ERR_SUCCESS)
        qCWarning(client_log, "could not subscribe to %s: %s", name.constData(),
                  mosquitto_strerror(rc));
    after_library_call(MOSQ_ERR_SUCCESS);
}

void mosquitto_client::stop(int timeout_ms)
{
    if (state_ == state::stopping)
        return;
    retry_timer_.stop();
    if (state_ != state::connected) {
        // Nothing can be delivered now. A connection not yet answered is
        // ended with a disconnection, so that its will is not published.
        if (state_ == state::answering)
            mosquitto_disconnect(core_->mosq);
        finish_stop();
        return;
    }
    state_ = state::stopping;
    stop_timer_.start(timeout_ms);
    if (unacknowledged_.isEmpty())
        disconnect_now();
}

void mosquitto_client::disconnect_now()
{
    errno = 0;
    const int rc = mosquitto_disconnect(core_->mosq);
    // Written at once, the disconnection closes the socket; otherwise the
    // write notifier finishes it.
    after_library_call(rc);
}

void mosquitto_client::finish_stop()
{
    stop_timer_.stop();
    misc_timer_.stop();
    answer_timer_.stop();
    drop_core();
    state_ = state::idle;
    emit stopped();
}

void mosquitto_client::drop_core()
{
    unwatch_socket();
    if (!core_)
        return;
    {
        std::lock_guard<std::mutex> hold(core_->lock);
        core_->owner = nullptr;
    }
    // A worker still connecting holds it on and destroys it when it ends.
    core_.reset();
}

void mosquitto_client::on_connect(mosquitto*, void* context, int code)
{
    auto* c = static_cast<core*>(context);
    if (code != 0) {
        // The broker closes the connection next; the loss carries this reason.
        std::lock_guard<std::mutex> hold(c->lock);
        c->refusal = QString::fromUtf8(mosquitto_connack_string(code));
        return;
    }
    c->post([](mosquitto_client* me) { me->session_accepted(); });
}

void mosquitto_client::on_publish(mosquitto*, void* context, int mid)
{
    auto* c = static_cast<core*>(context);
    c->post([mid](mosquitto_client* me) {
        const bool waited = me->unacknowledged_.remove(mid);
        if (waited && me->state_ == state::stopping && me->unacknowledged_.isEmpty())
            me->disconnect_now();
    });
}

void mosquitto_client::on_message(mosquitto*, void* context, const mosquitto_message* message)
{
    auto* c = static_cast<core*>(context);
    QString topic = QString::fromUtf8(message->topic);
    QByteArray payload(static_cast<const char*>(message->payload), message->payloadlen);
    const bool retained = message->retain;
    c->post([topic = std::move(topic), payload = std::move(payload), retained](
                mosquitto_client* me) {
        if (me->state_ == state::connected)
            emit me->message(topic, payload, retained);
    });
}

// Also called on a worker, while it connects.
void mosquitto_client::on_log(mosquitto*, void* context, int level, const char* text)
{
    qCDebug(client_log, "libmosquitto: %s", text);
    if (!(level & MOSQ_LOG_ERR))
        return;
    auto* c = static_cast<core*>(context);
    static const QRegularExpression openssl_prefix(QStringLiteral("^OpenSSL Error\\[[0-9]+\\]: "));
    QString error = QString::fromUtf8(text);
    error.remove(openssl_prefix);
    std::lock_guard<std::mutex> hold(c->lock);
    c->library_error = error;
}

QString mosquitto_client::describe(int code, int error_number, const QString& refusal,
                                   const QString& library_error, const QStringList& tried) const
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
    case MOSQ_ERR_ERRNO: {
        // A write may see the loss before a read does.
        if (error_number == EPIPE || error_number == ECONNRESET || error_number == ECONNABORTED)
            return QStringLiteral("the connection was lost");
        QString text = QString::fromLocal8Bit(std::strerror(error_number)).toLower();
        // Every address was tried; name them when the name stands for more.
        if (!tried.isEmpty() && tried != QStringList{settings_.host})
            text += QStringLiteral(" at %1").arg(tried.join(QStringLiteral(" and ")));
        return text;
    }
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
