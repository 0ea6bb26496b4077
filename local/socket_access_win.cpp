#include "local/socket_access.h"

namespace telvar::local {

// A named pipe has no file, no mode and no group: the pipe's security
// descriptor (the service's account and administrators) decides who reaches
// it, and every peer that does is served.

bool socket_access::set_group(const QString& group, QString&)
{
    group_name_ = group;
    return true;
}

bool socket_access::make_folder(const QString&, QString&) const
{
    return true;
}

path_kind socket_access::kind_of(const QString&)
{
    return path_kind::none;
}

bool socket_access::protect(const QString&, QString&) const
{
    return true;
}

peer socket_access::check(qintptr) const
{
    return {true, QStringLiteral("a local client")};
}

QString socket_access::refusal_text(const peer& p) const
{
    return QStringLiteral("%1 may not use this service").arg(p.who);
}

} // namespace telvar::local
