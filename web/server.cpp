#include "web/server.h"

#include "local/dispatch.h"
#include "local/request.h"

#include <QDateTime>
#include <QFile>
#include <QHttpServerRequest>
#include <QHttpServerResponder>
#include <QJsonArray>
#include <QJsonDocument>
#include <QLoggingCategory>
#include <QNetworkRequest>
#include <QRegularExpression>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>
#include <QUrlQuery>
#include <QWebSocket>
#if QT_CONFIG(ssl)
#include <QSslCertificate>
#include <QSslKey>
#endif

namespace telvar::web {

Q_LOGGING_CATEGORY(web_log, "telvar.web")

namespace {

const QByteArray session_cookie = "telvar_session";

QByteArray method_name(QHttpServerRequest::Method m)
{
    switch (m) {
    case QHttpServerRequest::Method::Get: return "GET";
    case QHttpServerRequest::Method::Put: return "PUT";
    case QHttpServerRequest::Method::Delete: return "DELETE";
    case QHttpServerRequest::Method::Post: return "POST";
    case QHttpServerRequest::Method::Head: return "HEAD";
    case QHttpServerRequest::Method::Options: return "OPTIONS";
    case QHttpServerRequest::Method::Patch: return "PATCH";
    case QHttpServerRequest::Method::Connect: return "CONNECT";
    case QHttpServerRequest::Method::Trace: return "TRACE";
    default: return "UNKNOWN";
    }
}

// A Host header that can go into a header of ours as it stands.
QByteArray clean_host(const QByteArray& host)
{
    static const QRegularExpression plain(QStringLiteral("^[A-Za-z0-9.\\-\\[\\]:]{1,270}$"));
    return plain.match(QString::fromLatin1(host)).hasMatch() ? host : QByteArray();
}

// What a browser sends as Origin for a page served at @p host.
bool same_origin(const QByteArray& origin, const QByteArray& host, const QByteArray& scheme)
{
    if (host.isEmpty())
        return false;
    return origin.toLower() == scheme + "://" + host.toLower();
}

// The scheme the browser used: a reverse proxy that ends HTTPS says so in
// X-Forwarded-Proto. A page of another site cannot set that header on its
// requests without a preflight, which this server never grants.
QByteArray scheme_of(const QHttpServerRequest& request, bool https)
{
    const QByteArray forwarded = request.value("X-Forwarded-Proto").trimmed().toLower();
    if (forwarded == "http" || forwarded == "https")
        return forwarded;
    return https ? "https" : "http";
}

QJsonObject without_id(QJsonObject o)
{
    o.remove(QStringLiteral("id"));
    return o;
}

} // namespace

struct server::pending {
    pending(QTcpSocket* s, QHttpServerResponder&& r) : socket(s), responder(std::move(r)) {}
    QPointer<QTcpSocket> socket;
    QHttpServerResponder responder;
    QByteArray host;
    // A request of a page's script (fetch): a 401 asks for no Basic login,
    // which would make the browser pop up its own password prompt.
    bool from_script = false;
    bool sent = false;
};

struct server::answer {
    int status = 200;
    QByteArray type;
    QByteArray body;
    QList<std::pair<QByteArray, QByteArray>> headers;
};

struct server::stream {
    std::unique_ptr<QWebSocket> socket;
    std::shared_ptr<int> owner = std::make_shared<int>(0);
};

server::server(server_settings settings, local::dispatcher& dispatcher, metrics_source metrics,
               QObject* parent)
    : QAbstractHttpServer(parent),
      settings_(std::move(settings)),
      dispatcher_(dispatcher),
      metrics_(std::move(metrics)),
      guard_(settings_.password)
{
    connect(this, &QAbstractHttpServer::newWebSocketConnection, this, &server::accept_streams);
}

server::~server()
{
    for (auto& [raw, s] : streams_) {
        dispatcher_.forget(s->owner.get());
        s->socket->disconnect(this);
    }
}

QString server::address_text() const
{
    const QString host = settings_.address.protocol() == QAbstractSocket::IPv6Protocol
                             ? QLatin1Char('[') + settings_.address.toString() + QLatin1Char(']')
                             : settings_.address.toString();
    return QStringLiteral("%1://%2:%3/").arg(https_ ? QStringLiteral("https") : QStringLiteral("http"),
                                            host)
        .arg(port_);
}

bool server::start()
{
    if (!settings_.certfile.isEmpty()) {
#if QT_CONFIG(ssl)
        QFile cert_file(settings_.certfile);
        QFile key_file(settings_.keyfile);
        if (!cert_file.open(QIODevice::ReadOnly) || !key_file.open(QIODevice::ReadOnly)) {
            error_ = QStringLiteral("cannot read %1 or %2").arg(settings_.certfile, settings_.keyfile);
            return false;
        }
        const QList<QSslCertificate> certs = QSslCertificate::fromData(cert_file.readAll());
        const QByteArray key_text = key_file.readAll();
        QSslKey key(key_text, QSsl::Rsa);
        if (key.isNull())
            key = QSslKey(key_text, QSsl::Ec);
        if (certs.isEmpty() || key.isNull()) {
            error_ = QStringLiteral("%1 holds no PEM certificate or %2 no PEM key (RSA or EC)")
                         .arg(settings_.certfile, settings_.keyfile);
            return false;
        }
        sslSetup(certs.first(), key);
        https_ = true;
#else
        error_ = QStringLiteral("this build has no TLS: leave certfile and keyfile empty");
        return false;
#endif
    }
    // Asked first with a plain server: Qt HttpServer's own failure only logs
    // that it failed, not why.
    QString why;
    {
        QTcpServer probe;
        if (!probe.listen(settings_.address, settings_.port))
            why = probe.errorString();
    }
    if (why.isEmpty()) {
        port_ = listen(settings_.address, settings_.port);
        if (port_ == 0)
            why = QStringLiteral("refused");
    }
    if (!why.isEmpty()) {
        const QString host = settings_.address.protocol() == QAbstractSocket::IPv6Protocol
                                 ? QLatin1Char('[') + settings_.address.toString() + QLatin1Char(']')
                                 : settings_.address.toString();
        error_ = QStringLiteral("cannot listen on %1:%2: %3; another program may use the port, "
                                "or the address is not this machine's: set [web] listen, or "
                                "--web ADDRESS:PORT, or --no-web")
                     .arg(host)
                     .arg(settings_.port)
                     .arg(why);
        return false;
    }
    return true;
}

void server::stop()
{
    for (QTcpServer* s : servers())
        s->close();
    for (auto& [raw, s] : streams_) {
        dispatcher_.forget(s->owner.get());
        s->socket->close(QWebSocketProtocol::CloseCodeGoingAway, QStringLiteral("service stopping"));
    }
}

bool server::handleRequest(const QHttpServerRequest& request, QTcpSocket* socket)
{
    auto p = std::make_shared<pending>(socket, makeResponder(request, socket));
    // Copied out: the request object is reused for the connection's next one.
    incoming in;
    in.method = method_name(request.method());
    in.path = request.url().path(QUrl::FullyDecoded);
    in.body = request.body();
    in.host = clean_host(request.value("Host"));
    in.scheme = scheme_of(request, https_);
    in.origin = request.value("Origin");
    in.cookie = request.value("Cookie");
    in.authorization = request.value("Authorization");
    in.from = request.remoteAddress();
    p->host = in.host;
    const QByteArray fetch_mode = request.value("Sec-Fetch-Mode");
    p->from_script = !fetch_mode.isEmpty() && fetch_mode != "navigate";
    if (request.value("Upgrade").compare("websocket", Qt::CaseInsensitive) == 0)
        return upgrade_allowed(p, in);
    const bool tries_password = !in.authorization.isEmpty()
                                || (in.method == "POST" && in.path == QLatin1String("/login"));
    const int delay = guard_.required() && tries_password ? guard_.delay_ms(in.from) : 0;
    if (delay > 0) {
        // After failures in a row, the next try waits before it is even looked at.
        QTimer::singleShot(delay, this, [this, p, in] { handle(p, in); });
        return true;
    }
    handle(p, in);
    return true;
}

// Qt upgrades the connection to a WebSocket when this says yes; a refusal
// is answered here, and Qt closes the connection after it.
bool server::upgrade_allowed(const std::shared_ptr<pending>& p, const incoming& in)
{
    bool failed = false;
    if (in.path != QLatin1String("/api/events")) {
        send_error(p, 404, QStringLiteral("not_found"),
                   QStringLiteral("no WebSocket here: the events are on /api/events"));
    } else if (!in.origin.isEmpty() && !same_origin(in.origin, in.host, in.scheme)) {
        send_error(p, 403, QStringLiteral("no_permission"),
                   QStringLiteral("a page of another site (Origin %1) may not follow the boards")
                       .arg(QString::fromLatin1(in.origin.left(100))));
    } else if (!authorized(in, &failed)) {
        send_error(p, 401, QStringLiteral("no_permission"), QStringLiteral("log in first"));
    } else {
        return true;
    }
    qCInfo(web_log, "event stream from %s refused", qUtf8Printable(in.from.toString()));
    return false;
}

void server::missingHandler(const QHttpServerRequest&, QTcpSocket*) {}

bool server::authorized(const incoming& in, bool* failed)
{
    *failed = false;
    if (!guard_.required())
        return true;
    const QByteArray token = cookie_value(in.cookie, session_cookie);
    if (!token.isEmpty() && guard_.session_valid(token, QDateTime::currentMSecsSinceEpoch()))
        return true;
    if (!in.authorization.isEmpty()) {
        if (guard_.password_matches(basic_password(in.authorization))) {
            guard_.succeeded(in.from);
            return true;
        }
        guard_.failed(in.from);
        *failed = true;
    }
    return false;
}

void server::send(const std::shared_ptr<pending>& p, const answer& a)
{
    // A client that went away before its board answered gets nothing.
    if (p->sent || !p->socket || p->socket->state() != QAbstractSocket::ConnectedState)
        return;
    p->sent = true;
    QHttpServerResponder& r = p->responder;
    r.writeStatusLine(QHttpServerResponder::StatusCode(a.status));
    if (!a.type.isEmpty())
        r.writeHeader("Content-Type", a.type);
    r.writeHeader("Content-Length", QByteArray::number(a.body.size()));
    QByteArray connect_src = "'self'";
    if (!p->host.isEmpty())
        connect_src += " ws://" + p->host + " wss://" + p->host;
    r.writeHeader("Content-Security-Policy",
                  "default-src 'self'; script-src 'self'; style-src 'self'; img-src 'self'; "
                  "connect-src " + connect_src + "; object-src 'none'; base-uri 'none'; "
                  "form-action 'self'; frame-ancestors 'none'");
    r.writeHeader("X-Content-Type-Options", "nosniff");
    r.writeHeader("X-Frame-Options", "DENY");
    // Not no-referrer: with it a browser sends "Origin: null" on the page's own POSTs.
    r.writeHeader("Referrer-Policy", "same-origin");
    r.writeHeader("Cache-Control", "no-store");
    for (const auto& [key, value] : a.headers)
        r.writeHeader(key, value);
    r.writeBody(a.body);
}

void server::send_json(const std::shared_ptr<pending>& p, int status, const QJsonObject& o)
{
    answer a;
    a.status = status;
    a.type = "application/json";
    a.body = QJsonDocument(without_id(o)).toJson(QJsonDocument::Compact) + '\n';
    send(p, a);
}

void server::send_error(const std::shared_ptr<pending>& p, int status, const QString& code,
                        const QString& message, const QByteArray& allow)
{
    answer a;
    a.status = status;
    a.type = "application/json";
    a.body = QJsonDocument(QJsonObject{{QStringLiteral("ok"), false},
                                       {QStringLiteral("error"), code},
                                       {QStringLiteral("message"), message}})
                 .toJson(QJsonDocument::Compact)
             + '\n';
    if (!allow.isEmpty())
        a.headers.append(std::make_pair(QByteArray("Allow"), allow));
    if (status == 401 && guard_.required() && !p->from_script)
        a.headers.append(std::make_pair(QByteArray("WWW-Authenticate"),
                                        QByteArray("Basic realm=\"telvar\", charset=\"UTF-8\"")));
    send(p, a);
}

void server::send_page(const std::shared_ptr<pending>& p, const QString& file,
                       const QByteArray& type)
{
    QFile f(file);
    if (!f.open(QIODevice::ReadOnly)) {
        send_error(p, 404, QStringLiteral("not_found"), QStringLiteral("the page is not built in"));
        return;
    }
    answer a;
    a.type = type;
    a.body = f.readAll();
    send(p, a);
}

void server::redirect(const std::shared_ptr<pending>& p, const QByteArray& to,
                      const QByteArray& cookie)
{
    answer a;
    a.status = 303;
    a.headers.append(std::make_pair(QByteArray("Location"), to));
    if (!cookie.isEmpty())
        a.headers.append(std::make_pair(QByteArray("Set-Cookie"), cookie));
    send(p, a);
}

QJsonObject server::lines_now()
{
    QJsonObject out;
    local::request r;
    r.what = local::request_kind::lines;
    dispatcher_.carry_out(r, nullptr, [&out](const QJsonObject& o) { out = o; });
    return out;
}

bool server::serves(const QString& line, int address, QJsonObject* board)
{
    for (const QJsonValue& l : lines_now().value(QStringLiteral("lines")).toArray()) {
        if (l[QStringLiteral("line")].toString() != line)
            continue;
        for (const QJsonValue& b : l[QStringLiteral("boards")].toArray())
            if (b[QStringLiteral("address")].toInt() == address) {
                if (board)
                    *board = b.toObject();
                return true;
            }
    }
    return false;
}

void server::handle(const std::shared_ptr<pending>& p, const incoming& in)
{
    const api_result read = read_api_request(in.method, in.path, in.body);
    // A POST from a page of another site is refused whatever it asks; so are
    // forms posted cross-site to the login.
    if (in.method == "POST" && !in.origin.isEmpty() && !same_origin(in.origin, in.host, in.scheme)) {
        send_error(p, 403, QStringLiteral("no_permission"),
                   QStringLiteral("a request from another site's page (Origin %1) is refused")
                       .arg(QString::fromLatin1(in.origin.left(100))));
        return;
    }
    if (!read.ok) {
        send_error(p, read.refusal.status, read.refusal.code, read.refusal.message,
                   read.refusal.allow);
        return;
    }
    const api_request& a = read.request;
    const bool open_to_all = a.what == route::login || a.what == route::login_page
                             || (a.what == route::page_file
                                 && (a.file.endsWith(QLatin1String("style.css"))
                                     || a.file.endsWith(QLatin1String("icon.svg"))));
    bool failed = false;
    if (!open_to_all && !authorized(in, &failed)) {
        if (a.what == route::page_file) {
            // Relative, so that the page also works under a proxy's sub-path.
            redirect(p, "login");
            return;
        }
        send_error(p, 401, QStringLiteral("no_permission"),
                   failed ? QStringLiteral("wrong password")
                          : QStringLiteral("log in first: POST /login with the password, or "
                                           "HTTP Basic with any user name and the password"));
        return;
    }
    switch (a.what) {
    case route::page_file:
        send_page(p, a.file, a.type);
        return;
    case route::login_page:
        if (!guard_.required())
            redirect(p, "./");
        else
            send_page(p, QStringLiteral(":/web/login.html"), "text/html; charset=utf-8");
        return;
    case route::login: {
        if (!guard_.required()) {
            redirect(p, "./");
            return;
        }
        // Form encoding writes a space as +; QUrlQuery leaves + alone.
        QByteArray form = in.body;
        form.replace('+', "%20");
        const QString given = QUrlQuery(QString::fromLatin1(form))
                                  .queryItemValue(QStringLiteral("password"), QUrl::FullyDecoded);
        if (!guard_.password_matches(given.toUtf8())) {
            guard_.failed(in.from);
            qCInfo(web_log, "wrong password from %s", qUtf8Printable(in.from.toString()));
            redirect(p, "login?wrong#wrong");
            return;
        }
        guard_.succeeded(in.from);
        QByteArray cookie = session_cookie + '='
                            + guard_.open_session(QDateTime::currentMSecsSinceEpoch())
                            + "; Path=/; Max-Age=" + QByteArray::number(session_lifetime_ms / 1000)
                            + "; HttpOnly; SameSite=Strict";
        if (in.scheme == "https")
            cookie += "; Secure";
        redirect(p, "./", cookie);
        return;
    }
    case route::lines:
        send_json(p, 200, lines_now());
        return;
    case route::metrics: {
        metrics_snapshot snap = metrics_ ? metrics_() : metrics_snapshot{};
        snap.web_clients = event_clients();
        answer m;
        m.type = "text/plain; version=0.0.4; charset=utf-8";
        m.body = metrics_text(snap);
        send(p, m);
        return;
    }
    case route::events:
        send_error(p, 400, QStringLiteral("usage"),
                   QStringLiteral("/api/events is a WebSocket: open it with an Upgrade request"));
        return;
    case route::board:
    case route::parameters:
    case route::call:
        if (!serves(a.r.line, a.r.address, nullptr)) {
            send_error(p, 404, QStringLiteral("not_found"),
                       QStringLiteral("the service serves no board %1 on a line named \"%2\"; "
                                      "GET /api/lines lists them")
                           .arg(a.r.address)
                           .arg(a.r.line));
            return;
        }
        if (a.what == route::parameters)
            read_parameters(p, a, 0, {});
        else
            carry_out(p, a);
        return;
    }
}

void server::carry_out(const std::shared_ptr<pending>& p, const api_request& a)
{
    QPointer<server> self(this);
    const route what = a.what;
    const local::request r = a.r;
    dispatcher_.carry_out(r, p, [self, p, what, r](const QJsonObject& o) {
        if (!self || !o.contains(QStringLiteral("ok")))
            return;  // a scan's finds; not asked for here
        if (!o.value(QStringLiteral("ok")).toBool()) {
            self->send_json(p, http_status(o.value(QStringLiteral("error")).toString()), o);
            return;
        }
        QJsonObject out = o;
        if (what == route::board) {
            QJsonObject board;
            self->serves(r.line, r.address, &board);
            out.insert(QStringLiteral("name"), board.value(QStringLiteral("name")));
            out.insert(QStringLiteral("available"), board.value(QStringLiteral("available")));
            out.insert(QStringLiteral("quality"), board.contains(QStringLiteral("quality"))
                                                      ? board.value(QStringLiteral("quality"))
                                                      : QJsonValue());
        }
        self->send_json(p, 200, out);
    });
}

void server::read_parameters(const std::shared_ptr<pending>& p, const api_request& a, int step,
                             QJsonObject so_far)
{
    static const link::parameter order[] = {link::parameter::host_id, link::parameter::host_channel,
                                            link::parameter::slave_id,
                                            link::parameter::slave_channel};
    if (step == 4) {
        so_far.insert(QStringLiteral("ok"), true);
        so_far.insert(QStringLiteral("line"), a.r.line);
        so_far.insert(QStringLiteral("address"), a.r.address);
        send_json(p, 200, so_far);
        return;
    }
    api_request next = a;
    next.r.what = local::request_kind::get;
    next.r.param = order[step];
    QPointer<server> self(this);
    dispatcher_.carry_out(next.r, p, [self, p, next, step, so_far](const QJsonObject& o) mutable {
        if (!self || !o.contains(QStringLiteral("ok")))
            return;
        if (!o.value(QStringLiteral("ok")).toBool()) {
            self->send_json(p, http_status(o.value(QStringLiteral("error")).toString()), o);
            return;
        }
        so_far.insert(local::parameter_name(next.r.param), o.value(QStringLiteral("value")));
        self->read_parameters(p, next, step + 1, so_far);
    });
}

void server::accept_streams()
{
    while (hasPendingWebSocketConnections()) {
        std::unique_ptr<QWebSocket> ws = nextPendingWebSocketConnection();
        if (!ws)
            continue;
        QWebSocket* raw = ws.get();
        auto s = std::make_unique<stream>();
        s->socket = std::move(ws);
        s->socket->setMaxAllowedIncomingMessageSize(4096);
        const void* key = s->owner.get();
        connect(raw, &QWebSocket::disconnected, this, [this, raw, key] {
            dispatcher_.forget(key);
            const auto it = streams_.find(raw);
            if (it != streams_.end()) {
                it->second->socket.release()->deleteLater();
                streams_.erase(it);
            }
        });
        std::weak_ptr<int> alive = s->owner;
        QPointer<QWebSocket> guard(raw);
        auto forward = [guard, alive](const QJsonObject& o) {
            if (!guard || alive.expired() || o.contains(QStringLiteral("ok")))
                return;
            guard->sendTextMessage(
                QString::fromUtf8(QJsonDocument(o).toJson(QJsonDocument::Compact)));
            // A reader that does not keep up is let go rather than buffered for.
            if (guard->bytesToWrite() > max_unsent_event_bytes)
                guard->abort();
        };
        QJsonObject hello = lines_now();
        hello.remove(QStringLiteral("id"));
        hello.remove(QStringLiteral("ok"));
        hello.insert(QStringLiteral("event"), QStringLiteral("hello"));
        raw->sendTextMessage(QString::fromUtf8(QJsonDocument(hello).toJson(QJsonDocument::Compact)));
        std::shared_ptr<void> owner = s->owner;
        streams_[raw] = std::move(s);
        local::request sub;
        sub.what = local::request_kind::subscribe;
        dispatcher_.carry_out(sub, owner, forward);
    }
}

} // namespace telvar::web
