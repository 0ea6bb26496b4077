// The web front: the page, the HTTP API, the event stream on a WebSocket
// and /metrics, on Qt HttpServer. An API request becomes a local::request
// carried out by the dispatcher the local socket uses too, and is answered
// once the board has answered. Every answer carries the same strict
// security headers; a set password guards everything but the login page.
#pragma once

#include "web/api_request.h"
#include "web/login_guard.h"
#include "web/metrics.h"

#include <QAbstractHttpServer>
#include <QHostAddress>
#include <QJsonObject>
#include <QPointer>

#include <functional>
#include <map>
#include <memory>

class QTcpSocket;
class QWebSocket;

namespace telvar::local {
class dispatcher;
}

namespace telvar::web {

struct server_settings {
    QHostAddress address{QHostAddress::LocalHost};
    quint16 port = 8080;
    QByteArray password;  // empty: no login
    QString certfile;     // with keyfile: HTTPS
    QString keyfile;
};

// Bytes an event stream may have unsent before it is closed.
constexpr qint64 max_unsent_event_bytes = 1024 * 1024;

class server : public QAbstractHttpServer {
    Q_OBJECT
public:
    using metrics_source = std::function<metrics_snapshot()>;

    server(server_settings settings, local::dispatcher& dispatcher, metrics_source metrics,
           QObject* parent = nullptr);
    ~server() override;

    /** Loads the certificate, if any, and listens; false with error(). */
    bool start();
    QString error() const { return error_; }
    /** The port listened on (the one given, or the one picked for port 0). */
    quint16 port() const { return port_; }
    /** "http://127.0.0.1:8080/" */
    QString address_text() const;
    void stop();

    int event_clients() const { return int(streams_.size()); }

protected:
    bool handleRequest(const QHttpServerRequest& request, QTcpSocket* socket) override;
    void missingHandler(const QHttpServerRequest& request, QTcpSocket* socket) override;

private:
    struct pending;
    struct answer;
    struct stream;
    // What a request brought, copied out of Qt's request object.
    struct incoming {
        QByteArray method;
        QString path;
        QByteArray body;
        QByteArray host;
        QByteArray scheme;  // "http" or "https", as the browser sees the page
        QByteArray origin;
        QByteArray cookie;
        QByteArray authorization;
        QHostAddress from;
    };

    void handle(const std::shared_ptr<pending>& p, const incoming& in);
    bool upgrade_allowed(const std::shared_ptr<pending>& p, const incoming& in);
    bool authorized(const incoming& in, bool* failed);
    void send(const std::shared_ptr<pending>& p, const answer& a);
    void send_json(const std::shared_ptr<pending>& p, int status, const QJsonObject& o);
    void send_error(const std::shared_ptr<pending>& p, int status, const QString& code,
                    const QString& message, const QByteArray& allow = {});
    void redirect(const std::shared_ptr<pending>& p, const QByteArray& to,
                  const QByteArray& cookie = {});
    void send_page(const std::shared_ptr<pending>& p, const QString& file, const QByteArray& type);
    void carry_out(const std::shared_ptr<pending>& p, const api_request& a);
    void read_parameters(const std::shared_ptr<pending>& p, const api_request& a, int step,
                         QJsonObject so_far);
    QJsonObject lines_now();
    bool serves(const QString& line, int address, QJsonObject* board);
    void accept_streams();

    server_settings settings_;
    local::dispatcher& dispatcher_;
    metrics_source metrics_;
    login_guard guard_;
    bool https_ = false;
    quint16 port_ = 0;
    QString error_;
    std::map<QWebSocket*, std::unique_ptr<stream>> streams_;
};

} // namespace telvar::web
