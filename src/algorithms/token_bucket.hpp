// Token bucket: each key holds up to `capacity` tokens, refilled continuously at
// `refill_rate` tokens per second; an allowed request takes one whole token.
#pragma once

#include <cstdint>
#include <string_view>

#include "core/vocabulary.hpp"
#include "store/keyed_state_map.hpp"

namespace tolm {

struct TokenBucketState {
    double tokens;            // tokens in the bucket, fractional
    uint64_t last_refill_ms;  // latest refill time seen, ms since 1970
};

class TokenBucket {
  public:
    // Neither value is validated: zero, negative, fractional and non-finite values are
    // used as they are.
    TokenBucket(double capacity, double refill_rate)
        : capacity_(capacity), refill_rate_(refill_rate) {}

    // Decides one request for `key` at the time `clock` reads and writes every field of
    // `verdict`, reusing the storage its detail text already has. Throws FatalError when the
    // clock fails; the key's state is then as it was (a new key is not inserted).
    void check(std::string_view key, Clock& clock, AlgorithmVerdict& verdict);

  private:
    KeyedStateMap<TokenBucketState> states_;
    double capacity_;     // largest number of tokens a bucket holds
    double refill_rate_;  // tokens added per second
};

}  // namespace tolm
