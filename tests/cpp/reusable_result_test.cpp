// The per-thread result the bindings reuse: what it keeps after a call.
#include "core/reusable_result.hpp"

#include <gtest/gtest.h>

#include <string>

#include "test_support.hpp"

namespace tolm::testing {
namespace {

// Calls `visit(std::string&)` on every text of `result` that holds one.
template <typename Visit>
void for_each_text(CheckResult& result, Visit&& visit) {
    DecisionRecord& record = result.record;
    for (std::string* text : {&result.algorithm, &result.detail, &record.decision, &record.reason,
                              &record.algorithm, &record.route, &record.mode, &record.ip}) {
        visit(*text);
    }
    if (result.reason) visit(*result.reason);
    if (record.identity) visit(*record.identity);
}

size_t text_bytes_kept() {
    size_t kept = 0;
    for_each_text(reusable_result_detail::thread_slot.shared,
                  [&](std::string& text) { kept += text.capacity(); });
    return kept;
}

// The texts that carry what the caller or the configuration supplied.
bool no_supplied_text_kept() {
    const CheckResult& kept = reusable_result_detail::thread_slot.shared;
    return kept.algorithm.empty() && kept.record.algorithm.empty() && kept.record.route.empty() &&
           kept.record.ip.empty() && kept.record.identity.value_or("").empty();
}

EngineConfig with_api_key() {
    EngineConfig config;
    config.algorithm = "token_bucket";
    config.mode = "active";
    config.capacity = 10;
    config.refill_rate = 1;
    config.api_key = "key";  // makes the engine fill the record's texts
    return config;
}

// A check with a 1 MB route and identity (an api key makes the engine copy both into the
// record) leaves the thread's result holding none of the texts it was given and at most the
// kept bound of storage, once the call ends and after its engine is gone; ordinary texts keep
// their storage, so the next check of a known key allocates nothing for them. Python's and Node's
// calls end the same way: the result is the thread's, the engine is the caller's.
TEST(ReusableResultTest, ACallLeavesNoTextAndNoLargeStorageBehind) {
    ManualClock clock;
    const std::string huge(1 << 20, 'r');
    {
        Engine engine(with_api_key(), clock);
        {
            ReusableResult reusable;
            engine.check_into(reusable.get(), huge, "203.0.113.7", huge, 0);
            EXPECT_EQ(reusable.get().record.route.size(), huge.size());
        }
        EXPECT_TRUE(no_supplied_text_kept());
        EXPECT_LE(text_bytes_kept(), kKeptResultTextBytes);

        const std::string route(200, 'p');
        {
            ReusableResult reusable;
            engine.check_into(reusable.get(), std::nullopt, "203.0.113.7", route, 0);
        }
        EXPECT_GE(reusable_result_detail::thread_slot.shared.record.route.capacity(), route.size());
    }
    EXPECT_TRUE(no_supplied_text_kept());
    EXPECT_LE(text_bytes_kept(), kKeptResultTextBytes);
}

// A nested call (host code running inside an outer call) gets its own result and must not
// empty the outer one, which is still being read.
TEST(ReusableResultTest, ANestedCallLeavesTheOuterResultIntact) {
    ManualClock clock;
    Engine engine(with_api_key(), clock);
    ReusableResult outer;
    engine.check_into(outer.get(), std::nullopt, "198.51.100.1", "/outer", 0);
    {
        ReusableResult nested;
        engine.check_into(nested.get(), std::nullopt, "198.51.100.2", "/nested", 0);
    }
    EXPECT_EQ(outer.get().record.route, "/outer");
    EXPECT_EQ(outer.get().record.ip, "198.51.100.1");
}

}  // namespace
}  // namespace tolm::testing
