#include "core/clock.hpp"

#include "runtime/fatal.hpp"
#include "runtime/platform.hpp"

namespace tolm {

uint64_t ms_since_1970_or_fail(int64_t ms) {
    if (ms < 0) raise_fatal("system clock reads earlier than 1970-01-01T00:00:00Z");
    return static_cast<uint64_t>(ms);
}

uint64_t WallClock::now_ms() {
    const platform::WallClockReading reading = platform::read_wall_clock();
    return ms_since_1970_or_fail(reading_to_ms(reading.seconds, reading.nanoseconds));
}

WallClock& wall_clock() noexcept {
    static WallClock clock;
    return clock;
}

}  // namespace tolm
