// The local front: a QLocalServer at the path it is given (a Unix-domain
// socket on Linux, a named pipe on Windows) serving JSON lines to every
// client at once through one dispatcher. It makes the socket's folder when
// that is its own to make, refuses to start while another server answers
// at the path, replaces a socket file left by a dead one, and lets in only
// the peers socket_access allows.
//
//   local::dispatcher lines({{"main", &link, port, {{1, "Pump house"}}}});
//   local::server front(settings, lines);
//   if (!front.start()) fail(front.error());
//
// The links outlive the dispatcher, and the dispatcher the server.
#pragma once

#include "local/client.h"
#include "local/dispatch.h"
#include "local/socket_access.h"

#include <QList>
#include <QObject>
#include <QString>

#include <memory>

class QLocalServer;

namespace telvar::local {

struct server_settings {
    QString path;                            // e.g. /run/telvar/telvard.sock
    QString group = QStringLiteral("dialout");  // who may use it besides root and the service
    client_limits limits;
};

class server : public QObject {
    Q_OBJECT
public:
    server(server_settings settings, dispatcher& lines, QObject* parent = nullptr);
    ~server() override;

    /** Listens at the path. @return false with error() saying what is wrong and what to do. */
    bool start();
    /** Ends every client and removes the socket file. */
    void stop();

    QString error() const { return error_; }
    /** start() failed because another server answers at the path. */
    bool taken() const { return taken_; }
    QString path() const { return settings_.path; }
    int client_count() const { return int(clients_.size()); }

signals:
    /** What the service's log shows: start, a replaced socket, refused and cut-off clients. */
    void logged(QtMsgType level, const QString& text);

private:
    bool fail(const QString& why);
    void accept(qintptr descriptor);
    void refuse(connection* stream, const peer& p);

    server_settings settings_;
    dispatcher& lines_;
    socket_access access_;
    std::unique_ptr<QLocalServer> listener_;
    QList<client*> clients_;
    int next_number_ = 1;
    QString error_;
    bool taken_ = false;
};

} // namespace telvar::local
