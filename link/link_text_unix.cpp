#include "link/link_text.h"

namespace telvar::link {

QString permission_advice()
{
    return QStringLiteral("Add your account to the dialout group "
                          "(sudo usermod -aG dialout $USER), then log out and in again.");
}

} // namespace telvar::link
