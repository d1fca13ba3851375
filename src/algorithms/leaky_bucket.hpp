// Leaky bucket: each key's bucket holds up to `capacity` requests and drains at
// `leak_rate` requests per second; a request is allowed while the drained level is below
// `capacity`, and adds one unit to it.
#pragma once

#include <cstdint>
#include <string_view>

#include "algorithms/algorithm.hpp"
#include "core/vocabulary.hpp"
#include "store/keyed_state_map.hpp"

namespace tolm {

struct LeakyBucketState {
    double level;           // requests in the bucket, fractional, never below 0 after a drain
    uint64_t last_leak_ms;  // latest drain time seen, ms since 1970
};

// When a key's bucket is a new key's again, so that its map may forget it: the drain a check
// at `now` would compute empties it (see leaky_bucket.cpp for why that is exact).
class LeakyBucketRecovery {
  public:
    LeakyBucketRecovery(double capacity, double leak_rate) noexcept;
    // Only finite settings with capacity >= 1 and leak_rate > 0: a bucket that never drains,
    // or whose arithmetic involves infinities or NaN, is kept for good.
    bool possible() const noexcept { return possible_; }
    bool operator()(const LeakyBucketState& state, uint64_t now) const noexcept;
    // About the ms until the bucket is empty (0 when it is recovered, UINT64_MAX when never):
    // what a full store compares to evict the entry that gives away the least.
    uint64_t distance(const LeakyBucketState& state, uint64_t now) const noexcept;

  private:
    double leak_rate_;
    bool possible_;
};

class LeakyBucket {
  public:
    // Neither value is validated: zero, negative, fractional and non-finite values are
    // used as they are.
    LeakyBucket(double capacity, double leak_rate)
        : capacity_(capacity), leak_rate_(leak_rate), recovery_(capacity, leak_rate) {}

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
    void report_waits(const LeakyBucketState& state, uint64_t now, AlgorithmVerdict& verdict) const;

  public:
    KeyedStateMap<LeakyBucketState>& states() noexcept { return states_; }

  private:
    KeyedStateMap<LeakyBucketState> states_;
    double capacity_;   // level at or above which requests are refused
    double leak_rate_;  // units drained per second
    LeakyBucketRecovery recovery_;
};

}  // namespace tolm
