// Growing pauses between attempts (a lost device reopened, a broker
// reconnected): the first pause, then each one doubled up to a ceiling, and
// back to the first after a success.
#pragma once

#include <algorithm>

namespace telvar::link {

class backoff {
public:
    backoff(int first_ms, int max_ms) : first_ms_(first_ms), max_ms_(std::max(first_ms, max_ms)) {}

    /** The pause before the next attempt; each call doubles the one after it. */
    int next()
    {
        current_ms_ = current_ms_ == 0 ? first_ms_ : std::min(current_ms_ * 2, max_ms_);
        return current_ms_;
    }
    /** The pause next() gave last, 0 before the first. */
    int current() const { return current_ms_; }
    /** After a success: the next pause is the first again. */
    void reset() { current_ms_ = 0; }

private:
    int first_ms_;
    int max_ms_;
    int current_ms_ = 0;
};

} // namespace telvar::link
