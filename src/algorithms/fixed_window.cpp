#include "algorithms/fixed_window.hpp"

#include <string>

#include "core/format.hpp"

namespace tolm {

void FixedWindow::check(std::string_view key, Clock& clock, AlgorithmVerdict& verdict) {
    auto state = states_.entry_or_insert(key, [&clock] {
        return FixedWindowState{0, clock.now_ms()};
    });
    const uint64_t now = clock.now_ms();
    const uint64_t elapsed = now > state->window_start_ms ? now - state->window_start_ms : 0;

    verdict.clear();
    if (elapsed < window_ms_) {
        verdict.reset_after_ms = window_ms_ - elapsed;
    } else {
        // A new window opens with this request, whether or not it is then admitted.
        state->count = 0;
        state->window_start_ms = now;
        verdict.reset_after_ms = window_ms_;
    }

    if (state->count < limit_) {
        ++state->count;
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
}

}  // namespace tolm
