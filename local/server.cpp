#include "local/server.h"

#include "local/connection.h"
#include "local/json_forms.h"
#include "local/local_log.h"

#include <QLocalServer>
#include <QLocalSocket>
#include <QTimer>

#include <functional>

namespace telvar::local {

namespace {

// How long a refused peer may take to read its one line.
constexpr int refusal_grace_ms = 5000;

// Hands each accepted descriptor over as it stands, rather than wrapped in a
// QLocalSocket, which cannot answer a client that has shut its sending side.
class descriptor_server : public QLocalServer {
public:
    std::function<void(qintptr)> accepted;

protected:
    void incomingConnection(quintptr descriptor) override { accepted(qintptr(descriptor)); }
};

} // namespace

server::server(server_settings settings, dispatcher& lines, QObject* parent)
    : QObject(parent), settings_(std::move(settings)), lines_(lines)
{
    auto listener = std::make_unique<descriptor_server>();
    listener->accepted = [this](qintptr descriptor) { accept(descriptor); };
    listener_ = std::move(listener);
}

server::~server()
{
    stop();
}

bool server::fail(const QString& why)
{
    error_ = why;
    return false;
}

bool server::start()
{
    const QString& path = settings_.path;
    error_.clear();
    QString why;
    if (!access_.set_group(settings_.group, why) || !access_.make_folder(path, why))
        return fail(why);
    {
        // A live server answers; a socket file without one is refused.
        QLocalSocket probe;
        probe.connectToServer(path);
        if (probe.waitForConnected(1000)) {
            probe.abort();
            taken_ = true;
            return fail(QStringLiteral("another server answers at %1 (is telvard running "
                                       "already?): stop it first (sudo systemctl stop telvard), "
                                       "or give this one another socket")
                            .arg(path));
        }
        if (probe.error() == QLocalSocket::SocketAccessError)
            return fail(QStringLiteral("%1 is there but this user may not connect to it "
                                       "(permission denied): another user's server may be "
                                       "running; stop it, or give this one another socket")
                            .arg(path));
    }
    switch (socket_access::kind_of(path)) {
    case path_kind::none:
        break;
    case path_kind::other:
        return fail(QStringLiteral("%1 exists and is not a socket: move it away, or give the "
                                   "service another socket")
                        .arg(path));
    case path_kind::socket:
        if (!QLocalServer::removeServer(path))
            return fail(QStringLiteral("cannot remove %1, left by a server that is gone: remove "
                                       "it by hand")
                            .arg(path));
        emit logged(QtInfoMsg,
                    QStringLiteral("replaced %1, left by a server that is gone").arg(path));
        break;
    }
    if (!listener_->listen(path))
        return fail(QStringLiteral("cannot listen at %1: %2").arg(path, listener_->errorString()));
    if (!access_.protect(path, why)) {
        listener_->close();
        return fail(why);
    }
    if (!why.isEmpty())
        emit logged(QtWarningMsg, why);
    emit logged(QtInfoMsg, QStringLiteral("serving local clients at %1 (group %2)")
                               .arg(path, access_.group()));
    return true;
}

void server::stop()
{
    if (listener_->isListening())
        listener_->close();
    const QList<client*> now = clients_;
    for (client* c : now)
        c->close();
}

void server::accept(qintptr descriptor)
{
    auto* stream = new connection(descriptor, this);
    const peer p = access_.check(stream->descriptor());
    if (!p.allowed) {
        refuse(stream, p);
        return;
    }
    auto* c = new client(stream, next_number_++, p.who, lines_, settings_.limits, this);
    clients_.append(c);
    connect(c, &client::logged, this, &server::logged);
    connect(c, &client::gone, this, [this](client* gone) {
        clients_.removeOne(gone);
        gone->deleteLater();
    });
    qCDebug(local_log, "client %d connected: %s", c->number(), qUtf8Printable(p.who));
}

void server::refuse(connection* stream, const peer& p)
{
    emit logged(QtWarningMsg, QStringLiteral("refused %1: not root, not the service's user and "
                                             "not in group %2")
                                  .arg(p.who, access_.group()));
    connect(stream, &connection::closed, stream, &QObject::deleteLater);
    QTimer::singleShot(refusal_grace_ms, stream, [stream] { stream->abort(); });
    stream->write(wire_line(refusal(QJsonValue(), QStringLiteral("no_permission"),
                                    access_.refusal_text(p))));
    stream->close_when_written();
}

} // namespace telvar::local
