#include "link/link_text.h"

namespace telvar::link {

QString permission_advice()
{
    return QStringLiteral("Check that no other program uses the port; if none does, "
                          "run the program as an administrator.");
}

} // namespace telvar::link
