#include "link/link_text.h"

namespace telvar::link {

QString permission_advice(const QString&)
{
    // Windows keeps no owner and mode on a COM port worth showing; it refuses
    // a port that another program holds.
    return QStringLiteral("Check that no other program uses the port; if none does, "
                          "run the program as an administrator.");
}

} // namespace telvar::link
