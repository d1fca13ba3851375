// Core benchmarks: Engine::check per algorithm on an existing key, the cost of a full
// telemetry queue, and a million distinct keys (time per check and memory per key).
#include <benchmark/benchmark.h>

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "core/clock.hpp"
#include "core/engine.hpp"

namespace {

using tolm::Engine;
using tolm::EngineConfig;

EngineConfig config_for(const char* algorithm, double capacity, double refill_rate,
                        bool with_api_key = false) {
    EngineConfig config;
    config.algorithm = algorithm;
    config.mode = "active";
    config.capacity = capacity;
    config.refill_rate = refill_rate;
    if (with_api_key) config.api_key = "bench-key";
    config.backend_url = "http://127.0.0.1:4000";
    return config;
}

void run_existing_key(benchmark::State& state, Engine& engine) {
    const uint64_t start = tolm::wall_clock().now_ms();
    engine.check(std::nullopt, "203.0.113.7", "/api/items", start);
    for (auto _ : state) {
        benchmark::DoNotOptimize(engine.check(std::nullopt, "203.0.113.7", "/api/items", start));
    }
}

// Generous limits so that every call is allowed and the state never saturates.
void BM_TokenBucket_ExistingKey(benchmark::State& state) {
    Engine engine(config_for("token_bucket", 1e12, 1e9));
    run_existing_key(state, engine);
}
BENCHMARK(BM_TokenBucket_ExistingKey);

// The Python binding's path: one result reused across calls, so its texts keep their
// storage; the record is read, the detail is not.
void BM_TokenBucket_ExistingKey_ReusedResult(benchmark::State& state) {
    Engine engine(config_for("token_bucket", 1e12, 1e9));
    const uint64_t start = tolm::wall_clock().now_ms();
    tolm::CheckResult result;
    for (auto _ : state) {
        engine.check_into(result, std::nullopt, "203.0.113.7", "/api/items", start,
                          tolm::RecordUse::read, tolm::DetailUse::unread);
        benchmark::DoNotOptimize(result);
    }
}
BENCHMARK(BM_TokenBucket_ExistingKey_ReusedResult);

// The Node binding's path: a reused result whose detail is read and whose record is not.
void BM_TokenBucket_ExistingKey_RecordUnread(benchmark::State& state) {
    Engine engine(config_for("token_bucket", 1e12, 1e9));
    const uint64_t start = tolm::wall_clock().now_ms();
    tolm::CheckResult result;
    for (auto _ : state) {
        engine.check_into(result, std::nullopt, "203.0.113.7", "/api/items", start,
                          tolm::RecordUse::unread);
        benchmark::DoNotOptimize(result);
    }
}
BENCHMARK(BM_TokenBucket_ExistingKey_RecordUnread);

void BM_TokenBucket_ExistingKey_FullTelemetryQueue(benchmark::State& state) {
    Engine engine(config_for("token_bucket", 1e12, 1e9, true));
    const uint64_t start = tolm::wall_clock().now_ms();
    for (size_t i = 0; i < tolm::TelemetryQueue::max_queued_events; ++i) {
        engine.check(std::nullopt, "203.0.113.7", "/api/items", start);
    }
    run_existing_key(state, engine);
}
BENCHMARK(BM_TokenBucket_ExistingKey_FullTelemetryQueue);

void BM_SlidingWindow_ExistingKey(benchmark::State& state) {
    // A window that holds every accepted request for 60 s would grow without bound over
    // millions of iterations, so the key sits at its limit and the refused path is timed.
    Engine engine(config_for("sliding_window", 1000, 0));
    run_existing_key(state, engine);
}
BENCHMARK(BM_SlidingWindow_ExistingKey);

void BM_FixedWindow_ExistingKey(benchmark::State& state) {
    Engine engine(config_for("fixed_window", 1e18, 0));
    run_existing_key(state, engine);
}
BENCHMARK(BM_FixedWindow_ExistingKey);

void BM_LeakyBucket_ExistingKey(benchmark::State& state) {
    Engine engine(config_for("leaky_bucket", 1e12, 1e9));
    run_existing_key(state, engine);
}
BENCHMARK(BM_LeakyBucket_ExistingKey);

void BM_Disabled(benchmark::State& state) {
    EngineConfig config = config_for("token_bucket", 1e12, 1e9);
    config.mode = "disabled";
    Engine engine(std::move(config));
    run_existing_key(state, engine);
}
BENCHMARK(BM_Disabled);

std::vector<std::string> ipv4_like_keys(size_t count) {
    std::vector<std::string> keys;
    keys.reserve(count);
    for (size_t i = 0; i < count; ++i) {
        keys.push_back("10." + std::to_string((i >> 16) & 255) + '.' +
                       std::to_string((i >> 8) & 255) + '.' + std::to_string(i & 255));
    }
    return keys;
}

long resident_bytes() {
    long pages_total = 0, pages_resident = 0;
    FILE* f = std::fopen("/proc/self/statm", "r");
    if (f == nullptr) return 0;
    if (std::fscanf(f, "%ld %ld", &pages_total, &pages_resident) != 2) pages_resident = 0;
    std::fclose(f);
    return pages_resident * 4096;
}

// One million distinct IPv4-like keys, all inserted first, then checked round-robin.
// Reports memory per key as the resident-set growth over the insertions.
void BM_TokenBucket_MillionKeys(benchmark::State& state) {
    constexpr size_t kKeys = 1'000'000;
    static const std::vector<std::string> keys = ipv4_like_keys(kKeys);
    auto engine = std::make_unique<Engine>(config_for("token_bucket", 1e12, 1e9));
    const uint64_t start = tolm::wall_clock().now_ms();
    const long before = resident_bytes();
    for (const std::string& key : keys) engine->check(std::nullopt, key, "/", start);
    const long after = resident_bytes();
    size_t i = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(engine->check(std::nullopt, keys[i], "/", start));
        if (++i == kKeys) i = 0;
    }
    state.counters["bytes_per_key"] = static_cast<double>(after - before) / kKeys;
}
BENCHMARK(BM_TokenBucket_MillionKeys)->Iterations(3'000'000);

}  // namespace

BENCHMARK_MAIN();
