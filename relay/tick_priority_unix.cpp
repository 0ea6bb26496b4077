#include "relay/tick_priority.h"

#include <sys/syscall.h>
#include <unistd.h>

#include <cstdint>

namespace telvar {

#if defined(__linux__) && defined(SYS_sched_setattr) && defined(SYS_sched_getattr)

namespace {
// The kernel's struct sched_attr, first version; the C library has no wrapper.
struct sched_attr_v1 {
    std::uint32_t size;
    std::uint32_t sched_policy;
    std::uint64_t sched_flags;
    std::int32_t sched_nice;
    std::uint32_t sched_priority;
    std::uint64_t sched_runtime;
    std::uint64_t sched_deadline;
    std::uint64_t sched_period;
};

// The shortest time slice the kernel grants; a thread that asks for a short
// slice is let run sooner after waking, at no cost in share of the processor.
constexpr std::uint64_t short_slice_ns = 100'000;
constexpr std::uint32_t normal_policy = 0;
} // namespace

void request_prompt_wakeups()
{
    sched_attr_v1 attr{};
    if (syscall(SYS_sched_getattr, 0, &attr, sizeof attr, 0) != 0)
        return;
    // Only the ordinary policy takes a slice request; the nice value stays.
    if (attr.sched_policy != normal_policy)
        return;
    attr.size = sizeof attr;
    attr.sched_flags = 0;
    attr.sched_runtime = short_slice_ns;
    // Kernels before 6.12 ignore the request; that is fine.
    syscall(SYS_sched_setattr, 0, &attr, 0);
}

#else

void request_prompt_wakeups() {}

#endif

} // namespace telvar
