// When a port raises its receive event: once at least the threshold of bytes
// waits unread, and again after every handler that took some while the
// threshold still waits. The real port and the in-memory test port both go
// through this, so bytes are grouped alike however the line batches them.
#pragma once

namespace telvar {

class receive_gate {
public:
    /**
     * Raises the receive event while at least @p threshold bytes wait.
     * @param waiting returns the number of unread bytes (0 when closed).
     * @param raise raises the event once; returns false when the handler
     *        destroyed the port, after which nothing of it is touched.
     * A call made while a handler runs (a box spinning the event loop) does
     * nothing; the outer call offers the bytes again once the handler returns.
     */
    template <typename Waiting, typename Raise>
    void offer(long long threshold, Waiting waiting, Raise raise)
    {
        if (busy_) {
            missed_ = true;
            return;
        }
        busy_ = true;
        for (;;) {
            const long long before = waiting();
            if (before < threshold)
                break;
            missed_ = false;
            if (!raise())
                return;
            // A handler that took nothing waits for more bytes, not another
            // call; but bytes that came while it ran are offered again, even
            // when they make up for what it took.
            if (!missed_ && waiting() >= before)
                break;
        }
        busy_ = false;
    }

    /** @return true while a handler raised by offer() runs. */
    bool busy() const { return busy_; }

private:
    bool busy_ = false;
    bool missed_ = false;  // an offer came while the handler ran
};

} // namespace telvar
