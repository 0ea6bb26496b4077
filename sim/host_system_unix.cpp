#include "sim/host_system.h"

#include "serial/port_mapping_unix.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSocketNotifier>

#include <csignal>
#include <fcntl.h>
#include <unistd.h>

namespace telvar::sim
{

bool com_link::make(int number, const QString& device, QString& error)
{
    remove();
    const QString folder = port_folder();
    if (!QDir().mkpath(folder)) {
        error = QStringLiteral("cannot make the port folder %1").arg(folder);
        return false;
    }
    const QString path = QStringLiteral("%1/com%2").arg(folder).arg(number);
    const QFileInfo entry(path);
    if (entry.exists() || entry.isSymLink()) {
        const QString target = entry.symLinkTarget();
        const bool stale_pty =
            entry.isSymLink() && !entry.exists() && target.startsWith(QLatin1String("/dev/pts/"));
        if (!stale_pty) {
            error = QStringLiteral("%1 already exists%2; choose another --com number")
                        .arg(path,
                             target.isEmpty() ? QString() : QStringLiteral(" (-> %1)").arg(target));
            return false;
        }
        QFile::remove(path);
    }
    if (!QFile::link(device, path)) {
        error = QStringLiteral("cannot link %1 to %2").arg(path, device);
        return false;
    }
    path_ = path;
    target_ = device;
    return true;
}

void com_link::remove()
{
    if (path_.isEmpty())
        return;
    // Someone may have pointed the entry elsewhere meanwhile: leave theirs.
    if (QFileInfo(path_).symLinkTarget() == target_)
        QFile::remove(path_);
    path_.clear();
    target_.clear();
}

namespace
{
int signal_pipe[2] = {-1, -1};

void on_signal(int)
{
    const char byte = 1;
    [[maybe_unused]] const ssize_t n = ::write(signal_pipe[1], &byte, 1);
}
} // namespace

void quit_on_signals(QObject* app)
{
    if (signal_pipe[0] < 0) {
        if (::pipe(signal_pipe) != 0)
            return;
        ::fcntl(signal_pipe[1], F_SETFL, O_NONBLOCK);
    }
    // The handler only writes a byte; the event loop does the quitting.
    auto* notifier = new QSocketNotifier(signal_pipe[0], QSocketNotifier::Read, app);
    QObject::connect(notifier, &QSocketNotifier::activated, app, [] {
        char byte = 0;
        [[maybe_unused]] const ssize_t n = ::read(signal_pipe[0], &byte, 1);
        QCoreApplication::quit();
    });
    struct sigaction action {
    };
    action.sa_handler = on_signal;
    sigemptyset(&action.sa_mask);
    for (int s : {SIGINT, SIGTERM, SIGHUP})
        ::sigaction(s, &action, nullptr);
    // A controller that went away must not kill us mid-write.
    ::signal(SIGPIPE, SIG_IGN);
}

void read_input_lines(QObject* owner, std::function<void(const QString&)> on_line,
                      std::function<void()> on_end)
{
    auto* notifier = new QSocketNotifier(STDIN_FILENO, QSocketNotifier::Read, owner);
    auto pending = std::make_shared<QByteArray>();
    QObject::connect(notifier, &QSocketNotifier::activated, owner, [=] {
        char buffer[1024];
        const ssize_t n = ::read(STDIN_FILENO, buffer, sizeof buffer);
        if (n <= 0) {
            notifier->setEnabled(false);
            on_end();
            return;
        }
        pending->append(buffer, static_cast<int>(n));
        int newline;
        while ((newline = pending->indexOf('\n')) >= 0) {
            const QByteArray line = pending->left(newline);
            pending->remove(0, newline + 1);
            on_line(QString::fromUtf8(line).trimmed());
        }
    });
}

} // namespace telvar::sim
