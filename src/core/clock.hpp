// The clocks of production engines: the wall clock, and elapsed time anchored to it once.
#pragma once

#include <cstdint>

#include "core/vocabulary.hpp"

namespace tolm {

// Milliseconds since 1970 as the core uses them: `ms` itself, or a fatal failure when it is
// negative (a clock set before 1970). Every Clock implementation ends its reading here, so
// that a test clock fails exactly as the wall clock does.
uint64_t ms_since_1970_or_fail(int64_t ms);

// A system clock reading (whole seconds and a nanosecond part in [0, 1e9), seconds negative
// before 1970) as signed milliseconds: seconds * 1000 + nanoseconds / 1000000, the remainder
// dropped. Negative exactly when the seconds are.
constexpr int64_t reading_to_ms(int64_t seconds, int64_t nanoseconds) noexcept {
    return seconds * 1000 + nanoseconds / 1000000;
}

// Reads the operating system's real-time clock: whole seconds times 1000 plus the
// sub-second nanoseconds divided by 1000000, a fresh reading on every call. Stateless, so one
// instance serves every engine and thread.
class WallClock final : public Clock {
  public:
    uint64_t now_ms() override;
};

// The process's one WallClock.
WallClock& wall_clock() noexcept;

// The wall clock's reading at the anchor plus the host's monotonic time since then: a time
// that never steps back, so stepping the wall clock (an operator, NTP) changes no allowance
// and no reported wait. Anchored by whoever creates the state it times: an engine at its
// creation, a shared region when it is made (every process of the region then reads the same
// time).
class AnchoredClock final : public Clock {
  public:
    AnchoredClock(uint64_t anchor_wall_ms, uint64_t anchor_monotonic_ns) noexcept
        : anchor_wall_ms_(anchor_wall_ms), anchor_monotonic_ns_(anchor_monotonic_ns) {}
    // Anchored now: the wall clock and the monotonic clock read once each.
    static AnchoredClock anchored_now();
    uint64_t now_ms() override;

  private:
    uint64_t anchor_wall_ms_;
    uint64_t anchor_monotonic_ns_;
};

}  // namespace tolm
