// What the memory checks of the soak tests need: this process's resident
// memory, and whether AddressSanitizer inflates it.
#pragma once

#if defined(__SANITIZE_ADDRESS__)
#define TELVAR_UNDER_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define TELVAR_UNDER_ASAN 1
#endif
#endif

namespace telvar::test {

/** Resident memory of this process in KiB, or -1 where /proc is missing. */
long resident_kib();

} // namespace telvar::test
