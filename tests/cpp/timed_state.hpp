// A map state for testing the state map's removal apart from any algorithm: it recovers at a
// time of its own choosing.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>

#include "store/keyed_state_map.hpp"

namespace tolm::testing {

struct Timed {
    uint64_t value;
    uint64_t recovers_at;
};

struct TimedRecovery {
    bool possible() const noexcept { return true; }
    bool operator()(const Timed& state, uint64_t now) const noexcept {
        return now >= state.recovers_at;
    }
};

using TimedMap = KeyedStateMap<Timed>;

// The default maker for lookups of keys that must already be there.
inline Timed must_not_create_timed() {
    ADD_FAILURE() << "make_default called for an existing key";
    return {};
}

}  // namespace tolm::testing
