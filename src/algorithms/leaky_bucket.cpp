#include "algorithms/leaky_bucket.hpp"

#include <cmath>
#include <string>

#include "core/format.hpp"

namespace tolm {

void LeakyBucket::check(std::string_view key, Clock& clock, AlgorithmVerdict& verdict) {
    auto state = states_.entry_or_insert(key, [&clock] {
        return LeakyBucketState{0.0, clock.now_ms()};
    });
    const uint64_t now = clock.now_ms();
    const uint64_t elapsed = now > state->last_leak_ms ? now - state->last_leak_ms : 0;

    // The drain is computed exactly in this order, with the division by -1000 first: written
    // as level - elapsed * rate / 1000 it rounds differently, so a bucket near its capacity
    // could admit a request that this one refuses, or the reverse.
    const double drained = (static_cast<double>(elapsed) / -1000.0) * leak_rate_ + state->level;
    state->level = (drained < 0.0 || std::isnan(drained)) ? 0.0 : drained;
    if (now > state->last_leak_ms) state->last_leak_ms = now;

    verdict.clear();
    if (capacity_ > state->level) {
        state->level += 1.0;
        const double free_space = capacity_ - state->level;
        const double whole = std::floor(free_space);
        verdict.remaining = to_u64_saturating(whole > 0.0 ? whole : 0.0);
        if (verdict.detail_wanted) {
            assign_rounded_text(verdict.detail, free_space, " bucket space remaining");
        }
        verdict.allowed = true;
        verdict.reason = ReasonCode::within_limit;
    } else {
        verdict.remaining = 0;
        if (verdict.detail_wanted) verdict.detail = "0 bucket space remaining";
        verdict.allowed = false;
        verdict.reason = ReasonCode::limit_exceeded;
    }
}

}  // namespace tolm
