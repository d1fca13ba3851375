// Shared helpers for the core tests: a fixture that owns the fake wall clock, and a
// compact way to build engines and run checks.
#pragma once

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <tuple>
#include <vector>

#include "core/engine.hpp"
#include "fake_clock.h"

namespace tolm::testing {

// A time well after 1970, with whole seconds, so timestamps are easy to predict.
inline constexpr int64_t kT = 1'700'000'000'000;
inline constexpr uint64_t kSeconds = kT / 1000;  // a record's timestamp at kT
inline constexpr std::optional<uint64_t> kNone = std::nullopt;

class ClockTest : public ::testing::Test {
  protected:
    void SetUp() override { tolm_fake_clock_set_ms(kT); }
    void TearDown() override { tolm_fake_clock_release(); }

    static void set_clock(int64_t ms) { tolm_fake_clock_set_ms(ms); }
    static void advance(int64_t delta_ms) { tolm_fake_clock_advance_ms(delta_ms); }
    static uint64_t readings() { return tolm_fake_clock_readings(); }
    static void jump_after(uint64_t count, int64_t ms) { tolm_fake_clock_jump_after(count, ms); }
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

}  // namespace tolm::testing
