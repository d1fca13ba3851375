// Forgetting recovered keys: each algorithm's entry disappears at the first millisecond its
// next check would treat it as a new key and not one earlier, settings that cannot be shown to
// recover keep every entry, and a forgotten key's next check is exactly a new key's.
#include <limits>
#include <string>
#include <vector>

#include "engine_diagnostics.hpp"
#include "test_support.hpp"

namespace tolm::testing {
namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
using Diag = EngineDiagnostics;

// Keys that fall in the same shard as `key`, so that inserting one of them sweeps that shard.
class ShardProbes {
  public:
    ShardProbes(Engine& engine, std::string_view key)
        : engine_(engine), shard_(Diag::shard_of(engine, key)) {}

    // Checks a key never seen before in the target's shard at the clock's current time.
    void insert_one() {
        for (;;) {
            const std::string probe = "probe-" + std::to_string(next_++);
            if (Diag::shard_of(engine_, probe) != shard_) continue;
            check_ip(engine_, probe);
            return;
        }
    }

  private:
    Engine& engine_;
    uint64_t shard_;
    uint64_t next_ = 0;
};

struct RemovalCase {
    const char* name;
    const char* algorithm;
    double capacity;
    double rate;
    std::vector<int64_t> checks;  // times of the target's checks, ms after kT
    int64_t recovered_at;         // first time (ms after kT) its entry may go; -1: never
};
void PrintTo(const RemovalCase& c, std::ostream* os) {
    *os << c.name;
}

class RemovalBoundaryTest : public ClockTestWithParam<RemovalCase> {};

// The shard holds only the target and a few probes, so every sweep examines the target.
TEST_P(RemovalBoundaryTest, EntryGoesAtTheFirstRecoveredMillisecondAndNotBefore) {
    const RemovalCase& c = GetParam();
    Engine engine(make_config(c.algorithm, c.capacity, c.rate), clock_);
    for (int64_t at : c.checks) {
        set_clock(kT + at);
        check_ip(engine, "target");
    }
    ShardProbes probes(engine, "target");
    if (c.recovered_at < 0) {
        for (int64_t later : {int64_t{0}, int64_t{3'600'000}, int64_t{10} * 365 * 86'400'000}) {
            set_clock(kT + c.checks.back() + later);
            probes.insert_one();
            EXPECT_TRUE(Diag::holds(engine, "target")) << later;
        }
        return;
    }
    if (c.recovered_at > c.checks.back()) {
        set_clock(kT + c.recovered_at - 1);
        probes.insert_one();
        ASSERT_TRUE(Diag::holds(engine, "target")) << "removed a millisecond early";
    }
    set_clock(kT + c.recovered_at);
    probes.insert_one();
    EXPECT_FALSE(Diag::holds(engine, "target")) << "kept once recovered";
}

// clang-format off
const RemovalCase kRemovalCases[] = {
    // Token bucket: the refill has to reach capacity exactly as the check computes it.
    {"TokenOneTokenBack", "token_bucket", 10, 1, {0}, 1000},
    {"TokenFractionalCapacity", "token_bucket", 2.5, 1, {0, 0}, 2000},         // 0.5 + 2.0
    {"TokenFractionalRate", "token_bucket", 1, 0.3, {0}, 3334},               // 3.334 * 0.3
    {"TokenRateRoundsUpToCapacity", "token_bucket", 3, 0.1, {0, 0, 0}, 30000},  // 30 * 0.1 > 3
    // Taking one token from 1e17 leaves 1e17: the bucket is a new key's at once, and goes
    // with the sweep of its own insertion.
    {"TokenHugeCapacityFullAtOnce", "token_bucket", 1e17, 1, {5000}, 5000},
    // Stepping back neither refills nor moves the refill time.
    {"TokenClockSteppedBack", "token_bucket", 2, 1, {0, -5000}, 2000},
    {"TokenNoRefill", "token_bucket", 10, 0, {0}, -1},
    {"TokenNegativeRefill", "token_bucket", 10, -1, {0}, -1},
    {"TokenNaNRefill", "token_bucket", 10, kNaN, {0}, -1},
    {"TokenInfiniteRefill", "token_bucket", 10, kInf, {0}, -1},
    {"TokenNaNCapacity", "token_bucket", kNaN, 1, {0}, -1},
    {"TokenInfiniteCapacity", "token_bucket", kInf, 1, {0}, -1},
    {"TokenCapacityBelowOne", "token_bucket", 0.5, 1, {0}, -1},
    {"TokenZeroCapacity", "token_bucket", 0, 1, {0}, -1},

    // Sliding window: every remembered request must be older than now - 60000.
    {"SlidingNewestDecides", "sliding_window", 2, 0, {0, 30'000}, 90'001},
    // After a step back the front (10000) is newer than the value behind it (0).
    {"SlidingFrontNewerAfterStepBack", "sliding_window", 3, 0, {10'000, 0}, 70'001},
    {"SlidingDeniedRequestsDoNotCount", "sliding_window", 1, 0, {0, 50'000}, 60'001},
    // Limit 0 never remembers anything, so a key is a new key's at once.
    {"SlidingLimitZero", "sliding_window", 0, 0, {0}, 0},
    {"SlidingNaNLimit", "sliding_window", kNaN, 0, {0}, 0},

    // Fixed window: the window has run out at start + 60000.
    {"FixedWindowEdge", "fixed_window", 2, 0, {0, 10}, 60'000},
    {"FixedStartKeptAfterStepBack", "fixed_window", 1, 0, {10'000, 0}, 70'000},
    {"FixedLimitZeroStillWaits", "fixed_window", 0, 0, {0}, 60'000},
    {"FixedHugeLimit", "fixed_window", 1e300, 0, {0}, 60'000},

    // Leaky bucket: the drain has to reach a level of exactly 0 or below.
    {"LeakyDrainsToExactlyZero", "leaky_bucket", 3, 1, {0, 0}, 2000},          // -2 + 2
    {"LeakyHalfRateToZero", "leaky_bucket", 1, 0.5, {0}, 2000},                // -1 + 1
    {"LeakyFractionalRate", "leaky_bucket", 1, 0.3, {0}, 3334},               // -1.0002 + 1
    {"LeakyClockSteppedBack", "leaky_bucket", 2, 1, {0, -5000}, 2000},
    {"LeakyNoDrain", "leaky_bucket", 10, 0, {0}, -1},
    {"LeakyNegativeDrain", "leaky_bucket", 10, -1, {0}, -1},
    {"LeakyNaNDrain", "leaky_bucket", 10, kNaN, {0}, -1},
    {"LeakyInfiniteCapacity", "leaky_bucket", kInf, 1, {0}, -1},
    {"LeakyCapacityBelowOne", "leaky_bucket", 0.5, 1, {0}, -1},
};
// clang-format on

INSTANTIATE_TEST_SUITE_P(Algorithms, RemovalBoundaryTest, ::testing::ValuesIn(kRemovalCases),
                         [](const auto& test_param) { return std::string(test_param.param.name); });

// The recovery tests on their own, at the edges that the engine cases above cannot reach.
TEST(RecoveryTestTest, EdgesOfTheArithmetic) {
    const TokenBucketRecovery token(10, 1);
    EXPECT_TRUE(token(TokenBucketState{10, 500}, 500));  // full at its own refill time
    EXPECT_FALSE(token(TokenBucketState{10, 500}, 499));
    EXPECT_FALSE(token(TokenBucketState{9.999, 500}, 500));
    EXPECT_TRUE(token(TokenBucketState{9, 0}, UINT64_MAX));  // elapsed near 2^64 stays finite
    EXPECT_TRUE(TokenBucketRecovery(10, 1e308)(TokenBucketState{0, 0}, 1000));  // refill is inf

    const LeakyBucketRecovery leaky(10, 1);
    EXPECT_TRUE(leaky(LeakyBucketState{0.0, 500}, 500));
    EXPECT_FALSE(leaky(LeakyBucketState{0.0, 500}, 499));
    EXPECT_FALSE(leaky(LeakyBucketState{1e-300, 500}, 500));
    EXPECT_TRUE(LeakyBucketRecovery(10, 1e308)(LeakyBucketState{9, 0}, 1000));  // drain is -inf

    const SlidingWindowRecovery sliding(60'000);
    SlidingWindowState window;
    EXPECT_TRUE(sliding(window, 0));  // nothing remembered
    window.timestamps.push_back(100);
    EXPECT_FALSE(sliding(window, 59'999));  // now below the window: the cutoff is 0
    EXPECT_FALSE(sliding(window, 60'100));
    EXPECT_TRUE(sliding(window, 60'101));

    const FixedWindowRecovery fixed(60'000);
    EXPECT_FALSE(fixed(FixedWindowState{0, 1000}, 0));  // the clock is behind the start
    EXPECT_TRUE(fixed(FixedWindowState{5, UINT64_MAX - 60'000}, UINT64_MAX));
}

// Whatever a forgotten key did before, its next check is a new key's, clock readings included.
class ForgottenKeyTest : public ClockTestWithParam<const char*> {};

TEST_P(ForgottenKeyTest, NextCheckIsExactlyANewKeys) {
    Engine engine(make_config(GetParam(), 3, 1, "active", "api"), clock_);
    Engine fresh(make_config(GetParam(), 3, 1, "active", "api"), clock_);
    for (int i = 0; i < 5; ++i) check_ip(engine, "target");  // refused at the end
    set_clock(kT + 3'600'000);
    ShardProbes(engine, "target").insert_one();
    ASSERT_FALSE(Diag::holds(engine, "target"));

    set_clock(kT + 3'600'000);
    const CheckResult again = check_ip(engine, "target");
    const uint64_t readings_again = readings();
    set_clock(kT + 3'600'000);
    const CheckResult expected = check_ip(fresh, "target");
    EXPECT_EQ(readings_again, readings());
    EXPECT_EQ(outcome(again), outcome(expected));
    EXPECT_EQ(numbers(again.record), numbers(expected.record));
    EXPECT_EQ(texts(again.record), texts(expected.record));
    EXPECT_TRUE(Diag::holds(engine, "target"));
}

INSTANTIATE_TEST_SUITE_P(Algorithms, ForgottenKeyTest,
                         ::testing::Values("token_bucket", "sliding_window", "fixed_window",
                                           "leaky_bucket"));

class KeyFloodTest : public ClockTest {};

// A stream of one-off clients keeps only those of about the last recovery period, with its
// memory given back when the stream thins out; with removal off every key stays.
TEST_F(KeyFloodTest, LiveKeysFollowTheRecentClientsOnly) {
    Engine engine(make_config("token_bucket", 10, 1), clock_);  // one check recovers in 1 s
    Engine kept(make_config("token_bucket", 10, 1), clock_);
    Diag::set_removal_enabled(kept, false);
    constexpr int kPerMs = 10, kMs = 5000;
    size_t most = 0;
    for (int ms = 0; ms < kMs; ++ms) {
        set_clock(kT + ms);
        for (int i = 0; i < kPerMs; ++i) {
            const std::string key = "10." + std::to_string(ms) + "." + std::to_string(i);
            check_ip(engine, key);
            check_ip(kept, key);
        }
        if (ms >= 2000) most = std::max(most, Diag::live_keys(engine));
    }
    // 10 keys per ms recover after 1000 ms: about 10000 live, plus the sweep's lag.
    EXPECT_GE(most, size_t{10'000});
    EXPECT_LE(most, size_t{13'000});
    EXPECT_EQ(Diag::live_keys(kept), size_t{kPerMs} * kMs);
    const size_t flood_slots = Diag::slot_count(engine);

    // The flood ends; a trickle of new keys much later clears the old ones and shrinks.
    for (int i = 0; i < 5000; ++i) {
        set_clock(kT + kMs + 10'000 + i * 1000);  // each trickle key recovers before the next
        check_ip(engine, "trickle-" + std::to_string(i));
    }
    EXPECT_LT(Diag::live_keys(engine), size_t{500});
    EXPECT_LT(Diag::slot_count(engine) * 8, flood_slots);
}

}  // namespace
}  // namespace tolm::testing
