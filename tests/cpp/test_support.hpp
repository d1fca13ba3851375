// Shared helpers for the core tests: a clock the tests steer, a fixture that owns one, and a
// compact way to build engines and run checks.
#pragma once

#include <gtest/gtest.h>
#if !defined(_WIN32)
#include <unistd.h>
#endif

#include <atomic>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

#include "core/clock.hpp"
#include "core/engine.hpp"

namespace tolm::testing {

// A time well after 1970, with whole seconds, so timestamps are easy to predict.
inline constexpr int64_t kT = 1'700'000'000'000;
inline constexpr uint64_t kSeconds = kT / 1000;  // a record's timestamp at kT
inline constexpr std::optional<uint64_t> kNone = std::nullopt;

// A clock that reads whatever the test set, counts its readings, and can be told to jump
// (to before 1970, say) after a number of readings. Safe to read from many threads.
class ManualClock final : public Clock {
  public:
    explicit ManualClock(int64_t ms = kT) noexcept : ms_(ms) {}

    uint64_t now_ms() override {
        const uint64_t reading = readings_.fetch_add(1) + 1;
        if (reading == jump_at_reading_.load()) ms_.store(jump_to_ms_.load());
        return ms_since_1970_or_fail(ms_.load());
    }

    // Reads `ms` from now on, counting readings from zero again; a pending jump is dropped.
    void set_ms(int64_t ms) noexcept {
        ms_.store(ms);
        readings_.store(0);
        jump_at_reading_.store(0);
    }
    void advance_ms(int64_t delta_ms) noexcept { ms_.fetch_add(delta_ms); }
    // The next `count` readings see the current time; the one after them, and all later
    // ones, read `ms`.
    void jump_after(uint64_t count, int64_t ms) noexcept {
        jump_to_ms_.store(ms);
        jump_at_reading_.store(readings_.load() + count + 1);
    }
    uint64_t readings() const noexcept { return readings_.load(); }

  private:
    std::atomic<int64_t> ms_;
    std::atomic<uint64_t> readings_{0};
    std::atomic<uint64_t> jump_at_reading_{0};  // 0: no jump pending
    std::atomic<int64_t> jump_to_ms_{0};
};

class ClockTest : public ::testing::Test {
  protected:
    void set_clock(int64_t ms) { clock_.set_ms(ms); }
    void advance(int64_t delta_ms) { clock_.advance_ms(delta_ms); }
    uint64_t readings() const { return clock_.readings(); }
    void jump_after(uint64_t count, int64_t ms) { clock_.jump_after(count, ms); }

    ManualClock clock_;  // every engine of a test reads this one
};

// The same fixture for parameterised suites.
template <typename Param>
class ClockTestWithParam : public ClockTest, public ::testing::WithParamInterface<Param> {};

inline EngineConfig make_config(std::string algorithm, double capacity, double refill_rate,
                                std::string mode = "active",
                                std::optional<std::string> api_key = std::nullopt) {
    EngineConfig config;
    config.algorithm = std::move(algorithm);
    config.mode = std::move(mode);
    config.capacity = capacity;
    config.refill_rate = refill_rate;
    config.api_key = std::move(api_key);
    config.backend_url = "http://127.0.0.1:4000";
    return config;
}

inline CheckResult check_ip(Engine& engine, std::string_view ip, std::string_view route = "/") {
    return engine.check(std::nullopt, ip, route, static_cast<uint64_t>(kT));
}

inline CheckResult check_id(Engine& engine, std::string_view identity, std::string_view ip,
                            std::string_view route = "/") {
    return engine.check(identity, ip, route, static_cast<uint64_t>(kT));
}

// What one check of an algorithm object on its own, outside an engine, decided.
struct VerdictSummary {
    std::optional<uint64_t> remaining;
    bool allowed;
    std::string detail;
};
template <typename AlgorithmObject>
VerdictSummary check_once(AlgorithmObject& algorithm, std::string_view key, Clock& clock) {
    std::string detail;
    AlgorithmVerdict verdict(detail);
    algorithm.check(key, clock, verdict);
    return {verdict.remaining, verdict.allowed, detail};
}

// Groups of result fields, compared as one value so a failure shows the whole group.
inline auto outcome(const CheckResult& r) {
    return std::make_tuple(r.allowed, r.would_block, r.reason, r.record.decision, r.record.reason,
                           r.detail);
}
inline auto numbers(const DecisionRecord& r) {
    return std::make_tuple(r.remaining, r.reset_after_ms, r.retry_after_ms, r.latency_ms);
}
inline auto texts(const DecisionRecord& r) {
    return std::make_tuple(r.algorithm, r.route, r.mode, r.identity, r.ip, r.timestamp);
}

inline std::vector<TelemetryEvent> events(const Engine& engine) {
    return engine.telemetry().snapshot();
}

#if !defined(_WIN32)
// A test with a shared region of its own name, removed before and after it.
class SharedRegionTest : public ClockTest {
  protected:
    void SetUp() override {
        name_ = "tolm-test-" + std::to_string(::getpid()) + "-" +
                ::testing::UnitTest::GetInstance()->current_test_info()->name();
        Engine::remove_shared(name_);
    }
    void TearDown() override { Engine::remove_shared(name_); }

    std::string name_;
};
#endif

}  // namespace tolm::testing
