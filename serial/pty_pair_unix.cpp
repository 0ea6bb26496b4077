#include "serial/pty_pair.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

namespace telvar {

pty_pair::~pty_pair()
{
    close_far();
}

bool pty_pair::create()
{
    close_far();
    far_ = ::posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (far_ < 0 || ::grantpt(far_) != 0 || ::unlockpt(far_) != 0) {
        error_ = QString::fromLocal8Bit(std::strerror(errno));
        close_far();
        return false;
    }
    const char* name = ::ptsname(far_);
    if (!name) {
        error_ = QString::fromLocal8Bit(std::strerror(errno));
        close_far();
        return false;
    }
    device_ = QString::fromLocal8Bit(name);
    keep_ = ::open(name, O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (keep_ >= 0) {
        termios tio{};
        if (::tcgetattr(keep_, &tio) == 0) {
            ::cfmakeraw(&tio);
            ::tcsetattr(keep_, TCSANOW, &tio);
        }
    }
    return true;
}

long pty_pair::write_far(const void* data, long size)
{
    if (far_ < 0)
        return -1;
    long done = 0;
    const auto* bytes = static_cast<const char*>(data);
    while (done < size) {
        const ssize_t n = ::write(far_, bytes + done, static_cast<size_t>(size - done));
        if (n > 0) {
            done += n;
        } else if (n < 0 && errno == EAGAIN) {
            ::usleep(1000);
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else {
            return done > 0 ? done : -1;
        }
    }
    return done;
}

long pty_pair::read_far(void* data, long size)
{
    if (far_ < 0)
        return -1;
    const ssize_t n = ::read(far_, data, static_cast<size_t>(size));
    return n > 0 ? static_cast<long>(n) : 0;
}

void pty_pair::close_far()
{
    if (keep_ >= 0)
        ::close(keep_);
    if (far_ >= 0)
        ::close(far_);
    keep_ = far_ = -1;
}

} // namespace telvar
