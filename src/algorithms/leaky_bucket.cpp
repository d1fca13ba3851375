#include "algorithms/leaky_bucket.hpp"

#include <cmath>
#include <string>

#include "algorithms/wait.hpp"
#include "core/format.hpp"
#include "store/shared_state_map.hpp"

namespace tolm {
namespace {

// The level a check at `now` finds in the bucket before it adds to it: drained since the
// bucket's last drain time (nothing while the clock is behind it), and 0.0 when that comes
// out below zero or not a number. Both the check and the recovery test compute it here, so
// they cannot disagree.
//
// The drain is computed exactly in this order, with the division by -1000 first: written
// as level - elapsed * rate / 1000 it rounds differently, so a bucket near its capacity
// could admit a request that this one refuses, or the reverse.
double drained_level(const LeakyBucketState& state, uint64_t now, double leak_rate) noexcept {
    const uint64_t elapsed = now > state.last_leak_ms ? now - state.last_leak_ms : 0;
    const double drained = (static_cast<double>(elapsed) / -1000.0) * leak_rate + state.level;
    return (drained < 0.0 || std::isnan(drained)) ? 0.0 : drained;
}

}  // namespace

LeakyBucketRecovery::LeakyBucketRecovery(double capacity, double leak_rate) noexcept
    : leak_rate_(leak_rate),
      possible_(std::isfinite(capacity) && capacity >= 1.0 && std::isfinite(leak_rate) &&
                leak_rate > 0.0) {}

// A new key's check (default read at `now`, as is the check's own reading) drains its level
// 0.0 to (-0.0 * rate) + 0.0 = +0.0 and keeps last_leak_ms = now. An existing bucket whose
// drain at `now` gives +0.0 ends with the same two values when now >= last_leak_ms; when the
// clock is behind last_leak_ms that time would survive the check, so the bucket is not new.
// From there the verdict depends only on the level and the settings. The sign is tested as
// well as the value: a level of -0.0 would add up and compare like 0.0 (capacity is at least
// 1), but it never arises (levels start at +0.0, and a drain gives -0.0 only from a level of
// -0.0), and requiring +0.0 keeps the claim "the same bits" without that argument.
//
// With finite settings the drained value is never NaN (a huge rate gives -inf, which clamps
// to 0.0), and it is a non-increasing function of elapsed (every step rounds monotonically).
// So a bucket recovered at `now` is recovered at every later time, and removing it changes
// nothing for a clock that does not step back.
bool LeakyBucketRecovery::operator()(const LeakyBucketState& state, uint64_t now) const noexcept {
    if (now < state.last_leak_ms) return false;
    const double level = drained_level(state, now, leak_rate_);
    return level == 0.0 && !std::signbit(level);
}

// Later checks drain from last_leak_ms (ahead of `now` when the clock stepped back), by the
// same expression as the check: a request is admitted once the level is below capacity, and
// the whole allowance is back once the bucket is empty, as a new key's is.
void LeakyBucket::report_waits(const LeakyBucketState& state, uint64_t now,
                               AlgorithmVerdict& verdict) const {
    const auto wait_until = [&](double above, auto holds) -> std::optional<uint64_t> {
        if (holds(state.last_leak_ms)) return wait_from(state.last_leak_ms, 0, now);
        if (!(leak_rate_ > 0.0)) return std::nullopt;
        const double estimate = ((state.level - above) / leak_rate_) * 1000.0;
        return wait_from(
            state.last_leak_ms,
            first_ms_where(estimate, [&](uint64_t ms) { return holds(state.last_leak_ms + ms); }),
            now);
    };
    // A request of cost c is admitted as the last of c plain ones would be: while the level,
    // plus the c - 1 units before it, is below capacity. One that even an empty bucket cannot
    // take is never admitted.
    const double before = verdict.cost - 1.0;
    if (!verdict.allowed && capacity_ > 0.0 + before) {
        verdict.admit_after_ms = wait_until(capacity_ - before, [&](uint64_t at) {
            return capacity_ > drained_level(state, at, leak_rate_) + before;
        });
    }
    verdict.whole_after_ms =
        wait_until(0.0, [&](uint64_t at) { return drained_level(state, at, leak_rate_) == 0.0; });
}

uint64_t LeakyBucketRecovery::distance(const LeakyBucketState& state, uint64_t now) const noexcept {
    if ((*this)(state, now)) return 0;
    if (!possible_) return UINT64_MAX;
    const uint64_t behind = state.last_leak_ms > now ? state.last_leak_ms - now : 0;
    const double level = drained_level(state, now, leak_rate_);
    const uint64_t drain_ms = to_u64_saturating(std::ceil(level / leak_rate_ * 1000.0));
    const uint64_t total = drain_ms > UINT64_MAX - behind ? UINT64_MAX : drain_ms + behind;
    return total == 0 ? 1 : total;
}

template <typename Store>
void LeakyBucket::check_in(Store& states, std::string_view key, Clock& clock,
                           AlgorithmVerdict& verdict) {
    auto state = states.entry_or_insert(key, [&clock] {
        return LeakyBucketState{0.0, clock.now_ms()};
    });
    const uint64_t now = clock.now_ms();
    state->level = drained_level(*state, now, leak_rate_);
    if (now > state->last_leak_ms) state->last_leak_ms = now;

    verdict.clear();
    // Admitted as the last of `cost` plain requests would be (see report_waits); for a cost of
    // one, level + 0.0 compares exactly as the level.
    const double cost = verdict.cost;
    if (capacity_ > state->level + (cost - 1.0)) {
        state->level += cost;
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
    report_waits(*state, now, verdict);
    state.release(now, recovery_);
}

// A block fills the bucket and starts its drain at the block's end; a refund during a block
// (drain time ahead of the clock) gives nothing back, so only a reset ends a block early.
template <typename Store>
void LeakyBucket::change_in(Store& states, std::string_view key, Clock& clock,
                            const StateChange& change) {
    auto state = states.entry_or_insert(key, [&clock] {
        return LeakyBucketState{0.0, clock.now_ms()};
    });
    const uint64_t now = clock.now_ms();
    switch (change.kind) {
        case StateChange::Kind::reset:
            *state = LeakyBucketState{0.0, now};
            break;
        case StateChange::Kind::adjust: {
            if (change.units < 0.0 && state->last_leak_ms > now) break;
            state->level = drained_level(*state, now, leak_rate_);
            if (now > state->last_leak_ms) state->last_leak_ms = now;
            const double level = state->level + change.units;
            state->level = (level < 0.0 || std::isnan(level)) ? 0.0 : level;
            break;
        }
        case StateChange::Kind::block: {
            const double level = drained_level(*state, now, leak_rate_);
            state->level = level > capacity_ ? level : capacity_;
            const uint64_t until = now + change.duration_ms;
            state->last_leak_ms = until < now ? UINT64_MAX : until;
            break;
        }
    }
    state.release(now, recovery_);
}

template void LeakyBucket::check_in(KeyedStateMap<LeakyBucketState>&, std::string_view, Clock&,
                                    AlgorithmVerdict&);
template void LeakyBucket::change_in(KeyedStateMap<LeakyBucketState>&, std::string_view, Clock&,
                                     const StateChange&);
template void LeakyBucket::change_in(SharedStateMap<LeakyBucketState>&, std::string_view, Clock&,
                                     const StateChange&);
template void LeakyBucket::check_in(SharedStateMap<LeakyBucketState>&, std::string_view, Clock&,
                                    AlgorithmVerdict&);

}  // namespace tolm
