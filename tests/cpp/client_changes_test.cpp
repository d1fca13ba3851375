// Changes to one client's state outside a check, in all four algorithms: reset, refund,
// penalty, block, and clearing every client.
#include <gtest/gtest.h>

#include <string>

#include "core/engine.hpp"
#include "engine_diagnostics.hpp"
#include "test_support.hpp"

namespace tolm::testing {
namespace {

struct ChangeCase {
    const char* algorithm;
    double refill;
};

class ClientChangeTest : public ClockTestWithParam<ChangeCase> {
  protected:
    static constexpr double kCapacity = 3;
    Engine make() {
        EngineConfig config = make_config(GetParam().algorithm, kCapacity, GetParam().refill);
        config.window_ms = 10'000;
        return Engine(config, clock_);
    }
    // Admitted requests in a burst of `tries` at the current time.
    int admitted(Engine& engine, int tries = 10) {
        int count = 0;
        for (int i = 0; i < tries; ++i) count += check_ip(engine, "c").allowed ? 1 : 0;
        return count;
    }
    bool windowed() const {
        const std::string name = GetParam().algorithm;
        return name == "fixed_window" || name == "sliding_window";
    }
};

TEST_P(ClientChangeTest, ResetGivesANewClientsAllowanceAndTouchesNoOtherKey) {
    Engine engine = make();
    EXPECT_EQ(admitted(engine), 3);
    check_ip(engine, "other");
    engine.reset("c");
    EXPECT_EQ(admitted(engine), 3);
    EXPECT_EQ(check_ip(engine, "other").remaining, 1u);
    engine.reset("never-seen");  // forgetting an unknown client changes nothing
    EXPECT_EQ(admitted(engine), 0);
}

TEST_P(ClientChangeTest, RefundGivesBackUnitsButNeverMoreThanTheAllowance) {
    Engine engine = make();
    EXPECT_EQ(admitted(engine), 3);
    engine.adjust("c", -2);
    EXPECT_EQ(admitted(engine), 2);
    Engine fresh = make();
    fresh.adjust("c", -5);
    EXPECT_EQ(admitted(fresh), 3);
}

TEST_P(ClientChangeTest, PenaltyTakesUnitsAsRequestsWould) {
    Engine engine = make();
    engine.adjust("c", 2);
    EXPECT_EQ(admitted(engine), 1);
    Engine heavy = make();
    heavy.adjust("c", 50);  // more than the allowance: refused until it comes back
    EXPECT_EQ(admitted(heavy), 0);
}

TEST_P(ClientChangeTest, BlockRefusesForItsDurationAndOnlyResetEndsItEarly) {
    Engine engine = make();
    engine.block("c", 25'000);
    advance(24'999);
    CheckResult last = check_ip(engine, "c");
    EXPECT_FALSE(last.allowed);
    ASSERT_TRUE(last.admit_after_ms.has_value());
    EXPECT_GE(*last.admit_after_ms, 1u);
    if (std::string(GetParam().algorithm) != "sliding_window") {
        engine.adjust("c", -3);  // a refund does not lift a block
        EXPECT_FALSE(check_ip(engine, "c").allowed);
    }
    advance(static_cast<int64_t>(*last.admit_after_ms));
    EXPECT_TRUE(check_ip(engine, "c").allowed);

    Engine other = make();
    other.block("c", 25'000);
    other.reset("c");
    EXPECT_EQ(admitted(other), 3);
}

TEST_P(ClientChangeTest, WindowsReopenWholeWhenABlockEnds) {
    if (!windowed()) GTEST_SKIP() << "the buckets refill from empty after a block";
    Engine engine = make();
    engine.block("c", 4'000);  // shorter than the window
    advance(3'999);
    EXPECT_EQ(admitted(engine, 1), 0);
    advance(1);
    EXPECT_EQ(admitted(engine), 3);
}

TEST_P(ClientChangeTest, ClearForgetsEveryClient) {
    Engine engine = make();
    for (const char* key : {"a", "b", "c"}) check_ip(engine, key);
    EXPECT_EQ(engine.stats().clients, 3u);
    admitted(engine);
    engine.clear();
    EXPECT_EQ(engine.stats().clients, 0u);
    EXPECT_EQ(admitted(engine), 3);
}

TEST_P(ClientChangeTest, DisabledEnginesIgnoreChanges) {
    EngineConfig config =
        make_config(GetParam().algorithm, kCapacity, GetParam().refill, "disabled");
    Engine engine(config, clock_);
    engine.block("c", 1000);
    engine.adjust("c", 5);
    EXPECT_EQ(engine.stats().clients, 0u);
    EXPECT_TRUE(check_ip(engine, "c").allowed);
}

INSTANTIATE_TEST_SUITE_P(Algorithms, ClientChangeTest,
                         ::testing::Values(ChangeCase{"token_bucket", 0.5},
                                           ChangeCase{"leaky_bucket", 0.5},
                                           ChangeCase{"fixed_window", 0},
                                           ChangeCase{"sliding_window", 0}),
                         [](const auto& row) { return std::string(row.param.algorithm); });

TEST(ClientChangeChecks, UnitsWording) {
    EXPECT_EQ(units_problem(Algorithm::token_bucket, -0.5), "");
    EXPECT_EQ(units_problem(Algorithm::fixed_window, -2), "");
    EXPECT_EQ(units_problem(Algorithm::fixed_window, 0.5),
              " must be a whole number of requests for fixed_window");
    EXPECT_NE(units_problem(Algorithm::token_bucket, 0.0 / 0.0), "");
}

}  // namespace
}  // namespace tolm::testing
