// The link's receiver under any bytes from the line, arriving in batches of
// any size, with the input dropped at any moment (every frame the link sends
// does that). Checked against a plain reading of the rule: from the last
// drop, the first run of eight that is a valid reply is the next frame, and
// the hunt goes on after it. So no reply is made of bytes from before a
// drop, none is missed, none overlaps another, and the bytes counted as
// skipped are exactly those that began no reply.
#include "fuzz_check.h"
#include "fuzz_port.h"
#include "link/frame_receiver.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <vector>

using namespace telvar;

namespace {

// Every valid reply in @p stream, found by trying each place in turn.
std::vector<frame> reference_frames(const std::vector<std::uint8_t>& stream, std::size_t& next)
{
    std::vector<frame> found;
    while (next + frame_length <= stream.size()) {
        if (!fuzz::reference_accepts(&stream[next])) {
            ++next;
            continue;
        }
        frame f{};
        std::copy(stream.begin() + std::ptrdiff_t(next),
                  stream.begin() + std::ptrdiff_t(next + frame_length), f.begin());
        found.push_back(f);
        next += frame_length;
    }
    return found;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    FuzzedDataProvider input(data, size);
    fuzz::fuzz_port port;
    port.open(1);
    link::frame_receiver receiver;
    std::vector<std::uint8_t> since_drop;
    std::size_t searched = 0;       // of since_drop, how far the reference has looked
    quint64 skipped_before = 0;     // skipped before the last drop
    std::size_t in_frames = 0;      // bytes of frames given since the last drop
    while (input.remaining_bytes() > 0) {
        if (input.ConsumeIntegralInRange<int>(0, 7) == 0) {
            port.discard_input();
            receiver.clear();
            since_drop.clear();
            searched = 0;
            in_frames = 0;
            skipped_before = receiver.bytes_skipped();
            continue;
        }
        const auto batch =
            input.ConsumeBytes<std::uint8_t>(input.ConsumeIntegralInRange<std::size_t>(0, 40));
        since_drop.insert(since_drop.end(), batch.begin(), batch.end());
        port.arrive(batch);
        std::vector<frame> given;
        while (const auto f = receiver.next(port))
            given.push_back(*f);
        FUZZ_CHECK(port.bytes_waiting() == 0);  // every byte is taken as it comes
        const std::vector<frame> expected = reference_frames(since_drop, searched);
        FUZZ_CHECK(given == expected);
        in_frames += given.size() * frame_length;
        // What is neither a frame nor skipped waits as the start of a reply.
        const quint64 skipped = receiver.bytes_skipped() - skipped_before;
        FUZZ_CHECK(skipped + in_frames <= since_drop.size());
        FUZZ_CHECK(since_drop.size() - skipped - in_frames < std::size_t(frame_length));
    }
    return 0;
}
