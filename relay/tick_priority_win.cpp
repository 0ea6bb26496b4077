#include "relay/tick_priority.h"

namespace telvar {

// Windows already boosts a thread that wakes for its message queue; Qt's
// precise timers use the multimedia timer there.
void request_prompt_wakeups() {}

} // namespace telvar
