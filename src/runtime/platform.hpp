// The operating-system calls the library makes, in one place: wall clock, processor
// count and random bytes. Module lookup for Node-API lives with the Node binding.
#pragma once

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
WallClockReading read_wall_clock() noexcept;

// Logical processors online; 0 when the system does not say.
uint64_t logical_processor_count() noexcept;

// Fills `out` with bytes from the kernel's random generator. Aborts the process when the
// generator fails, since hash keys must never be predictable.
void fill_random(void* out, size_t size) noexcept;

}  // namespace tolm::platform
