// Who may use the local socket, chosen by platform file. On Linux the socket
// file has mode 0660 and the service's group, and each peer's credentials
// are checked against that group as well (root and the service's own user
// always pass; a member by supplementary groups counts). On Windows the
// named pipe's own security stands and every peer that reaches it passes.
#pragma once

#include <QString>
#include <QtGlobal>

namespace telvar::local {

struct peer {
    bool allowed = false;
    QString who;  // "uid 1000 (pi), pid 4242": for the log and the refusal
};

enum class path_kind { none, socket, other };

class socket_access {
public:
    /** Looks @p group up. @return false with @p error when the system has no such group. */
    bool set_group(const QString& group, QString& error);
    QString group() const { return group_name_; }

    /** Makes the folder the socket goes in when it is missing and its parent exists. */
    bool make_folder(const QString& path, QString& error) const;

    /** What lies at @p path: nothing, a socket file (perhaps left by a dead server), or another file. */
    static path_kind kind_of(const QString& path);

    /**
     * Gives the listening socket's file mode 0660 and the group.
     * @return false with @p message when that failed; true with a warning in
     * @p message when the group could not be given (a user who is not in it).
     */
    bool protect(const QString& path, QString& message) const;

    /** Whether the peer connected on @p descriptor may use the service. */
    peer check(qintptr descriptor) const;

    /** What a refused peer is told. */
    QString refusal_text(const peer& p) const;

private:
    QString group_name_;
    unsigned group_id_ = 0;
};

} // namespace telvar::local
