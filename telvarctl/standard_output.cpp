#include "telvarctl/standard_output.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace telvar::ctl {

standard_output::standard_output(bool open, QObject* parent) : QObject(parent), closed_(!open) {}

bool standard_output::write(const QString& line)
{
    if (failed_)
        return false;
    if (closed_) {
        fail(QStringLiteral("standard output is closed"));
        return false;
    }
    const QByteArray text = line.toLocal8Bit() + '\n';
    errno = 0;
    const bool written = std::fwrite(text.constData(), 1, std::size_t(text.size()), stdout)
                         == std::size_t(text.size());
    // A line at a time: watch runs into pipes and logs for hours.
    if (std::fflush(stdout) != 0 || !written) {
        const int error = errno;
        fail(QStringLiteral("cannot write to standard output: %1")
                 .arg(error ? QString::fromLocal8Bit(std::strerror(error))
                            : QStringLiteral("write error")));
        return false;
    }
    return true;
}

void standard_output::fail(const QString& why)
{
    if (failed_)
        return;
    failed_ = true;
    emit lost(why);
}

} // namespace telvar::ctl
