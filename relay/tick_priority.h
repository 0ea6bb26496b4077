// Asks the operating system to run the user-interface thread promptly when
// it wakes, so the poll tick leaves on time even while other programs keep
// the processor busy. A request only: where the system has no such knob, or
// refuses, nothing changes.
#pragma once

namespace telvar {

/** Applies to the calling thread; call it from the user-interface thread. */
void request_prompt_wakeups();

} // namespace telvar
