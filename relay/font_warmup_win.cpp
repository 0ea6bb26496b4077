#include "relay/font_warmup.h"

namespace telvar {

// Windows keeps its fonts' list itself; there is nothing to load ahead.
struct font_warmup::loader {};

font_warmup::font_warmup() = default;
font_warmup::~font_warmup() = default;
void font_warmup::wait() {}

} // namespace telvar
