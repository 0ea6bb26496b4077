#include "local/connection.h"

#include <QSocketNotifier>

#include <cerrno>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>

namespace telvar::local {

namespace {

// What is read from the kernel before the client's requests are taken: while
// this much waits, the socket is not read and the client's writes wait.
constexpr qsizetype read_ahead = 256 * 1024;

} // namespace

struct connection::state {
    int fd = -1;
    std::unique_ptr<QSocketNotifier> reader;
    std::unique_ptr<QSocketNotifier> writer;
    QByteArray in;
    QByteArray out;
    qsizetype out_sent = 0;  // of out, already taken by the client's side
    bool end = false;
    bool closing = false;
};

connection::connection(qintptr descriptor, QObject* parent)
    : QObject(parent), s_(std::make_unique<state>())
{
    s_->fd = int(descriptor);
    ::fcntl(s_->fd, F_SETFL, ::fcntl(s_->fd, F_GETFL) | O_NONBLOCK);
    ::fcntl(s_->fd, F_SETFD, FD_CLOEXEC);
    s_->reader = std::make_unique<QSocketNotifier>(s_->fd, QSocketNotifier::Read);
    s_->writer = std::make_unique<QSocketNotifier>(s_->fd, QSocketNotifier::Write);
    s_->writer->setEnabled(false);

    connect(s_->reader.get(), &QSocketNotifier::activated, this, [this] {
        char buffer[16384];
        while (s_->in.size() < read_ahead) {
            const ssize_t n = ::read(s_->fd, buffer, sizeof buffer);
            if (n > 0) {
                s_->in.append(buffer, qsizetype(n));
                continue;
            }
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
                break;
            s_->reader->setEnabled(false);
            // Gone altogether (killed, closed): the kernel says so beside the end of input.
            pollfd p{s_->fd, 0, 0};
            if (n < 0 || (::poll(&p, 1, 0) == 1 && (p.revents & (POLLHUP | POLLERR)))) {
                abort();
                return;
            }
            s_->end = true;
            break;
        }
        if (s_->in.size() >= read_ahead)
            s_->reader->setEnabled(false);
        emit readable();
    });
    connect(s_->writer.get(), &QSocketNotifier::activated, this, [this] {
        while (s_->out_sent < s_->out.size()) {
            const ssize_t n = ::send(s_->fd, s_->out.constData() + s_->out_sent,
                                     std::size_t(s_->out.size() - s_->out_sent), MSG_NOSIGNAL);
            if (n > 0) {
                s_->out_sent += n;
                continue;
            }
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
                break;
            abort();
            return;
        }
        if (s_->out_sent == s_->out.size()) {
            s_->out.clear();
            s_->out_sent = 0;
            s_->writer->setEnabled(false);
            if (s_->closing) {
                abort();
                return;
            }
        }
        emit written();
    });
}

connection::~connection()
{
    if (s_->fd >= 0)
        ::close(s_->fd);
}

qintptr connection::descriptor() const
{
    return s_->fd;
}

bool connection::is_open() const
{
    return s_->fd >= 0;
}

QByteArray connection::read(qint64 max)
{
    const qsizetype n = std::min<qsizetype>(s_->in.size(), qsizetype(max));
    const QByteArray taken = s_->in.left(n);
    s_->in.remove(0, n);
    if (s_->fd >= 0 && !s_->end && s_->in.size() < read_ahead)
        s_->reader->setEnabled(true);
    return taken;
}

bool connection::at_end() const
{
    return s_->end || s_->fd < 0;
}

void connection::write(const QByteArray& bytes)
{
    if (s_->fd < 0 || s_->closing)
        return;
    s_->out.append(bytes);
    // Out from the event loop: a write never calls back into its writer.
    s_->writer->setEnabled(true);
}

qint64 connection::bytes_to_write() const
{
    return s_->out.size() - s_->out_sent;
}

void connection::close_when_written()
{
    if (s_->fd < 0)
        return;
    s_->closing = true;
    s_->writer->setEnabled(true);
}

void connection::abort()
{
    if (s_->fd < 0)
        return;
    s_->reader->setEnabled(false);
    s_->writer->setEnabled(false);
    ::close(s_->fd);
    s_->fd = -1;
    s_->out.clear();
    s_->out_sent = 0;
    emit closed();
}

} // namespace telvar::local
