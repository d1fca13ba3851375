// The four algorithms, driven through the engine: sequences at one instant, across window
// and refill boundaries, with fractional, zero, negative and non-finite settings, and
// with a clock that steps back.
#include <limits>

#include "runtime/fatal.hpp"
#include "test_support.hpp"

namespace tolm::testing {
namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// One check of key "10.0.0.1" at kT + at_ms and what it must yield.
struct Step {
    int64_t at_ms;
    bool allowed;
    uint64_t remaining;
    const char* detail;  // nullptr: not checked
    std::optional<uint64_t> reset_after_ms;
    std::optional<uint64_t> retry_after_ms;
};

struct Scenario {
    const char* name;
    const char* algorithm;
    double capacity;
    double rate;
    std::vector<Step> steps;
};
void PrintTo(const Scenario& s, std::ostream* os) {
    *os << s.name;
}

class AlgorithmScenarioTest : public ClockTestWithParam<Scenario> {};

TEST_P(AlgorithmScenarioTest, EachCheckYieldsTheExpectedVerdict) {
    const Scenario& scenario = GetParam();
    Engine engine(make_config(scenario.algorithm, scenario.capacity, scenario.rate), clock_);
    const char* refusal =
        engine.algorithm() == Algorithm::token_bucket ? "token_exhausted" : "limit_exceeded";
    for (size_t i = 0; i < scenario.steps.size(); ++i) {
        const Step& step = scenario.steps[i];
        SCOPED_TRACE("step " + std::to_string(i) + " at +" + std::to_string(step.at_ms));
        set_clock(kT + step.at_ms);
        const CheckResult r = check_ip(engine, "10.0.0.1");
        EXPECT_EQ(r.allowed, step.allowed);
        EXPECT_EQ(r.would_block, !step.allowed);
        EXPECT_EQ(r.reason, step.allowed ? "within_limit" : refusal);
        EXPECT_EQ(r.record.remaining, step.remaining);
        if (step.detail != nullptr) {
            EXPECT_EQ(r.detail, step.detail);
        }
        EXPECT_EQ(r.record.reset_after_ms, step.reset_after_ms);
        EXPECT_EQ(r.record.retry_after_ms, step.retry_after_ms);
    }
}

// Shorthands for the table below.
constexpr bool Y = true, N = false;
constexpr uint64_t kMax = UINT64_MAX;
constexpr auto _ = kNone;

// clang-format off
const Scenario kScenarios[] = {
    // Token bucket: whole tokens are taken, refill is continuous, retry names the next token.
    {"TokenCountdownRefillAndIdleCap", "token_bucket", 3, 1, {
        {0, Y, 2, "2 tokens remaining", _, 1000},     {0, Y, 1, "1 tokens remaining", _, 1000},
        {0, Y, 0, "0 tokens remaining", _, 1000},     {0, N, 0, "0 tokens remaining", _, 1000},
        {500, N, 0, "0 tokens remaining", _, 500},    {1000, Y, 0, "0 tokens remaining", _, 1000},
        {3'600'000, Y, 2, "2 tokens remaining", _, 1000}}},
    {"TokenFractionalRetry", "token_bucket", 3.25, 10, {
        {0, Y, 2, "2 tokens remaining", _, 75},       {0, Y, 1, nullptr, _, 75},
        {0, Y, 0, "0 tokens remaining", _, 75},       {0, N, 0, "0 tokens remaining", _, 75}}},
    {"TokenLastWholeToken", "token_bucket", 1, 10, {
        {0, Y, 0, "0 tokens remaining", _, 100},      {0, N, 0, nullptr, _, 100}}},
    {"TokenTiesToEvenNoRefill", "token_bucket", 3.5, 0, {
        {0, Y, 2, "2 tokens remaining", _, _},        {0, Y, 1, "2 tokens remaining", _, _},
        {0, Y, 0, "0 tokens remaining", _, _},        {60'000, N, 0, "0 tokens remaining", _, _}}},
    {"TokenHalfRoundsUpToEven", "token_bucket", 4.5, 0, {{0, Y, 3, "4 tokens remaining", _, _}}},
    // The text rounds, remaining floors.
    {"TokenDeniedWithSevenTenths", "token_bucket", 0.7, 0, {{0, N, 0, "1 tokens remaining", _, _}}},
    {"TokenZeroCapacity", "token_bucket", 0, 1, {
        {0, N, 0, "0 tokens remaining", _, 1000},     {5000, N, 0, nullptr, _, 1000}}},
    {"TokenNegativeRateDrains", "token_bucket", 3, -1, {
        {0, Y, 2, nullptr, _, _},                     {1000, Y, 0, "0 tokens remaining", _, _},
        {5000, N, 0, "-4 tokens remaining", _, _}}},
    // Stepping back adds nothing and never rewinds the refill time: at +500 half a token
    // has come back, not the 5.5 a rewound refill time would give.
    {"TokenClockStepsBack", "token_bucket", 2, 1, {
        {0, Y, 1, nullptr, _, 1000},                  {0, Y, 0, nullptr, _, 1000},
        {-5000, N, 0, "0 tokens remaining", _, 1000}, {500, N, 0, nullptr, _, 500},
        {1000, Y, 0, nullptr, _, 1000}}},
    {"TokenNaNCapacity", "token_bucket", kNaN, 1, {{0, N, 0, nullptr, _, 0}}},
    // Refill yields NaN and the minimum then takes the capacity: the bucket stays full.
    {"TokenNaNRate", "token_bucket", 2, kNaN, {{0, Y, 1, nullptr, _, _}, {0, Y, 1, nullptr, _, _}}},
    {"TokenInfiniteCapacity", "token_bucket", kInf, 1, {{0, Y, kMax, nullptr, _, _}}},

    // Sliding window: an accepted request counts while it is at most 60000 ms old.
    {"SlidingCountdownAndExactBoundary", "sliding_window", 4, 0, {
        {0, Y, 3, "3 requests remaining", _, _},      {0, Y, 2, nullptr, 60'000, _},
        {0, Y, 1, nullptr, 60'000, _},                {0, Y, 0, "0 requests remaining", 60'000, _},
        {0, N, 0, "0 requests remaining", 60'000, _}, {60'000, N, 0, nullptr, 0, _},
        {60'001, Y, 3, nullptr, _, _}}},
    {"SlidingPartialExpiry", "sliding_window", 2, 0, {
        {0, Y, 1, nullptr, _, _},                     {30'000, Y, 0, nullptr, 30'000, _},
        {45'000, N, 0, nullptr, 15'000, _},           {60'001, Y, 0, nullptr, 29'999, _},
        {60'001, N, 0, nullptr, 29'999, _}}},
    {"SlidingTruncatedCapacity", "sliding_window", 1.9, 0, {
        {0, Y, 0, nullptr, _, _},                     {0, N, 0, nullptr, 60'000, _}}},
    {"SlidingNaNLimit", "sliding_window", kNaN, 0, {
        {0, N, 0, "0 requests remaining", _, _},      {90'000, N, 0, nullptr, _, _}}},
    {"SlidingInfiniteLimit", "sliding_window", kInf, 0, {
        {0, Y, kMax - 1, "18446744073709551614 requests remaining", _, _}}},
    // After a step back an older value sits behind a newer one; pruning stops at the
    // newer one, so the older one still counts.
    {"SlidingClockStepsBack", "sliding_window", 3, 0, {
        {10'000, Y, 2, nullptr, _, _},                {0, Y, 1, nullptr, 70'000, _},
        {60'005, Y, 0, nullptr, 9'995, _},            {60'005, N, 0, nullptr, 9'995, _}}},

    // Fixed window: opens at the first request; the check at +60000 opens the next.
    {"FixedCountdownAndBoundaryBurst", "fixed_window", 2, 0, {
        {0, Y, 1, "1 requests remaining", 60'000, _}, {0, Y, 0, "0 requests remaining", 60'000, _},
        {0, N, 0, "0 requests remaining", 60'000, _}, {59'999, N, 0, nullptr, 1, _},
        {60'000, Y, 1, nullptr, 60'000, _},           {119'999, Y, 0, nullptr, 1, _},
        {120'000, Y, 1, nullptr, 60'000, _}}},
    {"FixedNegativeLimitStillCountsDown", "fixed_window", -2, 0, {
        {0, N, 0, "0 requests remaining", 60'000, _}, {1000, N, 0, nullptr, 59'000, _},
        {60'000, N, 0, nullptr, 60'000, _},           {60'001, N, 0, nullptr, 59'999, _}}},
    {"FixedClockStepsBack", "fixed_window", 1, 0, {
        {0, Y, 0, nullptr, 60'000, _},                {-5000, N, 0, nullptr, 60'000, _},
        {59'999, N, 0, nullptr, 1, _},                {60'000, Y, 0, nullptr, 60'000, _}}},

    // Leaky bucket: allowed while the drained level is below capacity; it may overfill
    // by less than one unit, which prints as negative free space.
    {"LeakyCountdownDrainAndIdle", "leaky_bucket", 3, 1, {
        {0, Y, 2, "2 bucket space remaining", _, _},  {0, Y, 1, "1 bucket space remaining", _, _},
        {0, Y, 0, "0 bucket space remaining", _, _},  {0, N, 0, "0 bucket space remaining", _, _},
        {1000, Y, 0, nullptr, _, _},                  {1000, N, 0, nullptr, _, _},
        {3'600'000, Y, 2, nullptr, _, _}}},
    {"LeakyOverfillPrintsNegative", "leaky_bucket", 2, 1, {
        {0, Y, 1, nullptr, _, _},                     {0, Y, 0, nullptr, _, _},
        {700, Y, 0, "-0 bucket space remaining", _, _},   // level 1.3 -> 2.3
        {1300, Y, 0, "-1 bucket space remaining", _, _},  // level 1.7 -> 2.7
        {1300, N, 0, "0 bucket space remaining", _, _}}},
    {"LeakyFractionalCapacityNoLeak", "leaky_bucket", 3.5, 0, {
        {0, Y, 2, "2 bucket space remaining", _, _},  {0, Y, 1, "2 bucket space remaining", _, _},
        {0, Y, 0, "0 bucket space remaining", _, _},  {0, Y, 0, "-0 bucket space remaining", _, _},
        {3'600'000, N, 0, nullptr, _, _}}},
    {"LeakyNegativeCapacity", "leaky_bucket", -1, 1, {{0, N, 0, nullptr, _, _}}},
    {"LeakyNaNCapacity", "leaky_bucket", kNaN, 1, {{0, N, 0, nullptr, _, _}}},
    // A NaN drain resets the level to empty at every check.
    {"LeakyNaNRate", "leaky_bucket", 1, kNaN, {{0, Y, 0, nullptr, _, _}, {0, Y, 0, nullptr, _, _}}},
    // Nothing drains while the clock is behind; at +1000 one unit has drained, not six.
    {"LeakyClockStepsBack", "leaky_bucket", 2, 1, {
        {0, Y, 1, nullptr, _, _},                     {0, Y, 0, nullptr, _, _},
        {-5000, N, 0, nullptr, _, _},                 {1000, Y, 0, nullptr, _, _}}},
};
// clang-format on

INSTANTIATE_TEST_SUITE_P(Sequences, AlgorithmScenarioTest, ::testing::ValuesIn(kScenarios),
                         [](const auto& test_param) { return std::string(test_param.param.name); });

class SlidingWindowQueueTest : public ClockTest {};

// Accepted times live in a ring that wraps and grows; pruning must still see them oldest
// first after the ring has wrapped and then grown.
TEST_F(SlidingWindowQueueTest, OrderSurvivesWrapAndGrowth) {
    Engine engine(make_config("sliding_window", 8, 0), clock_);
    for (int i = 0; i < 3; ++i) check_ip(engine, "k");
    const int64_t base = 60'001;  // the three above have expired by now
    for (int i = 0; i < 8; ++i) {
        set_clock(kT + base + 10 * i);
        ASSERT_TRUE(check_ip(engine, "k").allowed) << i;
    }
    for (int i = 0; i < 7; ++i) {
        set_clock(kT + base + 10 * i + 60'001);  // only the i-th value has expired
        const CheckResult r = check_ip(engine, "k");
        EXPECT_TRUE(r.allowed) << i;
        EXPECT_EQ(r.record.reset_after_ms, 9u) << i;
        EXPECT_FALSE(check_ip(engine, "k").allowed) << i;
    }
}

// A check that fails on the clock leaves the key's state as it was, and a failed default
// for a new key leaves no entry, so the next check creates it afresh.
template <typename Algorithm>
void expect_failed_checks_leave_state(Algorithm algorithm, uint64_t default_readings) {
    ManualClock clock(-1);
    EXPECT_THROW(check_once(algorithm, "new", clock), FatalError);
    clock.set_ms(kT);
    EXPECT_EQ(check_once(algorithm, "new", clock).remaining, 1u);
    EXPECT_EQ(clock.readings(), 1 + default_readings);
    clock.set_ms(-1);
    EXPECT_THROW(check_once(algorithm, "new", clock), FatalError);
    clock.set_ms(kT);
    EXPECT_EQ(check_once(algorithm, "new", clock).remaining, 0u);
    EXPECT_EQ(clock.readings(), 1u);
    EXPECT_FALSE(check_once(algorithm, "new", clock).allowed);
}

TEST(AlgorithmClockFailureTest, FailedChecksChangeNoState) {
    expect_failed_checks_leave_state(TokenBucket(2, 0), 1);
    expect_failed_checks_leave_state(SlidingWindow(60'000, 2), 0);
    expect_failed_checks_leave_state(FixedWindow(60'000, 2), 1);
    expect_failed_checks_leave_state(LeakyBucket(2, 0), 1);
}

}  // namespace
}  // namespace tolm::testing
