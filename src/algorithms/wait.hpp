// The exact waits an algorithm reports beside its verdict (AlgorithmVerdict::admit_after_ms
// and whole_after_ms), found by evaluating the algorithm's own float expression rather than
// trusting a closed form that rounding can put a millisecond early.
#pragma once

#include <cmath>
#include <cstdint>
#include <optional>

namespace tolm {

// The first whole millisecond e >= 0 at which `holds(e)` is true, for a `holds` that stays
// true once it is. `estimate` is the closed-form answer, which float rounding may have put a
// few milliseconds off either way; the search corrects it within a small bound and reports
// nullopt (never) when the answer is not near it or lies beyond exactly representable times.
template <typename Holds>
std::optional<uint64_t> first_ms_where(double estimate, Holds holds) {
    constexpr double kLatestMs = 9.0e15;  // below 2^53: every millisecond is a distinct double
    constexpr int kSlack = 64;
    if (!(estimate < kLatestMs)) return std::nullopt;  // NaN and far beyond any header
    uint64_t ms = estimate > 0.0 ? static_cast<uint64_t>(std::ceil(estimate)) : 0;
    for (int i = 0; i < kSlack && ms > 0 && holds(ms - 1); ++i) --ms;
    for (int i = 0; !holds(ms); ++i) {
        if (i == kSlack) return std::nullopt;
        ++ms;
    }
    return ms;
}

// `from + ms - now` (from >= now), or nullopt when the sum leaves the clock's range.
inline std::optional<uint64_t> wait_from(uint64_t from, std::optional<uint64_t> ms,
                                         uint64_t now) noexcept {
    if (!ms || *ms > UINT64_MAX - from) return std::nullopt;
    return from + *ms - now;
}

}  // namespace tolm
