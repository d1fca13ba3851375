#include "algorithms/token_bucket.hpp"

#include <cmath>
#include <string>

#include "core/format.hpp"

namespace tolm {
namespace {

// fmod(x, 1.0), sign of zero included, without the C library's general remainder loop,
// which is slow for large x: x - trunc(x) is exact for every finite double.
double fraction_of(double x) noexcept {
    return std::copysign(x - std::trunc(x), x);
}

}  // namespace

void TokenBucket::check(std::string_view key, Clock& clock, AlgorithmVerdict& verdict) {
    auto state = states_.entry_or_insert(key, [this, &clock] {
        return TokenBucketState{capacity_, clock.now_ms()};
    });
    const uint64_t now = clock.now_ms();
    const uint64_t elapsed = now > state->last_refill_ms ? now - state->last_refill_ms : 0;
    if (now > state->last_refill_ms) state->last_refill_ms = now;

    // The order of these float operations is part of the result: (elapsed / 1000) * rate +
    // tokens rounds differently from elapsed * rate / 1000 + tokens or from folding the
    // division into the rate, and a bucket then admits one request more or less at a
    // boundary. Keep it as written.
    const double refilled = (static_cast<double>(elapsed) / 1000.0) * refill_rate_ + state->tokens;
    // fmin takes the other operand when one is NaN.
    state->tokens = std::fmin(refilled, capacity_);

    verdict.clear();
    if (state->tokens >= 1.0) {
        state->tokens -= 1.0;
        if (refill_rate_ > 0.0 && capacity_ > state->tokens) {
            verdict.retry_after_ms = to_u64_saturating(
                std::ceil(((1.0 - fraction_of(state->tokens)) / refill_rate_) * 1000.0));
        }
        verdict.allowed = true;
        verdict.reason = ReasonCode::within_limit;
    } else {
        if (refill_rate_ > 0.0) {
            verdict.retry_after_ms =
                to_u64_saturating(std::ceil(((1.0 - state->tokens) / refill_rate_) * 1000.0));
        }
        verdict.allowed = false;
        verdict.reason = ReasonCode::token_exhausted;
    }
    if (verdict.detail_wanted) {
        assign_rounded_text(verdict.detail, state->tokens, " tokens remaining");
    }
    const double whole = std::floor(state->tokens);
    verdict.remaining = to_u64_saturating(whole > 0.0 ? whole : 0.0);
}

}  // namespace tolm
