#include "telvarctl/standard_output.h"

namespace telvar::ctl {

bool prepare_standard_streams()
{
    // Windows has no SIGPIPE, and a missing standard handle gives no number
    // that a port could take over.
    return true;
}

void standard_output::watch_reader()
{
    // A pipe on Windows tells of a gone reader only when written to.
}

} // namespace telvar::ctl
