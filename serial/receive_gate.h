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
            if (waiting() < threshold)
                break;
            const unsigned long long taken_before = taken_;
            missed_ = false;
            if (!raise())
                return;
            // A handler that took nothing waits for more bytes, not another
            // call. One that took some is offered what waits now, even when
            // bytes came while it ran: Qt's port buffers those without a
            // second notice, so the count alone would not show them.
            if (!missed_ && taken_ == taken_before)
                break;
        }
        busy_ = false;
    }

    /** The port calls this for every byte a handler reads. */
    void note_read() { ++taken_; }

    /** @return true while a handler raised by offer() runs. */
    bool busy() const { return busy_; }

private:
    bool busy_ = false;
    bool missed_ = false;  // an offer came while the handler ran
    unsigned long long taken_ = 0;
};

} // namespace telvar
