// POSIX port numbering, exposed so that tests can lay out a fake /dev and
// port folder. Numbers follow the way Wine numbers serial devices.
#pragma once

#include <QMap>
#include <QString>

namespace telvar {

/** $XDG_CONFIG_HOME/telvar/ports, or ~/.config/telvar/ports. */
QString port_folder();

/**
 * Numbers every port: entries com<n> of @p folder claim n; then ttyS<k>,
 * ttyUSB<k> and ttyACM<k> of @p dev_dir, each family counted from k = 0 up to
 * its first missing node, take the free numbers from 1 upward.
 */
QMap<int, QString> port_table(const QString& folder, const QString& dev_dir);

} // namespace telvar
