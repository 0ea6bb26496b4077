#include "telvarctl/standard_output.h"

#include <QSocketNotifier>

#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

namespace telvar::ctl {

bool prepare_standard_streams()
{
    bool output_open = true;
    for (int fd : {STDIN_FILENO, STDOUT_FILENO, STDERR_FILENO}) {
        if (::fcntl(fd, F_GETFD) != -1)
            continue;
        if (fd == STDOUT_FILENO)
            output_open = false;
        // open() takes the lowest free number, which is fd itself.
        const int held = ::open("/dev/null", O_RDONLY);
        if (held != fd && held >= 0)
            ::close(held);
    }
    std::signal(SIGPIPE, SIG_IGN);
    return output_open;
}

void standard_output::watch_reader()
{
    struct stat st {};
    if (::fstat(STDOUT_FILENO, &st) != 0 || !S_ISFIFO(st.st_mode))
        return;
    // A pipe's write end never polls readable; poll() reports POLLERR on it
    // once no reader is left, which wakes a read notifier.
    auto* notifier = new QSocketNotifier(STDOUT_FILENO, QSocketNotifier::Read, this);
    connect(notifier, &QSocketNotifier::activated, this, [this, notifier] {
        notifier->setEnabled(false);
        pollfd p{STDOUT_FILENO, 0, 0};
        if (::poll(&p, 1, 0) == 1 && (p.revents & POLLERR) != 0)
            fail(QStringLiteral("standard output is a pipe whose reader has gone"));
    });
}

} // namespace telvar::ctl
