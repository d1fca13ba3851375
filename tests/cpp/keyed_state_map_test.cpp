// The sharded key-to-state map underneath every algorithm.
#include "store/keyed_state_map.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <latch>
#include <map>
#include <random>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "runtime/platform.hpp"
#include "timed_state.hpp"

namespace tolm {
namespace {

using Map = KeyedStateMap<uint64_t>;

// A producer for keys that must already exist.
uint64_t must_not_create() {
    ADD_FAILURE() << "make_default called for an existing key";
    return 0;
}

TEST(ShardCountTest, SmallestPowerOfTwoOfAtLeastFourPerProcessor) {
    const std::pair<uint64_t, uint64_t> cases[] = {{0, 4},  {1, 4},  {2, 8},   {3, 16},  {6, 32},
                                                   {8, 32}, {9, 64}, {12, 64}, {16, 64}, {17, 128}};
    for (auto [processors, shards] : cases) {
        EXPECT_EQ(store_detail::shard_count_for_processors(processors), shards) << processors;
    }
    Map map;
    EXPECT_EQ(map.shard_count(),
              store_detail::shard_count_for_processors(platform::logical_processor_count()));
}

TEST(HashKeyTest, EachMapOnAThreadAdvancesK0AndThreadsDiffer) {
    const store_detail::HashKey first = store_detail::take_hash_key();
    const store_detail::HashKey second = store_detail::take_hash_key();
    EXPECT_EQ(second.k0, first.k0 + 1);
    EXPECT_EQ(second.k1, first.k1);
    store_detail::HashKey other{};
    std::thread([&] { other = store_detail::take_hash_key(); }).join();
    EXPECT_FALSE(other.k0 == second.k0 + 1 && other.k1 == second.k1);
}

TEST(KeyedStateMapTest, KeysCompareByteForByte) {
    Map map;
    const std::vector<std::string> keys = {
        "key", "Key", "key ", " key", "", std::string("key\0", 4), std::string("\0", 1), "ke"};
    for (size_t i = 0; i < keys.size(); ++i) {
        *map.entry_or_insert(std::string(keys[i]), [&] { return uint64_t{i}; }) += 100;
    }
    for (size_t i = 0; i < keys.size(); ++i) {
        EXPECT_EQ(*map.entry_or_insert(std::string(keys[i]), must_not_create), i + 100) << i;
    }
}

TEST(KeyedStateMapTest, GrowthKeepsEveryKeysState) {
    Map map;
    constexpr uint64_t kKeys = 30000;
    for (uint64_t i = 0; i < kKeys; ++i) {
        *map.entry_or_insert("10.0." + std::to_string(i), [i] { return i; }) *= 3;
    }
    for (uint64_t i = 0; i < kKeys; ++i) {
        ASSERT_EQ(*map.entry_or_insert("10.0." + std::to_string(i), must_not_create), i * 3);
    }
}

TEST(KeyedStateMapTest, FailingDefaultLeavesNoEntryAndReleasesTheLock) {
    Map map;
    int calls = 0;
    auto failing = [&]() -> uint64_t {
        ++calls;
        throw std::runtime_error("no default");
    };
    EXPECT_THROW(map.entry_or_insert("k", failing), std::runtime_error);
    EXPECT_THROW(map.entry_or_insert("k", failing), std::runtime_error);
    EXPECT_EQ(calls, 2);
    // Had the lock stayed held, this would hang; had an entry been left, 7 would not show.
    EXPECT_EQ(*map.entry_or_insert("k", [] { return uint64_t{7}; }), 7u);
}

// The engine serialises its checks, so only direct use contends for the shard locks.
TEST(KeyedStateMapTest, ConcurrentReadModifyWriteLosesNoUpdate) {
    Map map;
    constexpr int kThreads = 8, kKeys = 5, kRounds = 5000;
    std::latch start(kThreads);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&map, &start, t] {
            start.arrive_and_wait();
            for (int r = 0; r < kRounds; ++r) {
                const int k = (r + t) % kKeys;
                ++*map.entry_or_insert("k" + std::to_string(k), [] { return uint64_t{0}; });
            }
        });
    }
    for (auto& thread : threads) thread.join();
    uint64_t total = 0;
    for (int k = 0; k < kKeys; ++k)
        total += *map.entry_or_insert("k" + std::to_string(k), must_not_create);
    EXPECT_EQ(total, uint64_t{kThreads} * kRounds);
}

using testing::must_not_create_timed;
using testing::Timed;
using testing::TimedMap;
using testing::TimedRecovery;

// Random insertions, updates and sweeps against a model: an entry disappears only once it has
// recovered at some sweep's time, every entry kept holds exactly its last value, and the size
// counts them. Removals move entries and shift probe chains, so a broken index shows up as a
// lost key, a wrong value or a key found twice.
TEST(KeyedStateMapRemovalTest, RemovesOnlyRecoveredEntriesAndKeepsTheRestIntact) {
    TimedMap map;
    std::mt19937_64 random(7);
    std::map<std::string, Timed> model;
    uint64_t now = 0, latest_sweep = 0;
    uint64_t next_value = 1;
    for (int step = 0; step < 60'000; ++step) {
        now += random() % 4;
        const std::string key = "k" + std::to_string(random() % 4000);
        const Timed fresh{next_value++, now + random() % 3000};
        auto guard = map.entry_or_insert(key, [&] { return fresh; });
        auto known = model.find(key);
        if (guard.inserted()) {
            ASSERT_TRUE(known == model.end() || known->second.recovers_at <= latest_sweep) << key;
        } else {
            ASSERT_NE(known, model.end()) << key;
            ASSERT_EQ(guard->value, known->second.value) << key;
            *guard = fresh;
        }
        model[key] = fresh;
        guard.release(now, TimedRecovery{});
        latest_sweep = now;  // the latest time a sweep may have used
        if (step % 5000 == 4999) {
            size_t held = 0;
            for (auto it = model.begin(); it != model.end();) {
                if (!map.contains(it->first)) {
                    ASSERT_LE(it->second.recovers_at, latest_sweep) << it->first;
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
}

// Keys that recover as soon as they are inserted never make a table grow: the sweep of each
// insertion makes room first. Keys that never recover grow it as before.
TEST(KeyedStateMapRemovalTest, RecoveredKeysMakeRoomInsteadOfGrowth) {
    TimedMap recovering, lasting;
    for (uint64_t i = 0; i < 50'000; ++i) {
        const std::string key = "10.1." + std::to_string(i);
        recovering.entry_or_insert(key, [i] { return Timed{i, i}; }).release(i, TimedRecovery{});
        lasting.entry_or_insert(key,
                                [i] {
                                    return Timed{i, UINT64_MAX};
                                })
            .release(i, TimedRecovery{});
    }
    EXPECT_LE(recovering.slot_count(), recovering.shard_count() * 32);
    EXPECT_EQ(lasting.size(), 50'000u);
    EXPECT_GE(lasting.slot_count(), 50'000u * 4 / 3);
}

// Once most of a large table has recovered, new keys clear it and the table shrinks; with
// removal switched off nothing goes.
TEST(KeyedStateMapRemovalTest, SparseTablesShrinkAndRemovalCanBeSwitchedOff) {
    TimedMap map, kept;
    kept.set_removal_enabled(false);
    for (uint64_t i = 0; i < 20'000; ++i) {
        for (TimedMap* m : {&map, &kept}) {
            m->entry_or_insert("old-" + std::to_string(i), [i] {
                 return Timed{i, 1000};
             }).release(0, TimedRecovery{});
        }
    }
    const size_t flood_slots = map.slot_count();
    for (uint64_t i = 0; i < 5000; ++i) {
        for (TimedMap* m : {&map, &kept}) {
            m->entry_or_insert("new-" + std::to_string(i), [i] {
                 return Timed{i, 1000 + i};
             }).release(1000 + i, TimedRecovery{});
        }
    }
    EXPECT_LT(map.size(), 100u);
    EXPECT_LT(map.slot_count() * 16, flood_slots);
    EXPECT_EQ(kept.size(), 25'000u);
}

// Sweeps, passes before rebuilds, gradual rebuilds and shrinks run while other threads update keys
// of the same shards; no update is lost and no kept key moves under its holder. Run under TSan by
// `make test-tsan`.
TEST(KeyedStateMapRemovalTest, SweepsRaceWithChecksOfTheSameShards) {
    TimedMap map;
    constexpr int kHotKeys = 16, kRounds = 4000, kFloodKeys = 20'000;
    std::atomic<uint64_t> clock{0};
    std::latch start(5);
    auto hot = [&] {
        start.arrive_and_wait();
        for (int r = 0; r < kRounds; ++r) {
            auto guard = map.entry_or_insert("hot-" + std::to_string(r % kHotKeys), [] {
                return Timed{0, UINT64_MAX};
            });
            ++guard->value;
            guard.release(clock.load(), TimedRecovery{});
        }
    };
    auto flood = [&](int id) {
        start.arrive_and_wait();
        for (int i = 0; i < kFloodKeys; ++i) {
            const uint64_t now = clock.fetch_add(1) + 1;
            map.entry_or_insert("flood-" + std::to_string(id) + "-" + std::to_string(i),
                                [now] {
                                    return Timed{0, now + (now % 3 == 0 ? 0 : 50)};
                                })
                .release(now, TimedRecovery{});
        }
    };
    auto observer = [&] {
        start.arrive_and_wait();
        for (int i = 0; i < 200; ++i) {
            EXPECT_GE(map.size(), 0u);
            EXPECT_FALSE(map.contains("never-inserted"));
        }
    };
    std::vector<std::thread> threads;
    threads.emplace_back(hot);
    threads.emplace_back(hot);
    threads.emplace_back(flood, 0);
    threads.emplace_back(flood, 1);
    threads.emplace_back(observer);
    for (auto& thread : threads) thread.join();
    uint64_t total = 0;
    for (int k = 0; k < kHotKeys; ++k) {
        total += map.entry_or_insert("hot-" + std::to_string(k), must_not_create_timed)->value;
    }
    EXPECT_EQ(total, uint64_t{2} * kRounds);
    EXPECT_LT(map.size(), size_t{kHotKeys} + 2 * kFloodKeys / 4);
}

}  // namespace
}  // namespace tolm
