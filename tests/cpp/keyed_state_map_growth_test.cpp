// Growth of the state map: an index rebuilt a few slots per insertion, entries kept in
// segments, and removal while both are under way.
#include <gtest/gtest.h>

#include <map>
#include <random>
#include <string>
#include <vector>

#include "store/keyed_state_map.hpp"
#include "timed_state.hpp"

namespace tolm {
namespace {

using testing::must_not_create_timed;
using testing::Timed;
using testing::TimedMap;
using testing::TimedRecovery;

std::string key_of(uint64_t i) {
    return "198.51." + std::to_string(i);
}

// Every key inserted so far, with its value, while shards start, run and finish rebuilds:
// checked in full whenever the number of shards part way through a rebuild changes and every
// few hundred insertions while one is, so each phase (just started, half moved, done) is seen
// with keys in both indexes.
TEST(KeyedStateMapGrowthTest, EveryKeyIsFoundInEveryPhaseOfARebuild) {
    KeyedStateMap<uint64_t> map;
    constexpr uint64_t kKeys = 40'000;
    size_t last_rebuilding = 0, full_checks_while_rebuilding = 0;
    const auto check_all = [&](uint64_t inserted) {
        for (uint64_t k = 0; k < inserted; ++k) {
            ASSERT_EQ(*map.entry_or_insert(key_of(k),
                                           []() -> uint64_t {
                                               ADD_FAILURE() << "key lost";
                                               return 0;
                                           }),
                      k * 7)
                << k;
        }
        ASSERT_EQ(map.size(), inserted);
    };
    for (uint64_t i = 0; i < kKeys; ++i) {
        auto guard = map.entry_or_insert(key_of(i), [i] { return i * 7; });
        ASSERT_TRUE(guard.inserted()) << i;
        guard.release(0, [] {
            struct Never {
                bool possible() const noexcept { return false; }
                bool operator()(const uint64_t&, uint64_t) const noexcept { return false; }
            };
            return Never{};
        }());
        const size_t rebuilding = map.shards_rebuilding();
        if (rebuilding != last_rebuilding || (rebuilding > 0 && i % 307 == 0)) {
            full_checks_while_rebuilding += rebuilding > 0;
            check_all(i + 1);
            if (::testing::Test::HasFatalFailure()) return;
            last_rebuilding = rebuilding;
        }
    }
    check_all(kKeys);
    EXPECT_GT(full_checks_while_rebuilding, 20u);
    EXPECT_GE(map.slot_count(), kKeys * 4 / 3);
}

// Differential run against a plain ordered map: keys from a large pool inserted, updated and
// left to recover while the clock moves on, so that the sweep removes entries from indexes
// that are part way through a rebuild, the last entry of a shard moves into removed places
// across segment boundaries, and sparse shards shrink. Every step checks the key it touched;
// the whole model is checked often, and always right after a rebuild starts or ends.
TEST(KeyedStateMapGrowthTest, RemovalDuringRebuildsMatchesAReferenceMap) {
    TimedMap map;
    std::mt19937_64 random(11);
    std::map<std::string, Timed> model;
    uint64_t now = 0, next_value = 1, removed_while_rebuilding = 0;
    size_t last_rebuilding = 0;
    uint64_t last_full_check = 0;
    for (uint64_t step = 0; step < 150'000; ++step) {
        now += random() % 3;
        // Phases: a growing flood of lasting keys, then mostly short-lived ones, then a flood
        // again, so tables grow, rebuild at their size, shrink and grow once more.
        const bool lasting = (step / 50'000) != 1 ? random() % 4 != 0 : random() % 10 == 0;
        const std::string key = key_of(random() % 60'000);
        const Timed fresh{next_value++, lasting ? UINT64_MAX : now + random() % 500};
        const size_t rebuilding_before = map.shards_rebuilding();
        const size_t size_before = map.size();
        auto guard = map.entry_or_insert(key, [&] { return fresh; });
        auto known = model.find(key);
        if (guard.inserted()) {
            // Gone from the map: it must have recovered by the latest sweep, which ran at
            // an earlier step's `now`, at most the current one.
            ASSERT_TRUE(known == model.end() || known->second.recovers_at <= now) << key;
        } else {
            ASSERT_NE(known, model.end()) << key;
            ASSERT_EQ(guard->value, known->second.value) << key;
            *guard = fresh;
        }
        const bool inserted = guard.inserted();
        model[key] = fresh;
        guard.release(now, TimedRecovery{});
        if (rebuilding_before > 0 && map.size() < size_before + inserted) {
            ++removed_while_rebuilding;
        }
        const size_t rebuilding = map.shards_rebuilding();
        if (rebuilding != last_rebuilding || step - last_full_check >= 5000) {
            last_rebuilding = rebuilding;
            last_full_check = step;
            size_t held = 0;
            for (auto it = model.begin(); it != model.end();) {
                if (!map.contains(it->first)) {
                    ASSERT_LE(it->second.recovers_at, now) << it->first;
                    it = model.erase(it);
                    continue;
                }
                ++held;
                ASSERT_EQ(map.entry_or_insert(it->first, must_not_create_timed)->value,
                          it->second.value)
                    << it->first;
                ++it;
            }
            ASSERT_EQ(map.size(), held);
        }
    }
    EXPECT_GT(removed_while_rebuilding, 100u);
}

// Keys whose recovery is due make room before the index would grow, even when the sweep hand
// alone would not reach enough of them in time: a pass over the whole shard comes in the
// insertions before a rebuild. One shard is filled to 700 keys (past 3/4 of 512 slots, 68
// short of 3/4 of 1024), two keys in nine recovering at 100; then lasting keys arrive at 100.
// The hand alone (8 entries per insertion) finds about two thirds of the recovered ones before
// the index would double and lets it double; with the pass the recovered keys are gone and the
// index keeps its size.
TEST(KeyedStateMapGrowthTest, ThePassBeforeARebuildLetsRecoveredKeysMakeRoom) {
    TimedMap map;
    std::vector<std::string> same_shard;
    for (uint64_t i = 0; same_shard.size() < 800; ++i) {
        std::string key = key_of(i);
        if (map.shard_of(key) == 0) same_shard.push_back(std::move(key));
    }
    size_t lasting = 0;
    for (size_t i = 0; i < 700; ++i) {
        const bool recovers = i % 9 < 2;
        lasting += !recovers;
        map.entry_or_insert(same_shard[i],
                            [recovers] {
                                return Timed{0, recovers ? 100 : UINT64_MAX};
                            })
            .release(0, TimedRecovery{});
    }
    ASSERT_EQ(map.slot_count(), 1024u);
    for (size_t i = 700; i < 800; ++i) {
        map.entry_or_insert(same_shard[i],
                            [] {
                                return Timed{1, UINT64_MAX};
                            })
            .release(100, TimedRecovery{});
    }
    EXPECT_EQ(map.size(), lasting + 100);
    EXPECT_EQ(map.slot_count(), 1024u);
}

}  // namespace
}  // namespace tolm
