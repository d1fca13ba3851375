// Engines built with the friendly layers' settings: window lengths at their boundaries, the
// option checks, the anchored clock and the engine's counters.
#include <gtest/gtest.h>

#include <string>

#include "core/clock.hpp"
#include "core/engine.hpp"
#include "engine_diagnostics.hpp"
#include "test_support.hpp"

namespace tolm::testing {
namespace {

EngineConfig window_config(const std::string& algorithm, double limit, uint64_t window_ms) {
    EngineConfig config = make_config(algorithm, limit, 0);
    config.window_ms = window_ms;
    return config;
}

using WindowLengthTest = ClockTestWithParam<uint64_t>;

// A fixed window of length W admits again exactly W ms after it opened, and reports the
// time left from W, not from a minute.
TEST_P(WindowLengthTest, FixedWindowReopensExactlyAtItsLength) {
    const uint64_t window = GetParam();
    Engine engine(window_config("fixed_window", 2, window), clock_);
    CheckResult first = check_ip(engine, "c");
    EXPECT_EQ(first.record.reset_after_ms, window);
    EXPECT_EQ(first.whole_after_ms, window);
    check_ip(engine, "c");
    advance(static_cast<int64_t>(window) - 1);
    CheckResult last_refused = check_ip(engine, "c");
    EXPECT_FALSE(last_refused.allowed);
    EXPECT_EQ(last_refused.record.reset_after_ms, 1u);
    EXPECT_EQ(last_refused.admit_after_ms, 1u);
    advance(1);
    CheckResult reopened = check_ip(engine, "c");
    EXPECT_TRUE(reopened.allowed);
    EXPECT_EQ(reopened.remaining, 1u);
    EXPECT_EQ(reopened.record.reset_after_ms, window);
}

// A sliding window counts a request until it is more than W ms old: refused at t + W,
// admitted at t + W + 1, and the waits it reports say so.
TEST_P(WindowLengthTest, SlidingWindowLetsARequestGoOnlyWhenOlderThanItsLength) {
    const uint64_t window = GetParam();
    Engine engine(window_config("sliding_window", 1, window), clock_);
    EXPECT_TRUE(check_ip(engine, "c").allowed);
    advance(static_cast<int64_t>(window));
    CheckResult refused = check_ip(engine, "c");
    EXPECT_FALSE(refused.allowed);
    EXPECT_EQ(refused.admit_after_ms, 1u);
    advance(1);
    EXPECT_TRUE(check_ip(engine, "c").allowed);
}

// Recovery follows the window's own length: a key is kept while its window runs, and is a
// new key's equal once it has run out.
TEST_P(WindowLengthTest, KeysAreForgottenAfterTheirOwnWindow) {
    const uint64_t window = GetParam();
    for (const char* algorithm : {"fixed_window", "sliding_window"}) {
        Engine engine(window_config(algorithm, 1, window), clock_);
        check_ip(engine, "old");
        advance(static_cast<int64_t>(window) - 1);
        check_ip(engine, "young");  // an insertion sweeps; "old" has not recovered yet
        EXPECT_TRUE(EngineDiagnostics::holds(engine, "old")) << algorithm;
        EXPECT_FALSE(check_ip(engine, "old").allowed) << algorithm;
        advance(2);  // now more than a window after "old" was admitted
        EXPECT_TRUE(check_ip(engine, "old").allowed) << algorithm;
        set_clock(kT);
    }
}

INSTANTIATE_TEST_SUITE_P(Lengths, WindowLengthTest,
                         ::testing::Values(uint64_t{1}, uint64_t{1000}, uint64_t{60000},
                                           uint64_t{86'400'000}));

TEST_F(ClockTest, PublicEnginesKeepTheMinuteAndSharedSettingsNameTheWindow) {
    Engine engine(make_config("fixed_window", 1, 0), clock_);
    EXPECT_EQ(check_ip(engine, "c").record.reset_after_ms, 60000u);
    EngineConfig config = window_config("sliding_window", 4, 1500);
    EXPECT_EQ(SharedStore::describe(Algorithm::sliding_window, config),
              "sliding_window limit=4 window_ms=1500");
}

TEST(EngineOptionChecks, WordingFollowsTheOptionName) {
    EXPECT_EQ(algorithm_problem("fixed_window"), "");
    EXPECT_EQ(algorithm_problem("Fixed_Window"),
              " must be one of 'token_bucket', 'sliding_window', 'fixed_window', "
              "'leaky_bucket', got 'Fixed_Window'");
    EXPECT_EQ(mode_problem("shadow"), "");
    EXPECT_NE(mode_problem(""), "");
    EXPECT_EQ(clock_problem("monotonic"), "");
    EXPECT_EQ(clock_problem("Wall"), " must be 'wall' or 'monotonic', got 'Wall'");
    EXPECT_EQ(whole_number_problem(1, 1, 10), "");
    EXPECT_EQ(whole_number_problem(10, 1, 10), "");
    EXPECT_EQ(whole_number_problem(0, 1, 10), " must be a whole number from 1 to 10, got 0");
    EXPECT_EQ(whole_number_problem(11, 1, 10), " must be a whole number from 1 to 10, got 11");
    EXPECT_EQ(whole_number_problem(2.5, 1, 10), " must be a whole number from 1 to 10, got 2.5");
    EXPECT_EQ(whole_number_problem(-0.0 / 0.0, 1, 10),
              " must be a whole number from 1 to 10, got nan");
    EXPECT_EQ(whole_number_problem(1.0 / 0.0, 1, 10),
              " must be a whole number from 1 to 10, got inf");
}

TEST(AnchoredClockTest, CountsMonotonicTimeFromItsAnchor) {
    const uint64_t now = wall_clock().now_ms();
    AnchoredClock clock = AnchoredClock::anchored_now();
    const uint64_t first = clock.now_ms();
    EXPECT_GE(first, now);
    EXPECT_LT(first, now + 60'000);
    EXPECT_GE(clock.now_ms(), first);
    // An anchor from a later boot than the monotonic clock's own start falls back to the wall.
    AnchoredClock stale(5, ~uint64_t{0});
    EXPECT_GE(stale.now_ms(), now);
}

TEST(EngineOpenTest, MonotonicPrivateEngineAndItsCounters) {
    EngineConfig config = make_config("token_bucket", 2, 0);
    auto engine = Engine::open(config, EngineOptions{std::nullopt, ClockChoice::monotonic});
    EXPECT_EQ(engine->stats().clients, 0u);
    EXPECT_TRUE(check_ip(*engine, "a").allowed);
    EXPECT_TRUE(check_ip(*engine, "b").allowed);
    EXPECT_EQ(engine->stats().clients, 2u);
    EXPECT_EQ(engine->stats().evictions, 0u);
    EXPECT_THROW(Engine::open(config, EngineOptions{"no-size", ClockChoice::wall}),
                 std::invalid_argument);
}

}  // namespace
}  // namespace tolm::testing
