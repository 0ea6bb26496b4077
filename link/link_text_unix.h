// The permission advice for a chosen account, so that tests can ask what a
// user other than the one running them would be told.
#pragma once

#include <QList>
#include <QString>

#include <sys/types.h>

namespace telvar::link {

struct account {
    uid_t uid = 0;
    gid_t gid = 0;
    QList<gid_t> groups;  // supplementary
};

/** The account this process runs as (effective ids and supplementary groups). */
account current_account();

/** permission_advice() as account @p who would be told it. */
QString permission_advice(const QString& device, const account& who);

} // namespace telvar::link
