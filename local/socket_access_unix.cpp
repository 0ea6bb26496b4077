#include "local/socket_access.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <cstring>
#include <grp.h>
#include <pwd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <vector>

namespace telvar::local {

namespace {

QString why(int error)
{
    return QString::fromLocal8Bit(std::strerror(error));
}

QString user_name(uid_t uid)
{
    std::vector<char> buffer(16384);
    passwd entry{};
    passwd* found = nullptr;
    if (::getpwuid_r(uid, &entry, buffer.data(), buffer.size(), &found) != 0 || !found)
        return {};
    return QString::fromLocal8Bit(found->pw_name);
}

// The peer's supplementary groups as the kernel saw them at connect time;
// where the kernel cannot tell (before Linux 4.13), those of its user.
std::vector<gid_t> peer_groups(int fd, const ucred& cred)
{
    std::vector<gid_t> groups(64);
    for (int attempt = 0; attempt < 2; ++attempt) {
        socklen_t size = socklen_t(groups.size() * sizeof(gid_t));
        if (::getsockopt(fd, SOL_SOCKET, SO_PEERGROUPS, groups.data(), &size) == 0) {
            groups.resize(size / sizeof(gid_t));
            return groups;
        }
        if (errno != ERANGE)
            break;
        groups.resize(size / sizeof(gid_t) + 1);
    }
    const QByteArray name = user_name(cred.uid).toLocal8Bit();
    if (name.isEmpty())
        return {};
    int count = 64;
    groups.assign(std::size_t(count), 0);
    if (::getgrouplist(name.constData(), cred.gid, groups.data(), &count) < 0) {
        groups.assign(std::size_t(count), 0);
        if (::getgrouplist(name.constData(), cred.gid, groups.data(), &count) < 0)
            return {};
    }
    groups.resize(std::size_t(count));
    return groups;
}

} // namespace

bool socket_access::set_group(const QString& group, QString& error)
{
    std::vector<char> buffer(16384);
    struct group entry {};
    struct group* found = nullptr;
    const QByteArray name = group.toLocal8Bit();
    const int failed = ::getgrnam_r(name.constData(), &entry, buffer.data(), buffer.size(), &found);
    if (failed != 0 || !found) {
        error = QStringLiteral("the group \"%1\" that may use the socket does not exist on this "
                               "system%2: create it (sudo groupadd %1) or name another one")
                    .arg(group, failed != 0 ? QStringLiteral(" (") + why(failed) + QLatin1Char(')')
                                            : QString());
        return false;
    }
    group_name_ = group;
    group_id_ = found->gr_gid;
    return true;
}

bool socket_access::make_folder(const QString& path, QString& error) const
{
    const QFileInfo socket(path);
    const QString folder = socket.absolutePath();
    if (QFileInfo(folder).isDir())
        return true;
    // Only the socket's own folder is ours to make: a missing /run or
    // runtime folder is a fault of the set-up, not something to paper over.
    const QString parent = QFileInfo(folder).absolutePath();
    if (!QFileInfo(parent).isDir()) {
        error = QStringLiteral("cannot make the socket's folder %1: %2 does not exist").arg(folder, parent);
        return false;
    }
    if (::mkdir(QFile::encodeName(folder).constData(), 0755) != 0 && errno != EEXIST) {
        error = QStringLiteral("cannot make the socket's folder %1: %2").arg(folder, why(errno));
        return false;
    }
    return true;
}

path_kind socket_access::kind_of(const QString& path)
{
    struct stat st {};
    if (::lstat(QFile::encodeName(path).constData(), &st) != 0)
        return errno == ENOENT ? path_kind::none : path_kind::other;
    return S_ISSOCK(st.st_mode) ? path_kind::socket : path_kind::other;
}

bool socket_access::protect(const QString& path, QString& message) const
{
    const QByteArray file = QFile::encodeName(path);
    if (::chmod(file.constData(), 0660) != 0) {
        message = QStringLiteral("cannot set the mode of %1: %2").arg(path, why(errno));
        return false;
    }
    if (::chown(file.constData(), uid_t(-1), gid_t(group_id_)) != 0) {
        const int error = errno;
        // A user's own instance may run outside the group: the socket is then its user's alone.
        message = QStringLiteral("cannot give %1 to group %2 (%3): only its owner can use it")
                      .arg(path, group_name_, why(error));
    }
    return true;
}

peer socket_access::check(qintptr descriptor) const
{
    peer p;
    const int fd = int(descriptor);
    ucred cred{};
    socklen_t size = sizeof cred;
    if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &size) != 0) {
        p.who = QStringLiteral("a client whose credentials cannot be read (%1)").arg(why(errno));
        return p;
    }
    const QString name = user_name(cred.uid);
    p.who = QStringLiteral("uid %1%2, pid %3")
                .arg(cred.uid)
                .arg(name.isEmpty() ? QString() : QStringLiteral(" (%1)").arg(name))
                .arg(cred.pid);
    if (cred.uid == 0 || cred.uid == ::geteuid() || cred.gid == gid_t(group_id_)) {
        p.allowed = true;
        return p;
    }
    for (gid_t g : peer_groups(fd, cred))
        if (g == gid_t(group_id_))
            p.allowed = true;
    return p;
}

QString socket_access::refusal_text(const peer& p) const
{
    return QStringLiteral("%1 may not use this service: only root, the service's own user and "
                          "members of group %2 may. Add the account to the group (sudo usermod "
                          "-aG %2 USER), then log out and in again")
        .arg(p.who, group_name_);
}

} // namespace telvar::local
