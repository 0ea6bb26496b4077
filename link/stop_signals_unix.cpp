#include "link/stop_signals.h"

#include <QSocketNotifier>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace telvar::link {

namespace {

constexpr int caught[] = {SIGINT, SIGTERM, SIGHUP};

// The write end for the handler; -1 while no object listens.
std::atomic<int> write_end{-1};

extern "C" void on_signal(int number)
{
    // Only async-signal-safe calls here: one byte into the pair.
    const int saved = errno;
    const int fd = write_end.load();
    if (fd >= 0) {
        const auto byte = static_cast<unsigned char>(number);
        [[maybe_unused]] const auto n = ::write(fd, &byte, 1);
    }
    errno = saved;
}

} // namespace

struct stop_signals::platform {
    int fds[2] = {-1, -1};
    struct sigaction previous[std::size(caught)] = {};
    std::unique_ptr<QSocketNotifier> notifier;
    QString error;
    bool installed = false;
};

stop_signals::stop_signals(QObject* parent) : QObject(parent), p_(std::make_unique<platform>())
{
    if (write_end.load() >= 0) {
        p_->error = QStringLiteral("another stop_signals object already holds the signals");
        return;
    }
    if (::socketpair(AF_UNIX, SOCK_STREAM, 0, p_->fds) != 0) {
        p_->error = QString::fromLocal8Bit(std::strerror(errno));
        return;
    }
    for (int fd : p_->fds) {
        ::fcntl(fd, F_SETFD, FD_CLOEXEC);
        // A full pair must never block the handler; signals then coalesce.
        ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
    }
    write_end.store(p_->fds[0]);
    struct sigaction action = {};
    action.sa_handler = on_signal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (std::size_t i = 0; i < std::size(caught); ++i)
        ::sigaction(caught[i], &action, &p_->previous[i]);
    p_->installed = true;

    p_->notifier = std::make_unique<QSocketNotifier>(p_->fds[1], QSocketNotifier::Read);
    connect(p_->notifier.get(), &QSocketNotifier::activated, this, [this] {
        unsigned char bytes[16];
        const auto n = ::read(p_->fds[1], bytes, sizeof bytes);
        for (ssize_t i = 0; i < n; ++i) {
            const stop_reason why = bytes[i] == SIGINT    ? stop_reason::interrupt
                                    : bytes[i] == SIGTERM ? stop_reason::terminate
                                                          : stop_reason::hangup;
            emit received(why);
            if (why == stop_reason::hangup)
                emit reload_requested();
            else
                emit stop_requested(why);
        }
    });
}

stop_signals::~stop_signals()
{
    if (p_->installed) {
        for (std::size_t i = 0; i < std::size(caught); ++i)
            ::sigaction(caught[i], &p_->previous[i], nullptr);
        write_end.store(-1);
    }
    p_->notifier.reset();
    for (int fd : p_->fds)
        if (fd >= 0)
            ::close(fd);
}

bool stop_signals::ok() const
{
    return p_->installed;
}

QString stop_signals::error() const
{
    return p_->error;
}

QString stop_signals::name(stop_reason why)
{
    switch (why) {
    case stop_reason::interrupt:
        return QStringLiteral("SIGINT");
    case stop_reason::terminate:
        return QStringLiteral("SIGTERM");
    case stop_reason::hangup:
        break;
    }
    return QStringLiteral("SIGHUP");
}

} // namespace telvar::link
