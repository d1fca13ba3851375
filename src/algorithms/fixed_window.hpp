// Fixed window: at most `limit` accepted requests per key in consecutive windows of
// `window_ms`. A key's window opens at its first request, and each later one at the first
// request after the previous window ran out; windows are not aligned to clock minutes.
#pragma once

#include <cstdint>
#include <string_view>

#include "algorithms/algorithm.hpp"
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

    // The KeyedAlgorithm interface (algorithm.hpp).
    void check(std::string_view key, Clock& clock, AlgorithmVerdict& verdict) {
        check_in(states_, key, clock, verdict);
    }
    template <typename Store>
    void check_in(Store& states, std::string_view key, Clock& clock, AlgorithmVerdict& verdict);
    template <typename Store>
    void change_in(Store& states, std::string_view key, Clock& clock, const StateChange& change);

  private:
    // Fills the verdict's waits (see KeyedAlgorithm).
    void report_waits(const FixedWindowState& state, uint64_t now, AlgorithmVerdict& verdict) const;

  public:
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
