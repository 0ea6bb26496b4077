#include "serial/pty_pair.h"

namespace telvar {

pty_pair::~pty_pair() = default;

bool pty_pair::create()
{
    error_ = QStringLiteral("pseudo-terminals are not available on Windows; "
                            "use a null-modem cable or a virtual COM port pair");
    return false;
}

long pty_pair::write_far(const void*, long) { return -1; }
long pty_pair::read_far(void*, long) { return -1; }
void pty_pair::close_far() {}

} // namespace telvar
