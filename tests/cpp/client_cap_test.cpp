// The cap on the clients a private engine keeps: memory bounded when nothing recovers, and
// the clients evicted are those that give away the least allowance.
#include <gtest/gtest.h>

#include <string>

#include "core/engine.hpp"
#include "engine_diagnostics.hpp"
#include "test_support.hpp"

namespace tolm::testing {
namespace {

EngineConfig capped(const char* algorithm, double capacity, double refill, uint64_t max) {
    EngineConfig config = make_config(algorithm, capacity, refill);
    config.max_clients = max;
    return config;
}

// Settings under which no key ever recovers: without the cap every key would stay.
TEST_F(ClockTest, TheCapBoundsClientsWhenNothingRecovers) {
    for (const char* algorithm :
         {"token_bucket", "leaky_bucket", "fixed_window", "sliding_window"}) {
        const uint64_t max = 256;
        Engine engine(capped(algorithm, 5, 0, max), clock_);
        for (int i = 0; i < 5000; ++i) check_ip(engine, "k" + std::to_string(i));
        const EngineStats stats = engine.stats();
        // Each shard keeps at most ceil(max / shards); the total stays within max rounded
        // up to whole shards.
        EXPECT_LE(stats.clients, max + store_detail::shard_count() - 1) << algorithm;
        EXPECT_GE(stats.clients, max / 2) << algorithm;
        EXPECT_EQ(stats.clients + stats.evictions, 5000u) << algorithm;
        EXPECT_EQ(EngineDiagnostics::live_keys(engine), stats.clients) << algorithm;
    }
}

// Exhausted clients are far from recovery; a client that made one request is near it. A
// flood of one-request clients evicts among themselves and leaves the exhausted ones held.
TEST_F(ClockTest, EvictionGivesAwayTheLeastAllowance) {
    Engine engine(capped("token_bucket", 10, 1, 128), clock_);
    const char* heavy[] = {"h1", "h2", "h3", "h4"};
    for (const char* key : heavy) {
        for (int i = 0; i < 10; ++i) check_ip(engine, key);
    }
    for (int i = 0; i < 20000; ++i) check_ip(engine, "light" + std::to_string(i));
    EXPECT_GT(engine.stats().evictions, 0u);
    for (const char* key : heavy) {
        EXPECT_TRUE(EngineDiagnostics::holds(engine, key)) << key;
        EXPECT_FALSE(check_ip(engine, key).allowed) << key;
    }
}

TEST_F(ClockTest, NoCapKeepsEveryClientAndClearKeepsTheCount) {
    Engine engine(make_config("token_bucket", 5, 0), clock_);
    for (int i = 0; i < 3000; ++i) check_ip(engine, "k" + std::to_string(i));
    EXPECT_EQ(engine.stats().clients, 3000u);
    EXPECT_EQ(engine.stats().evictions, 0u);

    Engine small(capped("fixed_window", 1, 0, 16), clock_);
    for (int i = 0; i < 500; ++i) check_ip(small, "k" + std::to_string(i));
    const uint64_t evicted = small.stats().evictions;
    EXPECT_GT(evicted, 0u);
    small.clear();
    EXPECT_EQ(small.stats().evictions, evicted);
    for (int i = 0; i < 500; ++i) check_ip(small, "k" + std::to_string(i));
    EXPECT_GT(small.stats().evictions, evicted);  // the cap holds after clear too
}

}  // namespace
}  // namespace tolm::testing
