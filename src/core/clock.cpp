#include "core/clock.hpp"

#include "runtime/fatal.hpp"
#include "runtime/platform.hpp"
#include "runtime/shared_region.hpp"

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

AnchoredClock AnchoredClock::anchored_now() {
    const uint64_t wall = wall_clock().now_ms();
    return AnchoredClock(wall, platform::monotonic_ns());
}

uint64_t AnchoredClock::now_ms() {
    const uint64_t monotonic = platform::monotonic_ns();
    // A monotonic reading before the anchor means the anchor outlived a reboot (a shared
    // region kept on disk): it then means nothing, and the wall clock is the best left.
    if (monotonic < anchor_monotonic_ns_) return wall_clock().now_ms();
    return anchor_wall_ms_ + (monotonic - anchor_monotonic_ns_) / 1'000'000;
}

}  // namespace tolm
