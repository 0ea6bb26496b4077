#include "local/connection.h"

#include <QLocalSocket>

namespace telvar::local {

// A pipe's client either talks or is gone: there is no half-closed state to
// keep answering into, so Qt's own socket does all that is needed.
struct connection::state {
    QLocalSocket* socket = nullptr;
    bool gone = false;
};

connection::connection(qintptr descriptor, QObject* parent)
    : QObject(parent), s_(std::make_unique<state>())
{
    s_->socket = new QLocalSocket(this);
    s_->socket->setReadBufferSize(256 * 1024);
    connect(s_->socket, &QLocalSocket::readyRead, this, &connection::readable);
    connect(s_->socket, &QLocalSocket::bytesWritten, this, &connection::written);
    connect(s_->socket, &QLocalSocket::disconnected, this, [this] {
        if (s_->gone)
            return;
        s_->gone = true;
        emit closed();
    });
    s_->socket->setSocketDescriptor(descriptor);
}

connection::~connection() = default;

qintptr connection::descriptor() const
{
    return s_->socket->socketDescriptor();
}

bool connection::is_open() const
{
    return !s_->gone;
}

QByteArray connection::read(qint64 max)
{
    return s_->socket->read(max);
}

bool connection::at_end() const
{
    return s_->gone;
}

void connection::write(const QByteArray& bytes)
{
    if (!s_->gone)
        s_->socket->write(bytes);
}

qint64 connection::bytes_to_write() const
{
    return s_->socket->bytesToWrite();
}

void connection::close_when_written()
{
    s_->socket->disconnectFromServer();
}

void connection::abort()
{
    s_->socket->abort();
    if (!s_->gone) {
        s_->gone = true;
        emit closed();
    }
}

} // namespace telvar::local
