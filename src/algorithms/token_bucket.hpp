// Token bucket: each key holds up to `capacity` tokens, refilled continuously at
// `refill_rate` tokens per second; an allowed request takes one whole token.
#pragma once

#include <cstdint>
#include <string_view>

#include "algorithms/algorithm.hpp"
#include "core/vocabulary.hpp"
#include "store/keyed_state_map.hpp"

namespace tolm {

struct TokenBucketState {
    double tokens;            // tokens in the bucket, fractional
    uint64_t last_refill_ms;  // latest refill time seen, ms since 1970
};

// When a key's bucket is a new key's again, so that its map may forget it: the refill a check
// at `now` would compute brings it to `capacity` (see token_bucket.cpp for why that is exact).
class TokenBucketRecovery {
  public:
    TokenBucketRecovery(double capacity, double refill_rate) noexcept;
    // Only finite settings with capacity >= 1 and refill_rate > 0: a bucket that never
    // refills, or whose arithmetic involves infinities or NaN, is kept for good.
    bool possible() const noexcept { return possible_; }
    bool operator()(const TokenBucketState& state, uint64_t now) const noexcept;
    // About the ms until the bucket is recovered (0 when it is, UINT64_MAX when never): what
    // a full store compares to evict the entry that gives away the least.
    uint64_t distance(const TokenBucketState& state, uint64_t now) const noexcept;

  private:
    double capacity_;
    double refill_rate_;
    bool possible_;
};

class TokenBucket {
  public:
    // Neither value is validated: zero, negative, fractional and non-finite values are
    // used as they are.
    TokenBucket(double capacity, double refill_rate)
        : capacity_(capacity), refill_rate_(refill_rate), recovery_(capacity, refill_rate) {}

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
    void report_waits(const TokenBucketState& state, uint64_t now, AlgorithmVerdict& verdict) const;

  public:
    KeyedStateMap<TokenBucketState>& states() noexcept { return states_; }

  private:
    KeyedStateMap<TokenBucketState> states_;
    double capacity_;     // largest number of tokens a bucket holds
    double refill_rate_;  // tokens added per second
    TokenBucketRecovery recovery_;
};

}  // namespace tolm
