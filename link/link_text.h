// The link's English texts that differ by platform.
#pragma once

#include <QString>

namespace telvar::link {

/**
 * What a user can do when the system refused @p device for permissions. On
 * POSIX systems it is worked out from the device's owner, group and mode and
 * the account the program runs as: a group is named only when joining it
 * would open the device.
 */
QString permission_advice(const QString& device);

} // namespace telvar::link
