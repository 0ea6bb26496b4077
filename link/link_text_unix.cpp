#include "link/link_text.h"
#include "link/link_text_unix.h"

#include <QFile>
#include <QFileInfo>

#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

namespace telvar::link {

namespace {

QString user_name(uid_t uid)
{
    const passwd* p = ::getpwuid(uid);
    return p ? QString::fromLocal8Bit(p->pw_name) : QString::number(uid);
}

QString group_name(gid_t gid)
{
    const group* g = ::getgrgid(gid);
    return g ? QString::fromLocal8Bit(g->gr_name) : QString::number(gid);
}

} // namespace

account current_account()
{
    account who{::geteuid(), ::getegid(), {}};
    const int n = ::getgroups(0, nullptr);
    if (n > 0) {
        QList<gid_t> list(n);
        const int got = ::getgroups(n, list.data());
        if (got >= 0)
            who.groups = list.mid(0, got);
    }
    return who;
}

QString permission_advice(const QString& device, const account& who)
{
    // A port-folder entry is a link: the advice is about the device it leads to.
    const QString canonical = QFileInfo(device).canonicalFilePath();
    const QString real = canonical.isEmpty() ? device : canonical;
    struct stat st {};
    if (::stat(QFile::encodeName(real).constData(), &st) != 0)
        return QStringLiteral("See who may open it with ls -l %1.").arg(real);

    const QString owner = user_name(st.st_uid);
    const QString grp = group_name(st.st_gid);
    const mode_t mode = st.st_mode & 07777;
    const QString facts = QStringLiteral("%1 belongs to %2, group %3, mode %4")
                              .arg(real, owner, grp)
                              .arg(QString::number(mode, 8).rightJustified(4, QLatin1Char('0')));

    // The system applies one class of bits: the owner's, else the group's, else the others'.
    const bool is_owner = who.uid == st.st_uid;
    const bool in_group = who.gid == st.st_gid || who.groups.contains(st.st_gid);
    const mode_t shift = is_owner ? 6 : in_group ? 3 : 0;
    // Root passes every mode.
    const bool allowed = who.uid == 0 || ((mode >> shift) & 06) == 06;
    const bool group_may = (mode & 060) == 060;

    if (allowed)
        return facts
               + QStringLiteral(", which lets this account in: the refusal comes from "
                                "elsewhere, such as an access control list (getfacl %1), a "
                                "security module, or a service's device policy (DeviceAllow=).")
                     .arg(real);
    if (is_owner)
        return facts
               + QStringLiteral(": not even its owner may read and write it. Run chmod u+rw %1.")
                     .arg(real);
    // Joining the group helps only where the group may read and write, and
    // no ordinary account belongs in root's group.
    if (group_may && st.st_gid != 0)
        return facts
               + QStringLiteral(": add your account to group %1 (sudo usermod -aG %1 %2), "
                                "then log out and in again; for a service, "
                                "SupplementaryGroups=%1 in its unit.")
                     .arg(grp, user_name(who.uid));
    const QString who_may = group_may ? QStringLiteral("only %1 and group %2 may open it, and "
                                                       "no ordinary account belongs in group %2")
                                            .arg(owner, grp)
                                      : QStringLiteral("only %1 may open it; joining a group "
                                                       "does not help")
                                            .arg(owner);
    const bool udev = st.st_uid == 0 && real.startsWith(QLatin1String("/dev/"))
                      && !real.startsWith(QLatin1String("/dev/pts/"));
    const QString remedy =
        udev ? QStringLiteral("Run the program as root, or have a udev rule give the device a "
                              "group of its own (GROUP=\"dialout\", MODE=\"0660\") and put your "
                              "account in that group.")
             : QStringLiteral("Run the program as %1, or have %1 let your account in (chgrp "
                              "and chmod g+rw, or chmod o+rw).")
                   .arg(owner);
    return facts + QStringLiteral(": ") + who_may + QStringLiteral(". ") + remedy;
}

QString permission_advice(const QString& device)
{
    return permission_advice(device, current_account());
}

} // namespace telvar::link
