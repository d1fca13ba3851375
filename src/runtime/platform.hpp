// The operating-system calls the library makes, in one place: wall clock, processor
// count and random bytes. Module lookup for Node-API lives with the Node binding.
#pragma once

#include <time.h>

#include <cstddef>
#include <cstdint>

namespace tolm::platform {

// The wall clock as whole seconds and nanoseconds since 1970-01-01T00:00:00Z, read with
// clock_gettime(CLOCK_REALTIME) through the C library (tests interpose that symbol).
// `seconds` is negative for a clock set before 1970.
struct WallClockReading {
    int64_t seconds;
    int64_t nanoseconds;  // 0..999999999
};
[[noreturn]] void wall_clock_failed() noexcept;
// Inline: a check reads the clock up to three times, and a call layer would add to each.
inline WallClockReading read_wall_clock() noexcept {
    timespec ts{};
    if (::clock_gettime(CLOCK_REALTIME, &ts) != 0) wall_clock_failed();
    return {static_cast<int64_t>(ts.tv_sec), static_cast<int64_t>(ts.tv_nsec)};
}

// Logical processors online; 0 when the system does not say.
uint64_t logical_processor_count() noexcept;

// Fills `out` with bytes from the kernel's random generator. Aborts the process when the
// generator fails, since hash keys must never be predictable.
void fill_random(void* out, size_t size) noexcept;

}  // namespace tolm::platform
