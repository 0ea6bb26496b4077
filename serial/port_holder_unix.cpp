#include "serial/port_holder.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <csignal>
#include <sys/types.h>
#include <unistd.h>

namespace telvar {

namespace {

bool running(qint64 pid)
{
    // EPERM: it runs, under another account.
    return pid > 0 && (::kill(pid_t(pid), 0) == 0 || errno == EPERM);
}

QString process_name(qint64 pid)
{
    QFile comm(QStringLiteral("/proc/%1/comm").arg(pid));
    if (comm.open(QIODevice::ReadOnly))
        return QString::fromLocal8Bit(comm.readAll()).trimmed();
    return {};
}

// The names a lock file of the device may have: Qt's ("LCK..pts_3" for
// /dev/pts/3) and the classic one after the last part of the name.
QStringList lock_names(const QString& device)
{
    QString relative = device;
    if (relative.startsWith(QLatin1String("/dev/")))
        relative = relative.mid(5);
    QStringList names{QStringLiteral("LCK..") + QString(relative).replace(QLatin1Char('/'),
                                                                          QLatin1Char('_'))};
    const QString last = QStringLiteral("LCK..") + QFileInfo(device).fileName();
    if (!names.contains(last))
        names << last;
    return names;
}

std::optional<port_holder> from_lock_file(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return std::nullopt;
    const QByteArray text = file.read(256);
    // Text: the process id, then (Qt's QLockFile) the program's name and the host.
    const QList<QByteArray> lines = text.split('\n');
    bool ok = false;
    const qint64 pid = lines.value(0).trimmed().toLongLong(&ok);
    if (!ok || !running(pid))
        return std::nullopt;
    port_holder holder{pid, process_name(pid)};
    if (holder.name.isEmpty())
        holder.name = QString::fromLocal8Bit(lines.value(1).trimmed());
    return holder;
}

// A process of this account (or any, as root) that has the device open.
std::optional<port_holder> from_open_files(const QString& device)
{
    const QString target = QFileInfo(device).canonicalFilePath();
    if (target.isEmpty())
        return std::nullopt;
    const qint64 self = ::getpid();
    const QStringList pids = QDir(QStringLiteral("/proc")).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    for (const QString& entry : pids) {
        bool ok = false;
        const qint64 pid = entry.toLongLong(&ok);
        if (!ok || pid == self)
            continue;
        const QDir fds(QStringLiteral("/proc/%1/fd").arg(pid));
        for (const QString& fd : fds.entryList(QDir::System | QDir::NoDotAndDotDot)) {
            if (QFileInfo(fds.filePath(fd)).symLinkTarget() == target)
                return port_holder{pid, process_name(pid)};
        }
    }
    return std::nullopt;
}

} // namespace

QStringList lock_folders()
{
    return {QStringLiteral("/run/lock"), QStringLiteral("/var/lock"), QStringLiteral("/tmp"),
            QStringLiteral("/var/spool/locks"), QStringLiteral("/var/spool/uucp")};
}

std::optional<port_holder> find_port_holder(const QString& device, const QStringList& folders)
{
    const QString real = QFileInfo(device).canonicalFilePath();
    const QString named = real.isEmpty() ? device : real;
    for (const QString& folder : folders)
        for (const QString& name : lock_names(named))
            if (auto holder = from_lock_file(folder + QLatin1Char('/') + name))
                return holder;
    return from_open_files(named);
}

std::optional<port_holder> find_port_holder(const QString& device)
{
    return find_port_holder(device, lock_folders());
}

bool is_service(const port_holder& holder)
{
    return holder.name == QLatin1String("telvard");
}

} // namespace telvar
