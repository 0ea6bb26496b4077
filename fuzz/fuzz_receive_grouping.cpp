// The serial layer's receive event under any batching of the line: bytes
// arrive in batches of any size, the input is discarded at any moment (every
// transmission does that), and more bytes may arrive while a handler runs (a
// message box spinning the event loop). The handler reads one group of 8 per
// event as the windows do. Checked: the event never comes with fewer than 8
// waiting, no read goes beyond what was received, groups are the stream's
// consecutive eights counted from the last discard, and no whole group is
// left waiting once the line goes quiet.
#include "fuzz_check.h"
#include "protocol/frame.h"
#include "serial/receive_gate.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <deque>
#include <vector>

using namespace telvar;

namespace {

struct line {
    receive_gate gate;
    std::deque<std::uint8_t> unread;
    std::vector<std::uint8_t> since_discard;  // every byte received since the last discard
    std::size_t taken = 0;                    // of those, how many a handler read
    int events = 0;
    FuzzedDataProvider* input = nullptr;

    void arrive(const std::vector<std::uint8_t>& bytes)
    {
        unread.insert(unread.end(), bytes.begin(), bytes.end());
        since_discard.insert(since_discard.end(), bytes.begin(), bytes.end());
        gate.offer(frame_length, [this] { return static_cast<long long>(unread.size()); },
                   [this] {
                       on_received();
                       return true;
                   });
    }

    void discard()
    {
        unread.clear();
        since_discard.clear();
        taken = 0;
    }

    std::uint8_t read_byte()
    {
        FUZZ_CHECK(!unread.empty());  // never read beyond what was received
        const std::uint8_t byte = unread.front();
        unread.pop_front();
        gate.note_read();
        return byte;
    }

    // What a window's receive handler does with the event.
    void on_received()
    {
        ++events;
        FUZZ_CHECK(unread.size() >= std::size_t(frame_length));
        std::uint8_t group[frame_length];
        for (auto& byte : group)
            byte = read_byte();
        FUZZ_CHECK(taken + frame_length <= since_discard.size());
        for (int i = 0; i < frame_length; ++i)
            FUZZ_CHECK(group[i] == since_discard[taken + i]);
        taken += frame_length;
        // Sometimes the handler shows a box and the line goes on meanwhile.
        if (input->remaining_bytes() > 0 && input->ConsumeIntegralInRange<int>(0, 3) == 0) {
            const auto batch = input->ConsumeIntegralInRange<std::size_t>(0, 24);
            arrive(input->ConsumeBytes<std::uint8_t>(batch));
        }
    }
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    FuzzedDataProvider input(data, size);
    line port;
    port.input = &input;
    while (input.remaining_bytes() > 0) {
        if (input.ConsumeIntegralInRange<int>(0, 7) == 0) {
            port.discard();
        } else {
            const auto batch = input.ConsumeIntegralInRange<std::size_t>(0, 40);
            port.arrive(input.ConsumeBytes<std::uint8_t>(batch));
        }
        FUZZ_CHECK(!port.gate.busy());
        FUZZ_CHECK(port.taken + port.unread.size() == port.since_discard.size());
        // Quiet line: every whole group has been handed to the handler.
        FUZZ_CHECK(port.unread.size() < std::size_t(frame_length));
    }
    return 0;
}
