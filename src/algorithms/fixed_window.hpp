// Fixed window: at most `limit` accepted requests per key in consecutive windows of
// `window_ms`. A key's window opens at its first request, and each later one at the first
// request after the previous window ran out; windows are not aligned to clock minutes.
#pragma once

#include <cstdint>
#include <string_view>

#include "core/vocabulary.hpp"
#include "store/keyed_state_map.hpp"

namespace tolm {

struct FixedWindowState {
    uint64_t count;            // requests accepted in the current window
    uint64_t window_start_ms;  // when the current window opened, ms since 1970
};

// When a key is a new key's again, so that its map may forget it: its window has run out, so
// a check at `now` opens a new one (see fixed_window.cpp). Possible for every limit.
class FixedWindowRecovery {
  public:
    explicit FixedWindowRecovery(uint64_t window_ms) noexcept : window_ms_(window_ms) {}
    bool possible() const noexcept { return true; }
    bool operator()(const FixedWindowState& state, uint64_t now) const noexcept;
    // The ms until the window runs out (0 when it has): what a full store compares to evict
    // the entry that gives away the least.
    uint64_t distance(const FixedWindowState& state, uint64_t now) const noexcept;

  private:
    uint64_t window_ms_;
};

class FixedWindow {
  public:
    FixedWindow(uint64_t window_ms, uint64_t limit)
        : window_ms_(window_ms), limit_(limit), recovery_(window_ms) {}

    // Decides one request for `key` at the time `clock` reads and writes every field of
    // `verdict`, reusing the storage its detail text already has. Throws FatalError when the
    // clock fails; the key's state is then as it was (a new key is not inserted).
    void check(std::string_view key, Clock& clock, AlgorithmVerdict& verdict) {
        check_in(states_, key, clock, verdict);
    }
    // The same check with the states kept in `states` (this object's own map, or a
    // SharedStateMap that other processes share).
    template <typename Store>
    void check_in(Store& states, std::string_view key, Clock& clock, AlgorithmVerdict& verdict);
    // Applies `change` to the state of `key` (inserted first when absent) at the clock's time.
    template <typename Store>
    void change_in(Store& states, std::string_view key, Clock& clock, const StateChange& change);
    const FixedWindowRecovery& recovery() const noexcept { return recovery_; }

  private:
    // Fills the verdict's admit_after_ms (refusals) and whole_after_ms from the key's state
    // as the check left it.
    void report_waits(const FixedWindowState& state, uint64_t now, AlgorithmVerdict& verdict) const;

  public:
    // The per-key states, for the core's diagnostics only (the engine keeps its algorithm out
    // of the host bindings' reach).
    KeyedStateMap<FixedWindowState>& states() noexcept { return states_; }

  private:
    // The count of a blocked window: above every limit, and never reached by requests.
    static constexpr uint64_t kBlockedCount = UINT64_MAX;

    KeyedStateMap<FixedWindowState> states_;
    uint64_t window_ms_;  // window length in ms
    uint64_t limit_;      // accepted requests allowed per window
    FixedWindowRecovery recovery_;
};

}  // namespace tolm
