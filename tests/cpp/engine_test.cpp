// The engine: the mode table, name fallbacks, keying, latency, failures of the clock and
// the telemetry events it queues.
#include <memory>

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
    Engine engine(make_config("fixed_window", 1, 0, row.mode, "key-1"), clock_);
    const CheckResult ok = engine.check("alice", "1.2.3.4", "/login", kT - 250);
    EXPECT_EQ(outcome(ok), std::make_tuple(true, false, "within_limit", "allow", "within_limit",
                                           "0 requests remaining"));
    EXPECT_EQ(ok.algorithm, "fixed_window");
    EXPECT_EQ(numbers(ok.record), std::make_tuple(0u, 60'000u, kNone, 250u));
    EXPECT_EQ(texts(ok.record),
              std::make_tuple("fixed_window", "/login", row.mode, "alice", "1.2.3.4", kSeconds));

    // The refusal is charged identically in both modes: the key stays refused.
    for (int i = 0; i < 2; ++i) {
        EXPECT_EQ(outcome(engine.check("alice", "1.2.3.4", "/login", kT)),
                  std::make_tuple(row.refused_allowed, true, "limit_exceeded", row.refused_decision,
                                  "limit_exceeded", "0 requests remaining"));
    }

    const std::vector<TelemetryEvent> queued = events(engine);
    ASSERT_EQ(queued.size(), 3u);
    const TelemetryEvent& e = queued[0];
    EXPECT_EQ(std::tie(e.event_type, e.api_key, e.mode, e.route, e.ip, e.identity),
              std::make_tuple("decision", "key-1", row.mode, "/login", "1.2.3.4", "alice"));
    EXPECT_EQ(std::tie(e.status_code, e.latency_ms, e.timestamp),
              std::make_tuple(200, 250u, kSeconds));
    EXPECT_EQ(numbers(e.record), numbers(ok.record));
    EXPECT_EQ(texts(e.record), texts(ok.record));
    EXPECT_EQ(std::tie(queued[1].status_code, queued[1].record.decision),
              std::make_tuple(row.refused_status, row.refused_decision));
}

INSTANTIATE_TEST_SUITE_P(Modes, EngineModeTest,
                         ::testing::Values(ModeRow{"active", false, "block", 429},
                                           ModeRow{"shadow", true, "would_block", 200}),
                         [](const auto& test_param) { return std::string(test_param.param.mode); });

TEST_F(EngineTest, DisabledModeEvaluatesNothingAndQueuesNothing) {
    Engine engine(make_config("token_bucket", 0, 0, "disabled", "key-1"), clock_);
    for (int i = 0; i < 3; ++i) {
        const CheckResult r = engine.check(std::nullopt, "1.2.3.4", "/", kT - 40);
        EXPECT_EQ(outcome(r),
                  std::make_tuple(true, false, std::nullopt, "allow", "within_limit", "disabled"));
        EXPECT_EQ(numbers(r.record), std::make_tuple(kNone, kNone, kNone, 40u));
        EXPECT_EQ(texts(r.record), std::make_tuple("token_bucket", "/", "disabled", std::nullopt,
                                                   "1.2.3.4", kSeconds));
    }
    // Only the record's own clock reading: no algorithm ran.
    EXPECT_EQ(readings(), 3u);
    EXPECT_TRUE(events(engine).empty());
}

TEST_F(EngineTest, NamesMatchExactlyAndAnythingElseFallsBack) {
    const std::pair<const char*, Algorithm> algorithms[] = {
        {"token_bucket", Algorithm::token_bucket},
        {"sliding_window", Algorithm::sliding_window},
        {"fixed_window", Algorithm::fixed_window},
        {"leaky_bucket", Algorithm::leaky_bucket},
        {"Sliding_Window", Algorithm::token_bucket},
        {" fixed_window", Algorithm::token_bucket},
        {"leaky_bucket ", Algorithm::token_bucket},
        {"LEAKY_BUCKET", Algorithm::token_bucket},
        {"", Algorithm::token_bucket},
        {"sliding-window", Algorithm::token_bucket}};
    for (auto [text, kind] : algorithms) {
        Engine engine(make_config(text, 5, 1), clock_);
        EXPECT_EQ(engine.algorithm(), kind) << '"' << text << '"';
        const CheckResult r = check_ip(engine, "1.2.3.4");  // the text is reported as written
        EXPECT_EQ(std::tie(r.algorithm, r.record.algorithm), std::make_tuple(text, text));
    }
    const std::pair<const char*, Mode> modes[] = {
        {"active", Mode::active}, {"shadow", Mode::shadow},    {"disabled", Mode::disabled},
        {"Shadow", Mode::active}, {"DISABLED", Mode::active},  {" shadow", Mode::active},
        {"", Mode::active},       {"disabled ", Mode::active}, {"passive", Mode::active}};
    for (auto [text, mode] : modes) {
        Engine engine(make_config("token_bucket", 5, 1, text), clock_);
        EXPECT_EQ(engine.mode(), mode) << '"' << text << '"';
        EXPECT_EQ(check_ip(engine, "1.2.3.4").record.mode, to_text(mode)) << '"' << text << '"';
    }
}

TEST_F(EngineTest, KeyIsIdentityWhenPresentElseIpWithoutPrefix) {
    Engine engine(make_config("fixed_window", 1, 0), clock_);
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
    Engine other(make_config("fixed_window", 1, 0), clock_);
    EXPECT_TRUE(check_ip(other, "1.1.1.1").allowed);
}

TEST_F(EngineTest, LatencyCountsFromStartAndNeverGoesNegative) {
    for (const char* mode : {"active", "disabled"}) {
        Engine engine(make_config("token_bucket", 100, 0, mode, "k"), clock_);
        EXPECT_EQ(engine.check(std::nullopt, "a", "/", kT + 5000).record.latency_ms, 0u) << mode;
        EXPECT_EQ(engine.check(std::nullopt, "a", "/", 0).record.latency_ms,
                  static_cast<uint64_t>(kT))
            << mode;
        EXPECT_EQ(engine.check(std::nullopt, "a", "/", kT - 1).record.latency_ms, 1u) << mode;
    }
}

// A failure inside the algorithm step poisons the engine lock for good, whether it hit a
// new key's default or an existing key's check, and queues no event.
TEST_F(EngineTest, ClockFailureInsideTheAlgorithmStepPoisonsTheEngine) {
    for (const char* algorithm :
         {"token_bucket", "sliding_window", "fixed_window", "leaky_bucket"}) {
        for (const char* mode : {"active", "shadow"}) {
            for (const bool existing_key : {false, true}) {
                SCOPED_TRACE(std::string(algorithm) + " " + mode +
                             (existing_key ? " old" : " new"));
                set_clock(kT);
                Engine engine(make_config(algorithm, 10, 1, mode, "k"), clock_);
                if (existing_key) check_ip(engine, "1.1.1.1");
                set_clock(-1);
                EXPECT_THROW(check_ip(engine, "1.1.1.1"), FatalError);
                set_clock(kT);
                EXPECT_THROW(check_ip(engine, "1.1.1.1"), FatalError);
                EXPECT_THROW(check_id(engine, "someone-else", "2.2.2.2"), FatalError);
                EXPECT_EQ(events(engine).size(), existing_key ? 1u : 0u);
                Engine fresh(make_config(algorithm, 10, 1, mode), clock_);  // others are unaffected
                EXPECT_TRUE(check_ip(fresh, "1.1.1.1").allowed);
            }
        }
    }
}

// A failure after the algorithm step (the event's or the record's clock reading) fails that
// check only: the engine lock was already released, the request was counted, and no event
// is queued.
TEST_F(EngineTest, ClockFailureAfterTheAlgorithmStepLeavesTheEngineUsable) {
    for (const bool with_api_key : {false, true}) {
        for (const uint64_t good_readings : {1u, 2u}) {
            if (!with_api_key && good_readings == 2) continue;  // only one later reading
            SCOPED_TRACE(std::to_string(with_api_key) + " " + std::to_string(good_readings));
            set_clock(kT);
            Engine engine(
                make_config("fixed_window", 2, 0, "active",
                            with_api_key ? std::optional<std::string>("k") : std::nullopt),
                clock_);
            check_ip(engine, "1.1.1.1");  // the key exists: its check reads the clock once
            jump_after(good_readings, -1);
            EXPECT_THROW(check_ip(engine, "1.1.1.1"), FatalError);
            set_clock(kT);
            const CheckResult after = check_ip(engine, "1.1.1.1");
            EXPECT_FALSE(after.allowed);  // the failed check used the second request
            EXPECT_EQ(events(engine).size(), with_api_key ? 2u : 0u);
        }
    }
}

TEST_F(EngineTest, DisabledModeFailsOnlyTheCheckThatReadTheBadClock) {
    Engine engine(make_config("token_bucket", 10, 1, "disabled"), clock_);
    set_clock(-1);
    EXPECT_THROW(check_ip(engine, "1.1.1.1"), FatalError);
    set_clock(kT);
    EXPECT_TRUE(check_ip(engine, "1.1.1.1").allowed);
}

TEST_F(EngineTest, NoApiKeyMeansNoEventsInAnyMode) {
    for (const char* mode : {"active", "shadow", "disabled"}) {
        Engine engine(make_config("token_bucket", 1, 0, mode), clock_);
        for (int i = 0; i < 3; ++i) check_ip(engine, "1.1.1.1");
        EXPECT_FALSE(engine.telemetry().enabled()) << mode;
        EXPECT_TRUE(events(engine).empty()) << mode;
    }
}

TEST_F(EngineTest, EventWithoutIdentityLeavesBothIdentitiesAbsent) {
    Engine engine(make_config("token_bucket", 1, 0, "active", ""),
                  clock_);  // an empty key is a key
    EXPECT_FALSE(check_ip(engine, "1.1.1.1").record.identity.has_value());
    const std::vector<TelemetryEvent> queued = events(engine);
    ASSERT_EQ(queued.size(), 1u);
    EXPECT_EQ(queued[0].identity, std::nullopt);
    EXPECT_EQ(queued[0].record.identity, std::nullopt);
    EXPECT_EQ(queued[0].api_key, "");
    EXPECT_EQ(engine.telemetry().backend_url(), "http://127.0.0.1:4000");
}

TEST_F(EngineTest, QueueKeepsTheLatestTenThousandInOrder) {
    Engine engine(make_config("sliding_window", 1e9, 0, "active", "k"), clock_);
    constexpr size_t kChecks = TelemetryQueue::max_queued_events + 1;
    check_id(engine, "first", "1.1.1.1", "/0");
    for (size_t i = 1; i < kChecks; ++i) check_ip(engine, "1.1.1.1", "/" + std::to_string(i));
    const std::vector<TelemetryEvent> queued = events(engine);
    ASSERT_EQ(queued.size(), TelemetryQueue::max_queued_events);
    for (size_t i = 0; i < queued.size(); ++i) {
        ASSERT_EQ(queued[i].route, "/" + std::to_string(i + 1));
    }
    // The newest event took the first one's place; nothing of the displaced event remains.
    EXPECT_EQ(std::tie(queued.back().identity, queued.back().record.identity),
              std::make_tuple(std::nullopt, std::nullopt));
}

// Bindings keep one CheckResult per thread and pass it to every engine they serve; a
// reused result must read exactly like a fresh one.
TEST_F(EngineTest, ReusedResultMatchesAFreshOne) {
    const EngineConfig configs[] = {make_config("token_bucket", 2, 1, "active", "k"),
                                    make_config("sliding_window", 1, 0, "shadow"),
                                    make_config("fixed_window", 1, 0, "active"),
                                    make_config("leaky_bucket", 1, 1, "disabled")};
    std::vector<std::unique_ptr<Engine>> fresh, reused;
    for (const EngineConfig& config : configs) {
        fresh.push_back(std::make_unique<Engine>(config, clock_));
        reused.push_back(std::make_unique<Engine>(config, clock_));
    }
    CheckResult shared;
    for (int round = 0; round < 6; ++round) {
        for (size_t e = 0; e < fresh.size(); ++e) {
            SCOPED_TRACE("round " + std::to_string(round) + " engine " + std::to_string(e));
            const std::optional<std::string_view> identity =
                round % 3 == 0 ? std::optional<std::string_view>("id") : std::nullopt;
            const std::string ip = "ip" + std::to_string(round % 2);
            const CheckResult expected = fresh[e]->check(identity, ip, "/r", kT);
            reused[e]->check_into(shared, identity, ip, "/r", kT);
            EXPECT_EQ(outcome(shared), outcome(expected));
            EXPECT_EQ(numbers(shared.record), numbers(expected.record));
            EXPECT_EQ(texts(shared.record), texts(expected.record));
            EXPECT_EQ(shared.algorithm, expected.algorithm);
        }
        advance(700);
    }
}

// A host that never reads the record lets the engine skip it, and with it the record's
// clock reading; what the host does read is unchanged, and telemetry still gets a full
// record.
TEST_F(EngineTest, UnreadRecordSkipsOnlyWhatNobodyReads) {
    for (const bool with_api_key : {false, true}) {
        SCOPED_TRACE(with_api_key);
        const auto api_key = with_api_key ? std::optional<std::string>("k") : std::nullopt;
        Engine full(make_config("token_bucket", 3, 0, "active", api_key), clock_);
        Engine lean(make_config("token_bucket", 3, 0, "active", api_key), clock_);
        CheckResult expected, result;
        for (int i = 0; i < 4; ++i) {
            full.check_into(expected, std::nullopt, "1.1.1.1", "/", kT);
            const uint64_t before = readings();
            lean.check_into(result, std::nullopt, "1.1.1.1", "/", kT, RecordUse::unread);
            // An existing key: the algorithm's reading, then the event's and the record's.
            if (i > 0) {
                EXPECT_EQ(readings() - before, with_api_key ? 3u : 1u);
            }
            EXPECT_EQ(std::tie(result.allowed, result.would_block, result.reason, result.detail,
                               result.algorithm),
                      std::tie(expected.allowed, expected.would_block, expected.reason,
                               expected.detail, expected.algorithm));
        }
        EXPECT_EQ(events(lean).size(), with_api_key ? 4u : 0u);
        if (with_api_key) {
            EXPECT_EQ(events(lean).back().record.decision, "block");
        }
    }
}

// A host that never reads the detail gets every other field unchanged, for every algorithm
// on both sides of its limit; only the detail stays empty (and "disabled" stays "disabled").
TEST_F(EngineTest, UnreadDetailChangesNothingElse) {
    for (const char* algorithm :
         {"token_bucket", "sliding_window", "fixed_window", "leaky_bucket"}) {
        for (const char* mode : {"active", "disabled"}) {
            SCOPED_TRACE(std::string(algorithm) + " " + mode);
            Engine full(make_config(algorithm, 2, 0, mode), clock_);
            Engine lean(make_config(algorithm, 2, 0, mode), clock_);
            CheckResult expected, result;
            for (int i = 0; i < 4; ++i) {
                full.check_into(expected, std::nullopt, "1.1.1.1", "/", kT);
                lean.check_into(result, std::nullopt, "1.1.1.1", "/", kT, RecordUse::read,
                                DetailUse::unread);
                EXPECT_EQ(result.detail, std::string(mode) == "disabled" ? "disabled" : "");
                EXPECT_EQ(
                    std::tie(result.allowed, result.would_block, result.reason, result.algorithm,
                             result.record.remaining, result.record.decision, result.record.reason),
                    std::tie(expected.allowed, expected.would_block, expected.reason,
                             expected.algorithm, expected.record.remaining,
                             expected.record.decision, expected.record.reason));
            }
        }
    }
}

}  // namespace
}  // namespace tolm::testing
