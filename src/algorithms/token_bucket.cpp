#include "algorithms/token_bucket.hpp"

#include <cmath>
#include <string>

#include "algorithms/wait.hpp"
#include "core/format.hpp"
#include "store/shared_state_map.hpp"

namespace tolm {
namespace {

// fmod(x, 1.0), sign of zero included, without the C library's general remainder loop,
// which is slow for large x: x - trunc(x) is exact for every finite double.
double fraction_of(double x) noexcept {
    return std::copysign(x - std::trunc(x), x);
}

// The tokens a check at `now` finds in the bucket before it takes one: the refill since the
// bucket's last refill time (none while the clock is behind it), capped at `capacity`. Both
// the check and the recovery test compute it here, so they cannot disagree.
//
// The order of these float operations is part of the result: (elapsed / 1000) * rate +
// tokens rounds differently from elapsed * rate / 1000 + tokens or from folding the
// division into the rate, and a bucket then admits one request more or less at a
// boundary. Keep it as written.
double refilled_tokens(const TokenBucketState& state, uint64_t now, double capacity,
                       double refill_rate) noexcept {
    const uint64_t elapsed = now > state.last_refill_ms ? now - state.last_refill_ms : 0;
    const double refilled = (static_cast<double>(elapsed) / 1000.0) * refill_rate + state.tokens;
    // fmin takes the other operand when one is NaN.
    return std::fmin(refilled, capacity);
}

}  // namespace

TokenBucketRecovery::TokenBucketRecovery(double capacity, double refill_rate) noexcept
    : capacity_(capacity),
      refill_rate_(refill_rate),
      possible_(std::isfinite(capacity) && capacity >= 1.0 && std::isfinite(refill_rate) &&
                refill_rate > 0.0) {}

// A new key's check (default read at `now`, as is the check's own reading) ends its refill
// with tokens = capacity and last_refill_ms = now. An existing bucket whose refill at `now`
// reaches capacity ends with the same two values when now >= last_refill_ms; when the clock
// is behind last_refill_ms that time would survive the check, so the bucket is not new. From
// there the verdict depends only on tokens and the settings, so it is the same too. Capacity
// is at least 1, so "the same value" is also the same bits (no -0.0 against 0.0).
//
// With finite settings the refill never is NaN (tokens stay finite; a huge rate gives +inf,
// which fmin caps), and each step of it is a non-decreasing function of elapsed (conversion,
// division, multiplication by a positive rate, addition and fmin all round monotonically).
// So a bucket recovered at `now` is recovered at every later time, and removing it changes
// nothing for a clock that does not step back.
bool TokenBucketRecovery::operator()(const TokenBucketState& state, uint64_t now) const noexcept {
    return now >= state.last_refill_ms &&
           refilled_tokens(state, now, capacity_, refill_rate_) == capacity_;
}

// Later checks refill from last_refill_ms (ahead of `now` when the clock stepped back), by
// the same expression as the check: a request is admitted once one token is there, and the
// whole allowance (the whole tokens a fresh bucket holds) is back once that many are.
void TokenBucket::report_waits(const TokenBucketState& state, uint64_t now,
                               AlgorithmVerdict& verdict) const {
    const double quota = std::floor(capacity_);
    const auto wait_for = [&](double tokens) -> std::optional<uint64_t> {
        if (state.tokens >= tokens) return wait_from(state.last_refill_ms, 0, now);
        if (!(refill_rate_ > 0.0)) return std::nullopt;
        const double estimate = ((tokens - state.tokens) / refill_rate_) * 1000.0;
        return wait_from(state.last_refill_ms,
                         first_ms_where(estimate,
                                        [&](uint64_t ms) {
                                            return refilled_tokens(state, state.last_refill_ms + ms,
                                                                   capacity_,
                                                                   refill_rate_) >= tokens;
                                        }),
                         now);
    };
    // A cost above the capacity is never admitted: the bucket never holds that much.
    if (!verdict.allowed && !(verdict.cost > capacity_)) {
        verdict.admit_after_ms = wait_for(verdict.cost);
    }
    verdict.whole_after_ms = wait_for(quota);
}

uint64_t TokenBucketRecovery::distance(const TokenBucketState& state, uint64_t now) const noexcept {
    if ((*this)(state, now)) return 0;
    if (!possible_) return UINT64_MAX;
    const uint64_t behind = state.last_refill_ms > now ? state.last_refill_ms - now : 0;
    const double missing = capacity_ - refilled_tokens(state, now, capacity_, refill_rate_);
    const uint64_t refill_ms = to_u64_saturating(std::ceil(missing / refill_rate_ * 1000.0));
    const uint64_t total = refill_ms > UINT64_MAX - behind ? UINT64_MAX : refill_ms + behind;
    return total == 0 ? 1 : total;
}

template <typename Store>
void TokenBucket::check_in(Store& states, std::string_view key, Clock& clock,
                           AlgorithmVerdict& verdict) {
    auto state = states.entry_or_insert(key, [this, &clock] {
        return TokenBucketState{capacity_, clock.now_ms()};
    });
    const uint64_t now = clock.now_ms();
    state->tokens = refilled_tokens(*state, now, capacity_, refill_rate_);
    if (now > state->last_refill_ms) state->last_refill_ms = now;

    verdict.clear();
    const double cost = verdict.cost;
    if (state->tokens >= cost) {
        state->tokens -= cost;
        if (refill_rate_ > 0.0 && capacity_ > state->tokens) {
            verdict.retry_after_ms = to_u64_saturating(
                std::ceil(((1.0 - fraction_of(state->tokens)) / refill_rate_) * 1000.0));
        }
        verdict.allowed = true;
        verdict.reason = ReasonCode::within_limit;
    } else {
        if (refill_rate_ > 0.0) {
            verdict.retry_after_ms =
                to_u64_saturating(std::ceil(((cost - state->tokens) / refill_rate_) * 1000.0));
        }
        verdict.allowed = false;
        verdict.reason = ReasonCode::token_exhausted;
    }
    if (verdict.detail_wanted) {
        assign_rounded_text(verdict.detail, state->tokens, " tokens remaining");
    }
    const double whole = std::floor(state->tokens);
    verdict.remaining = to_u64_saturating(whole > 0.0 ? whole : 0.0);
    report_waits(*state, now, verdict);
    state.release(now, recovery_);
}

// A block empties the bucket (a debt stays) and starts its refill at the block's end; a
// refund during a block (refill time ahead of the clock) gives nothing back, so only a reset
// ends a block early. A penalty may take the bucket below zero: the refill pays it off first.
template <typename Store>
void TokenBucket::change_in(Store& states, std::string_view key, Clock& clock,
                            const StateChange& change) {
    auto state = states.entry_or_insert(key, [this, &clock] {
        return TokenBucketState{capacity_, clock.now_ms()};
    });
    const uint64_t now = clock.now_ms();
    switch (change.kind) {
        case StateChange::Kind::reset:
            *state = TokenBucketState{capacity_, now};
            break;
        case StateChange::Kind::adjust:
            if (change.units < 0.0 && state->last_refill_ms > now) break;
            state->tokens = refilled_tokens(*state, now, capacity_, refill_rate_);
            if (now > state->last_refill_ms) state->last_refill_ms = now;
            state->tokens = std::fmin(state->tokens - change.units, capacity_);
            break;
        case StateChange::Kind::block: {
            const double tokens = refilled_tokens(*state, now, capacity_, refill_rate_);
            state->tokens = std::fmin(tokens, 0.0);
            const uint64_t until = now + change.duration_ms;
            state->last_refill_ms = until < now ? UINT64_MAX : until;
            break;
        }
    }
    state.release(now, recovery_);
}

template void TokenBucket::check_in(KeyedStateMap<TokenBucketState>&, std::string_view, Clock&,
                                    AlgorithmVerdict&);
template void TokenBucket::change_in(KeyedStateMap<TokenBucketState>&, std::string_view, Clock&,
                                     const StateChange&);
template void TokenBucket::change_in(SharedStateMap<TokenBucketState>&, std::string_view, Clock&,
                                     const StateChange&);
template void TokenBucket::check_in(SharedStateMap<TokenBucketState>&, std::string_view, Clock&,
                                    AlgorithmVerdict&);

}  // namespace tolm
