// Removal changes no result: long random sequences (keys from a small and a large pool, time
// moving forward, standing still, stepping back and failing, every kind of setting) run
// through an engine that forgets recovered keys and one that keeps them all, and every result
// field and telemetry event must match. The one difference allowed is the documented one: a
// forgotten key checked while the clock is behind the latest time the engine has seen starts
// over as a new key (it had recovered by then), and from there on that key is its own.
#include <limits>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "engine_diagnostics.hpp"
#include "runtime/fatal.hpp"
#include "test_support.hpp"

namespace tolm::testing {
namespace {

using Diag = EngineDiagnostics;
constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

auto all_fields(const CheckResult& r) {
    return std::make_tuple(outcome(r), numbers(r.record), texts(r.record), r.algorithm,
                           r.decision_code, r.reason_code);
}

auto all_fields(const TelemetryEvent& e) {
    return std::make_tuple(numbers(e.record), texts(e.record), e.record.decision, e.record.reason,
                           e.latency_ms, e.route, e.ip, e.mode, e.identity, e.status_code,
                           e.event_type, e.api_key, e.timestamp);
}

template <typename T, size_t N>
const T& pick(std::mt19937_64& random, const T (&values)[N]) {
    return values[std::uniform_int_distribution<size_t>(0, N - 1)(random)];
}

struct Tally {
    size_t checks = 0;
    size_t forgotten = 0;  // checks of a key the removing engine had forgotten
    size_t diverged = 0;   // of those, checks with the clock behind its latest time
};

// How many clock readings a check makes before the event's and the record's.
uint64_t algorithm_readings(Engine& engine, std::string_view key) {
    if (Diag::holds(engine, key)) return 1;
    return engine.algorithm() == Algorithm::sliding_window ? 1 : 2;
}

void run_episode(uint64_t seed, Tally& tally) {
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::mt19937_64 random(seed);
    const char* algorithms[] = {"token_bucket", "sliding_window", "fixed_window", "leaky_bucket"};
    const double capacities[] = {0, 1, 2, 2.5, 3, 3.9, 10, 0.5, -1, kNaN, kInf, 1e17, 1e300};
    const double rates[] = {0, 1, 0.3, 10, 1000, 1e-3, -1, kNaN, kInf, 1e308};
    const EngineConfig config =
        make_config(pick(random, algorithms), pick(random, capacities), pick(random, rates),
                    random() % 4 == 0 ? "shadow" : "active",
                    random() % 2 == 0 ? std::optional<std::string>("api") : std::nullopt);
    SCOPED_TRACE(config.algorithm + " " + std::to_string(config.capacity) + " " +
                 std::to_string(config.refill_rate));
    const bool with_events = config.api_key.has_value();

    int64_t now = kT + static_cast<int64_t>(random() % 1'000'000);
    int64_t latest = now;  // the latest time either engine has read
    ManualClock removing_clock(now), keeping_clock(now);
    Engine removing(config, removing_clock);
    Engine keeping(config, keeping_clock);
    Diag::set_removal_enabled(keeping, false);

    std::set<std::string> diverged_keys;
    std::vector<size_t> diverged_events;  // positions in the event queues to skip
    size_t events_queued = 0;
    const int64_t steps[] = {0,    0,    1,      7,      100,    999,    1000,
                             1001, 2500, 30'000, 59'999, 60'000, 60'001, 3'600'000};
    const int64_t steps_back[] = {1, 1000, 5000, 70'000};
    // A forgotten key diverges for good once checked behind the latest time, so only one
    // episode in three steps back, and the others compare every check.
    const bool steps_back_too = seed % 3 == 0;
    constexpr int kSteps = 3000;
    for (int step = 0; step < kSteps; ++step) {
        const uint64_t roll = random() % 100;
        if (roll < 3 && steps_back_too) {
            now -= pick(random, steps_back);
        } else if (roll < 60) {
            now += pick(random, steps);
        } else if (roll < 70) {
            now += static_cast<int64_t>(random() % 2000);
        }
        removing_clock.set_ms(now);
        keeping_clock.set_ms(now);

        // Small pool: keys that come back often. Large pool: mostly new keys, which sweep.
        const std::string key = random() % 10 < 6 ? "small-" + std::to_string(random() % 16)
                                                  : "large-" + std::to_string(random() % 20'000);
        const bool as_identity = random() % 3 == 0;
        const std::optional<std::string_view> identity =
            as_identity ? std::optional<std::string_view>(key) : std::nullopt;
        const std::string ip = as_identity ? "10.9.9.9" : key;
        const std::string route = "/r" + std::to_string(random() % 5);
        const uint64_t start = static_cast<uint64_t>(now) - random() % 50;

        const bool held_by_removing = Diag::holds(removing, key);
        ASSERT_TRUE(!held_by_removing || Diag::holds(keeping, key));
        const bool forgotten = !held_by_removing && Diag::holds(keeping, key);
        tally.forgotten += forgotten;
        if (forgotten && now < latest) diverged_keys.insert(key);
        const bool compare = diverged_keys.count(key) == 0;
        latest = std::max(latest, now);

        // Now and then a clock that fails: before 1970 for the whole check (inside the
        // algorithm step: both engines are poisoned for good), or only at the event's or the
        // record's reading (after the algorithm step: the request still counts).
        const uint64_t failure = random() % 2000;
        if (failure == 0) {
            removing_clock.set_ms(-1);
            keeping_clock.set_ms(-1);
            EXPECT_THROW(removing.check(identity, ip, route, start), FatalError);
            EXPECT_THROW(keeping.check(identity, ip, route, start), FatalError);
            removing_clock.set_ms(now);
            keeping_clock.set_ms(now);
            EXPECT_THROW(removing.check(identity, ip, route, start), FatalError);
            EXPECT_THROW(keeping.check(identity, ip, route, start), FatalError);
            break;
        }
        if (failure < 20) {
            const uint64_t later = with_events ? failure % 2 : 0;
            removing_clock.jump_after(algorithm_readings(removing, key) + later, -1);
            keeping_clock.jump_after(algorithm_readings(keeping, key) + later, -1);
            EXPECT_THROW(removing.check(identity, ip, route, start), FatalError);
            EXPECT_THROW(keeping.check(identity, ip, route, start), FatalError);
            continue;
        }

        const CheckResult removed_result = removing.check(identity, ip, route, start);
        const CheckResult kept_result = keeping.check(identity, ip, route, start);
        ++tally.checks;
        if (compare) {
            ASSERT_EQ(all_fields(removed_result), all_fields(kept_result))
                << "step " << step << " key " << key;
        } else {
            ++tally.diverged;
            if (with_events) diverged_events.push_back(events_queued);
            if (forgotten) {
                // It starts over exactly as a key that engine never saw.
                ManualClock fresh_clock(now);
                Engine fresh(config, fresh_clock);
                ASSERT_EQ(all_fields(removed_result),
                          all_fields(fresh.check(identity, ip, route, start)))
                    << "step " << step << " key " << key;
            }
        }
        if (with_events) ++events_queued;
    }

    const std::vector<TelemetryEvent> removed_events = events(removing);
    const std::vector<TelemetryEvent> kept_events = events(keeping);
    ASSERT_EQ(removed_events.size(), kept_events.size());
    ASSERT_EQ(removed_events.size(), events_queued);
    size_t skip = 0;
    for (size_t i = 0; i < removed_events.size(); ++i) {
        if (skip < diverged_events.size() && diverged_events[skip] == i) {
            ++skip;
            continue;
        }
        ASSERT_EQ(all_fields(removed_events[i]), all_fields(kept_events[i])) << "event " << i;
    }
}

TEST(RemovalDifferentialTest, RemovingAndKeepingEnginesDecideAlike) {
    Tally tally;
    for (uint64_t seed = 1; seed <= 48; ++seed) {
        run_episode(seed, tally);
        if (::testing::Test::HasFatalFailure()) return;
    }
    // The sequences really exercised removal: many checks found their key forgotten.
    EXPECT_GT(tally.forgotten, tally.checks / 20);
    EXPECT_LT(tally.diverged, tally.checks / 5);
    RecordProperty("checks", static_cast<int>(tally.checks));
    RecordProperty("forgotten", static_cast<int>(tally.forgotten));
    RecordProperty("diverged", static_cast<int>(tally.diverged));
}

}  // namespace
}  // namespace tolm::testing
