// The engine: the mode table, name fallbacks, keying, latency, failures of the clock and
// the telemetry events it queues.
#include "runtime/fatal.hpp"
#include "test_support.hpp"

namespace tolm::testing {
namespace {

class EngineTest : public ClockTest {};

struct ModeRow {
    const char* mode;
    bool refused_allowed;
    const char* refused_decision;
    uint16_t refused_status;
};
void PrintTo(const ModeRow& row, std::ostream* os) {
    *os << row.mode;
}

class EngineModeTest : public ClockTestWithParam<ModeRow> {};

TEST_P(EngineModeTest, AdmittedAndRefusedOutcomes) {
    const ModeRow& row = GetParam();
    Engine engine(make_config("fixed_window", 1, 0, row.mode, "key-1"));
    const CheckResult ok = engine.check("alice", "1.2.3.4", "/login", kT - 250);
    EXPECT_TRUE(ok.allowed);
    EXPECT_FALSE(ok.would_block);
    EXPECT_EQ(ok.reason, "within_limit");
    EXPECT_EQ(ok.detail, "0 requests remaining");
    EXPECT_EQ(ok.algorithm, "fixed_window");
    const DecisionRecord& rec = ok.record;
    EXPECT_EQ(rec.decision, "allow");
    EXPECT_EQ(rec.reason, "within_limit");
    EXPECT_EQ(rec.mode, row.mode);
    EXPECT_EQ(rec.algorithm, "fixed_window");
    EXPECT_EQ(rec.route, "/login");
    EXPECT_EQ(rec.ip, "1.2.3.4");
    EXPECT_EQ(rec.identity, "alice");
    EXPECT_EQ(rec.remaining, 0u);
    EXPECT_EQ(rec.reset_after_ms, 60'000u);
    EXPECT_EQ(rec.retry_after_ms, kNone);
    EXPECT_EQ(rec.latency_ms, 250u);
    EXPECT_EQ(rec.timestamp, static_cast<uint64_t>(kT / 1000));

    // The refusal is charged identically in both modes: the key stays refused.
    for (int i = 0; i < 2; ++i) {
        const CheckResult no = engine.check("alice", "1.2.3.4", "/login", kT);
        EXPECT_EQ(no.allowed, row.refused_allowed);
        EXPECT_TRUE(no.would_block);
        EXPECT_EQ(no.reason, "limit_exceeded");
        EXPECT_EQ(no.record.reason, "limit_exceeded");
        EXPECT_EQ(no.record.decision, row.refused_decision);
        EXPECT_EQ(no.detail, "0 requests remaining");
    }

    const std::vector<TelemetryEvent> queued = events(engine);
    ASSERT_EQ(queued.size(), 3u);
    EXPECT_EQ(queued[0].status_code, 200);
    EXPECT_EQ(queued[1].status_code, row.refused_status);
    EXPECT_EQ(queued[1].record.decision, row.refused_decision);
    const TelemetryEvent& e = queued[0];
    EXPECT_EQ(e.event_type, "decision");
    EXPECT_EQ(e.api_key, "key-1");
    EXPECT_EQ(e.mode, row.mode);
    EXPECT_EQ(e.route, "/login");
    EXPECT_EQ(e.ip, "1.2.3.4");
    EXPECT_EQ(e.identity, "alice");
    EXPECT_EQ(e.latency_ms, 250u);
    EXPECT_EQ(e.timestamp, rec.timestamp);
    EXPECT_EQ(e.record.decision, rec.decision);
    EXPECT_EQ(e.record.remaining, rec.remaining);
    EXPECT_EQ(e.record.reset_after_ms, rec.reset_after_ms);
    EXPECT_EQ(e.record.identity, rec.identity);
}

INSTANTIATE_TEST_SUITE_P(Modes, EngineModeTest,
                         ::testing::Values(ModeRow{"active", false, "block", 429},
                                           ModeRow{"shadow", true, "would_block", 200}),
                         [](const auto& test_param) { return std::string(test_param.param.mode); });

TEST_F(EngineTest, DisabledModeEvaluatesNothingAndQueuesNothing) {
    Engine engine(make_config("token_bucket", 0, 0, "disabled", "key-1"));
    for (int i = 0; i < 3; ++i) {
        const CheckResult r = engine.check(std::nullopt, "1.2.3.4", "/", kT - 40);
        EXPECT_TRUE(r.allowed);
        EXPECT_FALSE(r.would_block);
        EXPECT_EQ(r.reason, std::nullopt);
        EXPECT_EQ(r.detail, "disabled");
        EXPECT_EQ(r.algorithm, "token_bucket");
        EXPECT_EQ(r.record.decision, "allow");
        EXPECT_EQ(r.record.reason, "within_limit");
        EXPECT_EQ(r.record.mode, "disabled");
        EXPECT_EQ(r.record.remaining, kNone);
        EXPECT_EQ(r.record.reset_after_ms, kNone);
        EXPECT_EQ(r.record.retry_after_ms, kNone);
        EXPECT_EQ(r.record.latency_ms, 40u);
        EXPECT_EQ(r.record.identity, std::nullopt);
    }
    // Only the record's own clock reading: no algorithm ran.
    EXPECT_EQ(readings(), 3u);
    EXPECT_TRUE(events(engine).empty());
}

struct NameCase {
    const char* text;
    int parsed;  // Algorithm or Mode value
};
void PrintTo(const NameCase& c, std::ostream* os) {
    *os << '"' << c.text << '"';
}

class AlgorithmNameTest : public ClockTestWithParam<NameCase> {};

TEST_P(AlgorithmNameTest, ExactNamesSelectOthersFallBackAndAreReportedVerbatim) {
    Engine engine(make_config(GetParam().text, 5, 1));
    EXPECT_EQ(engine.algorithm(), static_cast<Algorithm>(GetParam().parsed));
    const CheckResult r = check_ip(engine, "1.2.3.4");
    EXPECT_EQ(r.algorithm, GetParam().text);
    EXPECT_EQ(r.record.algorithm, GetParam().text);
}

INSTANTIATE_TEST_SUITE_P(
    Names, AlgorithmNameTest,
    ::testing::Values(NameCase{"token_bucket", 0}, NameCase{"sliding_window", 1},
                      NameCase{"fixed_window", 2}, NameCase{"leaky_bucket", 3},
                      NameCase{"Sliding_Window", 0}, NameCase{" fixed_window", 0},
                      NameCase{"leaky_bucket ", 0}, NameCase{"LEAKY_BUCKET", 0}, NameCase{"", 0},
                      NameCase{"sliding-window", 0}));

class ModeNameTest : public ClockTestWithParam<NameCase> {};

TEST_P(ModeNameTest, ExactNamesSelectOthersRunActive) {
    Engine engine(make_config("token_bucket", 5, 1, GetParam().text));
    EXPECT_EQ(engine.mode(), static_cast<Mode>(GetParam().parsed));
    EXPECT_EQ(check_ip(engine, "1.2.3.4").record.mode,
              to_text(static_cast<Mode>(GetParam().parsed)));
}

INSTANTIATE_TEST_SUITE_P(Names, ModeNameTest,
                         ::testing::Values(NameCase{"active", 0}, NameCase{"shadow", 1},
                                           NameCase{"disabled", 2}, NameCase{"Shadow", 0},
                                           NameCase{"DISABLED", 0}, NameCase{" shadow", 0},
                                           NameCase{"disabled ", 0}, NameCase{"", 0},
                                           NameCase{"passive", 0}));

TEST_F(EngineTest, KeyIsIdentityWhenPresentElseIpWithoutPrefix) {
    Engine engine(make_config("fixed_window", 1, 0));
    EXPECT_TRUE(check_id(engine, "alice", "1.1.1.1").allowed);
    EXPECT_TRUE(check_ip(engine, "1.1.1.1").allowed);              // the ip is a key of its own
    EXPECT_FALSE(check_id(engine, "alice", "2.2.2.2").allowed);    // same identity, other ip
    EXPECT_FALSE(check_id(engine, "1.1.1.1", "3.3.3.3").allowed);  // identity equal to an ip
    EXPECT_TRUE(check_id(engine, "Alice", "1.1.1.1").allowed);
    EXPECT_TRUE(check_id(engine, "alice ", "1.1.1.1").allowed);
    // The empty identity is a present identity, shared by everyone who sends it, and
    // the same key as an empty ip.
    EXPECT_TRUE(check_id(engine, "", "4.4.4.4").allowed);
    EXPECT_FALSE(check_id(engine, "", "5.5.5.5").allowed);
    EXPECT_FALSE(check_ip(engine, "").allowed);
    // Routes never enter the key.
    EXPECT_TRUE(check_ip(engine, "6.6.6.6", "/a").allowed);
    EXPECT_FALSE(check_ip(engine, "6.6.6.6", "/b").allowed);
    // Each engine has its own state.
    Engine other(make_config("fixed_window", 1, 0));
    EXPECT_TRUE(check_ip(other, "1.1.1.1").allowed);
}

TEST_F(EngineTest, LatencyCountsFromStartAndNeverGoesNegative) {
    for (const char* mode : {"active", "disabled"}) {
        Engine engine(make_config("token_bucket", 100, 0, mode, "k"));
        EXPECT_EQ(engine.check(std::nullopt, "a", "/", kT + 5000).record.latency_ms, 0u) << mode;
        EXPECT_EQ(engine.check(std::nullopt, "a", "/", 0).record.latency_ms,
                  static_cast<uint64_t>(kT))
            << mode;
        EXPECT_EQ(engine.check(std::nullopt, "a", "/", kT - 1).record.latency_ms, 1u) << mode;
    }
}

struct FailureCase {
    const char* algorithm;
    const char* mode;
};
void PrintTo(const FailureCase& c, std::ostream* os) {
    *os << c.algorithm << ' ' << c.mode;
}

class EngineClockFailureTest : public ClockTestWithParam<FailureCase> {};

// A failure inside the algorithm step poisons the engine lock for good, whether it hit a
// new key's default or an existing key's check. No event is queued for it.
TEST_P(EngineClockFailureTest, FailureInsideTheAlgorithmStepPoisonsTheEngine) {
    for (const bool existing_key : {false, true}) {
        SCOPED_TRACE(existing_key ? "existing key" : "new key");
        set_clock(kT);
        Engine engine(make_config(GetParam().algorithm, 10, 1, GetParam().mode, "k"));
        if (existing_key) check_ip(engine, "1.1.1.1");
        set_clock(-1);
        EXPECT_THROW(check_ip(engine, "1.1.1.1"), FatalError);
        set_clock(kT);
        EXPECT_THROW(check_ip(engine, "1.1.1.1"), FatalError);
        EXPECT_THROW(check_id(engine, "someone-else", "2.2.2.2"), FatalError);
        EXPECT_EQ(events(engine).size(), existing_key ? 1u : 0u);
        // Other engines are unaffected.
        Engine fresh(make_config(GetParam().algorithm, 10, 1, GetParam().mode));
        EXPECT_TRUE(check_ip(fresh, "1.1.1.1").allowed);
    }
}

INSTANTIATE_TEST_SUITE_P(
    AlgorithmsAndModes, EngineClockFailureTest,
    ::testing::Values(FailureCase{"token_bucket", "active"},
                      FailureCase{"sliding_window", "active"},
                      FailureCase{"fixed_window", "shadow"}, FailureCase{"leaky_bucket", "shadow"},
                      FailureCase{"token_bucket", "shadow"}, FailureCase{"leaky_bucket", "active"}),
    [](const auto& test_param) {
        return std::string(test_param.param.algorithm) + "_" + test_param.param.mode;
    });

TEST_F(EngineTest, DisabledModeFailsOnlyTheCheckThatReadTheBadClock) {
    Engine engine(make_config("token_bucket", 10, 1, "disabled"));
    set_clock(-1);
    EXPECT_THROW(check_ip(engine, "1.1.1.1"), FatalError);
    set_clock(kT);
    EXPECT_TRUE(check_ip(engine, "1.1.1.1").allowed);
}

TEST_F(EngineTest, NoApiKeyMeansNoEventsInAnyMode) {
    for (const char* mode : {"active", "shadow", "disabled"}) {
        Engine engine(make_config("token_bucket", 1, 0, mode));
        for (int i = 0; i < 3; ++i) check_ip(engine, "1.1.1.1");
        EXPECT_FALSE(engine.telemetry().enabled()) << mode;
        EXPECT_TRUE(events(engine).empty()) << mode;
    }
}

TEST_F(EngineTest, EventWithoutIdentityLeavesBothIdentitiesAbsent) {
    Engine engine(make_config("token_bucket", 1, 0, "active", ""));  // an empty key is a key
    EXPECT_FALSE(check_ip(engine, "1.1.1.1").record.identity.has_value());
    const std::vector<TelemetryEvent> queued = events(engine);
    ASSERT_EQ(queued.size(), 1u);
    EXPECT_EQ(queued[0].identity, std::nullopt);
    EXPECT_EQ(queued[0].record.identity, std::nullopt);
    EXPECT_EQ(queued[0].api_key, "");
    EXPECT_EQ(engine.telemetry().backend_url(), "http://127.0.0.1:4000");
}

TEST_F(EngineTest, QueueKeepsTheLatestTenThousandInOrder) {
    Engine engine(make_config("sliding_window", 1e9, 0, "active", "k"));
    constexpr size_t kChecks = TelemetryQueue::max_queued_events + 1;
    for (size_t i = 0; i < kChecks; ++i) check_ip(engine, "1.1.1.1", "/" + std::to_string(i));
    const std::vector<TelemetryEvent> queued = events(engine);
    ASSERT_EQ(queued.size(), TelemetryQueue::max_queued_events);
    for (size_t i = 0; i < queued.size(); ++i) {
        ASSERT_EQ(queued[i].route, "/" + std::to_string(i + 1));
    }
}

}  // namespace
}  // namespace tolm::testing
