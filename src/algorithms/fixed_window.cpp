#include "algorithms/fixed_window.hpp"

#include <string>

#include "algorithms/wait.hpp"
#include "core/format.hpp"
#include "store/shared_state_map.hpp"

namespace tolm {
namespace {

// How long the key's window has been open at `now`; 0 while the clock is behind its start.
// Both the check and the recovery test compute it here, so they cannot disagree.
uint64_t window_elapsed(const FixedWindowState& state, uint64_t now) noexcept {
    return now > state.window_start_ms ? now - state.window_start_ms : 0;
}

}  // namespace

// A check that finds the window run out sets count = 0 and window_start_ms = now and reports
// reset_after_ms = window_ms before anything else: the state a new key's default (read at
// `now`) starts from, and the reset time its first check reports (elapsed 0). The rest of the
// verdict follows from the count and the limit. Elapsed never decreases as `now` grows, so a
// window run out at `now` has run out at every later time.
bool FixedWindowRecovery::operator()(const FixedWindowState& state, uint64_t now) const noexcept {
    return window_elapsed(state, now) >= window_ms_;
}

// A new window, with the whole allowance, opens at the first check window_ms after this one
// opened (later than reset_after_ms says when the clock stepped back behind the start).
void FixedWindow::report_waits(const FixedWindowState& state, uint64_t now,
                               AlgorithmVerdict& verdict) const {
    const uint64_t from = state.window_start_ms > now ? state.window_start_ms : now;
    const std::optional<uint64_t> reopens =
        wait_from(from, window_ms_ - (from - state.window_start_ms), now);
    verdict.whole_after_ms = limit_ == 0 ? std::optional<uint64_t>(0) : reopens;
    // A request costing more than a whole window's limit is never admitted.
    if (!verdict.allowed && limit_ >= units_of(verdict.cost)) verdict.admit_after_ms = reopens;
}

uint64_t FixedWindowRecovery::distance(const FixedWindowState& state, uint64_t now) const noexcept {
    const uint64_t elapsed = window_elapsed(state, now);
    const uint64_t behind = state.window_start_ms > now ? state.window_start_ms - now : 0;
    return elapsed >= window_ms_ ? 0 : window_ms_ - elapsed + behind;
}

template <typename Store>
void FixedWindow::check_in(Store& states, std::string_view key, Clock& clock,
                           AlgorithmVerdict& verdict) {
    auto state = states.entry_or_insert(key, [&clock] {
        return FixedWindowState{0, clock.now_ms()};
    });
    const uint64_t now = clock.now_ms();
    const uint64_t elapsed = window_elapsed(*state, now);

    verdict.clear();
    if (elapsed < window_ms_) {
        verdict.reset_after_ms = window_ms_ - elapsed;
    } else {
        // A new window opens with this request, whether or not it is then admitted.
        state->count = 0;
        state->window_start_ms = now;
        verdict.reset_after_ms = window_ms_;
    }

    const uint64_t units = units_of(verdict.cost);
    if (state->count < limit_ && units <= limit_ - state->count) {
        state->count += units;
        const uint64_t remaining = limit_ - state->count;
        verdict.remaining = remaining;
        if (verdict.detail_wanted) {
            assign_count_text(verdict.detail, remaining, " requests remaining");
        }
        verdict.allowed = true;
        verdict.reason = ReasonCode::within_limit;
    } else {
        verdict.remaining = 0;
        if (verdict.detail_wanted) verdict.detail = "0 requests remaining";
        verdict.allowed = false;
        verdict.reason = ReasonCode::limit_exceeded;
    }
    report_waits(*state, now, verdict);
    state.release(now, recovery_);
}

// A blocked window holds kBlockedCount, above every limit, and opened so that it runs out at
// the block's end; a refund leaves that count alone, so only a reset (or the window running
// out) ends a block. Penalties count like requests, stopping short of that mark.
template <typename Store>
void FixedWindow::change_in(Store& states, std::string_view key, Clock& clock,
                            const StateChange& change) {
    auto state = states.entry_or_insert(key, [&clock] {
        return FixedWindowState{0, clock.now_ms()};
    });
    const uint64_t now = clock.now_ms();
    const auto open_window_if_run_out = [&] {
        if (window_elapsed(*state, now) >= window_ms_) *state = FixedWindowState{0, now};
    };
    switch (change.kind) {
        case StateChange::Kind::reset:
            *state = FixedWindowState{0, now};
            break;
        case StateChange::Kind::adjust: {
            open_window_if_run_out();
            if (state->count == kBlockedCount) break;
            const uint64_t units = units_of(change.units < 0.0 ? -change.units : change.units);
            if (change.units < 0.0) {
                state->count = units > state->count ? 0 : state->count - units;
            } else {
                const uint64_t room = kBlockedCount - 1 - state->count;
                state->count += units > room ? room : units;
            }
            break;
        }
        case StateChange::Kind::block: {
            const uint64_t until =
                now + change.duration_ms < now ? UINT64_MAX - window_ms_ : now + change.duration_ms;
            state->count = kBlockedCount;
            state->window_start_ms = until >= window_ms_ ? until - window_ms_ : 0;
            break;
        }
    }
    state.release(now, recovery_);
}

template void FixedWindow::check_in(KeyedStateMap<FixedWindowState>&, std::string_view, Clock&,
                                    AlgorithmVerdict&);
template void FixedWindow::change_in(KeyedStateMap<FixedWindowState>&, std::string_view, Clock&,
                                     const StateChange&);
template void FixedWindow::change_in(SharedStateMap<FixedWindowState>&, std::string_view, Clock&,
                                     const StateChange&);
template void FixedWindow::check_in(SharedStateMap<FixedWindowState>&, std::string_view, Clock&,
                                    AlgorithmVerdict&);

}  // namespace tolm
