// The link's English texts that differ by platform.
#pragma once

#include <QString>

namespace telvar::link {

/** What a user can do when the system refuses a serial device for permissions. */
QString permission_advice();

} // namespace telvar::link
