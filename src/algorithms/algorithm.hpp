// What the engine asks of every algorithm class (TokenBucket, SlidingWindow, FixedWindow,
// LeakyBucket), written once here and checked by the compiler where the engine names them.
#pragma once

#include <concepts>
#include <string_view>

#include "core/vocabulary.hpp"

namespace tolm {

// An algorithm keeps one state per key and decides requests from it:
//   - check(key, clock, verdict) decides one request for `key` at the time `clock` reads and
//     writes every field of `verdict`, reusing the storage its detail text already has. It
//     throws FatalError when the clock fails; the key's state is then as it was (a new key is
//     not inserted). The verdict's waits are exact: admit_after_ms (refusals only) is the
//     first whole ms at which the same request would be admitted, whole_after_ms the first at
//     which a new key's allowance is back, each found by the algorithm's own arithmetic;
//   - check_in(store, ...) is the same check with the states kept in `store`: the object's
//     own KeyedStateMap, or a SharedStateMap that other processes share;
//   - change_in(store, key, clock, change) applies `change` (reset, adjust, block) to the
//     state of `key`, inserted first when absent, at the clock's time;
//   - states() is the object's own map, for the core's diagnostics only (the engine keeps its
//     algorithm out of the host bindings' reach).
template <typename A>
concept KeyedAlgorithm = requires(A& algorithm, std::string_view key, Clock& clock,
                                  AlgorithmVerdict& verdict, const StateChange& change) {
    algorithm.check(key, clock, verdict);
    algorithm.check_in(algorithm.states(), key, clock, verdict);
    algorithm.change_in(algorithm.states(), key, clock, change);
};

}  // namespace tolm
