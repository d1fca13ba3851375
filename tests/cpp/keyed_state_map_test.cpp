// The sharded key-to-state map underneath every algorithm.
#include "store/keyed_state_map.hpp"

#include <gtest/gtest.h>

#include <latch>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "runtime/platform.hpp"

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

}  // namespace
}  // namespace tolm
