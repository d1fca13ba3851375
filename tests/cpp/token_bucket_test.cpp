#include "test_support.hpp"

namespace tolm::testing {
namespace {

class TokenBucketTest : public ClockTest {};

TEST_F(TokenBucketTest, TenAllowedThenExhaustedWithRetryAfter) {
    Engine engine(make_config("token_bucket", 10, 1));
    for (int i = 9; i >= 0; --i) {
        CheckResult r = check_ip(engine, "1.2.3.4");
        EXPECT_TRUE(r.allowed);
        EXPECT_EQ(r.record.remaining, static_cast<uint64_t>(i));
        EXPECT_EQ(r.detail, std::to_string(i) + " tokens remaining");
    }
    CheckResult denied = check_ip(engine, "1.2.3.4");
    EXPECT_FALSE(denied.allowed);
    EXPECT_TRUE(denied.would_block);
    EXPECT_EQ(denied.reason, "token_exhausted");
    EXPECT_EQ(denied.record.remaining, 0u);
    EXPECT_EQ(denied.record.retry_after_ms, 1000u);
    EXPECT_EQ(denied.record.decision, "block");
}

}  // namespace
}  // namespace tolm::testing
