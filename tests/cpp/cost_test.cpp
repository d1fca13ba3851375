// Requests that cost more than one unit, in all four algorithms: a cost of one decides exactly
// as a plain check, a cost of n as the last of n plain checks at the same instant, and a
// request is admitted whole or not at all.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <tuple>

#include "core/engine.hpp"
#include "test_support.hpp"

namespace tolm::testing {
namespace {

struct CostCase {
    const char* algorithm;
    double capacity;
    double refill;
};

class CostTest : public ClockTestWithParam<CostCase> {
  protected:
    EngineConfig config() const {
        const CostCase& row = GetParam();
        EngineConfig made = make_config(row.algorithm, row.capacity, row.refill);
        made.window_ms = 2000;
        return made;
    }
    CheckResult decide(Engine& engine, std::string_view key, double cost) {
        CheckResult result;
        engine.check_into(result, std::nullopt, key, "/", static_cast<uint64_t>(kT),
                          RecordUse::read, DetailUse::read, TextUse::read, cost);
        return result;
    }
};

auto everything(const CheckResult& r) {
    return std::make_tuple(r.allowed, r.would_block, r.reason, r.detail, r.remaining,
                           r.admit_after_ms, r.whole_after_ms, r.record.reset_after_ms,
                           r.record.retry_after_ms);
}

// An explicit cost of 1 is the plain check, field by field, over a random walk of times.
TEST_P(CostTest, CostOneIsThePlainCheck) {
    Engine plain(config(), clock_);
    Engine costed(config(), clock_);
    std::mt19937_64 random(7);
    for (int i = 0; i < 400; ++i) {
        advance(static_cast<int64_t>(random() % 700));
        const std::string key = "k" + std::to_string(random() % 3);
        EXPECT_EQ(everything(plain.check(std::nullopt, key, "/", kT)),
                  everything(decide(costed, key, 1.0)))
            << "step " << i;
    }
}

// Where n plain checks at one instant would all be admitted, a cost of n is admitted and
// leaves the same allowance; where the first of them would be refused, so is the cost.
TEST_P(CostTest, CostNAgreesWithNPlainChecksWhenAllOrNoneAreAdmitted) {
    std::mt19937_64 random(11);
    for (int round = 0; round < 200; ++round) {
        Engine singles(config(), clock_);
        Engine costed(config(), clock_);
        // A shared history of plain checks puts both in the same state.
        const int history = static_cast<int>(random() % 6);
        for (int i = 0; i < history; ++i) {
            advance(static_cast<int64_t>(random() % 400));
            singles.check(std::nullopt, "c", "/", kT);
            costed.check(std::nullopt, "c", "/", kT);
        }
        advance(static_cast<int64_t>(random() % 400));
        const uint64_t n = 1 + random() % 4;
        bool all = true;
        bool none = false;
        CheckResult last;
        for (uint64_t i = 0; i < n; ++i) {
            last = singles.check(std::nullopt, "c", "/", kT);
            all = all && last.allowed;
            if (i == 0) none = !last.allowed;
        }
        const CheckResult cost = decide(costed, "c", static_cast<double>(n));
        // Adding n at once rounds once where n additions round n times, so a bucket's
        // fractional level may differ in its last bit: the waits agree to the millisecond.
        const auto near = [](std::optional<uint64_t> a, std::optional<uint64_t> b) {
            if (!a || !b) return a == b;
            return (*a > *b ? *a - *b : *b - *a) <= 1;
        };
        if (all) {
            EXPECT_TRUE(cost.allowed) << "round " << round;
            EXPECT_EQ(cost.remaining, last.remaining) << "round " << round;
            EXPECT_TRUE(near(cost.whole_after_ms, last.whole_after_ms)) << "round " << round;
        } else if (none) {
            EXPECT_FALSE(cost.allowed) << "round " << round;
        }
        // Afterwards both decide alike when the cost was all-or-none like the singles.
        if (all || none) {
            const CheckResult a = singles.check(std::nullopt, "c", "/", kT);
            const CheckResult b = costed.check(std::nullopt, "c", "/", kT);
            EXPECT_EQ(std::make_tuple(a.allowed, a.remaining),
                      std::make_tuple(b.allowed, b.remaining))
                << "round " << round;
        }
        set_clock(kT);
    }
}

// A refused cost takes nothing, and its wait says when it would be admitted whole.
TEST_P(CostTest, ARefusedCostTakesNothingAndItsWaitIsExact) {
    Engine engine(config(), clock_);
    const double capacity = GetParam().capacity;
    EXPECT_TRUE(decide(engine, "c", 2).allowed);
    const CheckResult refused = decide(engine, "c", capacity);
    ASSERT_FALSE(refused.allowed);
    // One plain request still fits: the refusal took nothing.
    EXPECT_TRUE(engine.check(std::nullopt, "c", "/", kT).allowed);
    Engine fresh(config(), clock_);
    decide(fresh, "c", 2);
    const CheckResult again = decide(fresh, "c", capacity);
    ASSERT_TRUE(again.admit_after_ms.has_value());
    advance(static_cast<int64_t>(*again.admit_after_ms) - 1);
    EXPECT_FALSE(decide(fresh, "c", capacity).allowed);
    advance(1);
    EXPECT_TRUE(decide(fresh, "c", capacity).allowed);
}

// More than the whole allowance is refused for good, with no wait to promise.
TEST_P(CostTest, ACostAboveTheAllowanceIsNeverAdmitted) {
    Engine engine(config(), clock_);
    const double over = GetParam().capacity + 2;
    const CheckResult result = decide(engine, "c", over);
    EXPECT_FALSE(result.allowed);
    EXPECT_EQ(result.admit_after_ms, kNone);
    EXPECT_TRUE(engine.check(std::nullopt, "c", "/", kT).allowed);
}

INSTANTIATE_TEST_SUITE_P(Algorithms, CostTest,
                         ::testing::Values(CostCase{"token_bucket", 5, 2.5},
                                           CostCase{"leaky_bucket", 5, 2.5},
                                           CostCase{"fixed_window", 5, 0},
                                           CostCase{"sliding_window", 5, 0}),
                         [](const auto& row) { return std::string(row.param.algorithm); });

TEST(CostChecks, RefusedCostsAreWorded) {
    EXPECT_EQ(cost_problem(Algorithm::token_bucket, 0.5), "");
    EXPECT_EQ(cost_problem(Algorithm::fixed_window, 3), "");
    EXPECT_EQ(cost_problem(Algorithm::sliding_window, 1.5),
              " must be a whole number of requests for sliding_window");
    EXPECT_EQ(cost_problem(Algorithm::leaky_bucket, 0),
              " must be a number above 0 and at most 2^53, got 0");
    EXPECT_NE(cost_problem(Algorithm::leaky_bucket, -1), "");
    EXPECT_NE(cost_problem(Algorithm::token_bucket, 0.0 / 0.0), "");
    EXPECT_NE(cost_problem(Algorithm::token_bucket, 1.0 / 0.0), "");
}

// Fractional costs in the buckets follow the same float rules as whole ones.
TEST_F(ClockTest, FractionalCostsInTheBuckets) {
    Engine tokens(make_config("token_bucket", 1, 0), clock_);
    CheckResult r;
    for (int i = 0; i < 4; ++i) {
        tokens.check_into(r, std::nullopt, "c", "/", kT, RecordUse::read, DetailUse::read,
                          TextUse::read, 0.25);
        EXPECT_TRUE(r.allowed) << i;
    }
    tokens.check_into(r, std::nullopt, "c", "/", kT, RecordUse::read, DetailUse::read,
                      TextUse::read, 0.25);
    EXPECT_FALSE(r.allowed);
}

}  // namespace
}  // namespace tolm::testing
