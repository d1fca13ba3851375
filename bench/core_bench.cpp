// Core benchmarks: Engine::check per algorithm on an existing key (with removal of recovered
// keys on, and off for comparison), the cost of a full telemetry queue and its memory with
// long routes, a million distinct keys (time per check and memory per key), and the churn run:
// a stream of one-off clients under a simulated clock, printing live keys and resident memory
// over time with removal on and off; the shared store against the private one per check and
// its bytes per client; and, with --hammer=N, N processes checking at once.
//
//   tolm_core_bench [google benchmark flags] [--churn=table|json|none]
//                   [--churn_seconds=600] [--churn_keys_per_second=100000] [--hammer=4]
//
// --churn=table (the default) runs the benchmarks, then the churn run, printed as a table;
// --churn=json runs only the churn run and prints it as JSON (bench/churn_chart.py draws it);
// --churn=none runs only the benchmarks.
#include <benchmark/benchmark.h>
#include <malloc.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <memory>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "../tests/cpp/engine_diagnostics.hpp"
#include "core/clock.hpp"
#include "core/engine.hpp"
#include "core/reusable_result.hpp"

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

// The same with removal of recovered keys switched off: a check of an existing key never
// sweeps, so the two rows of one run should agree within the noise.
void BM_TokenBucket_ExistingKey_RemovalOff(benchmark::State& state) {
    Engine engine(config_for("token_bucket", 1e12, 1e9));
    tolm::EngineDiagnostics::set_removal_enabled(engine, false);
    run_existing_key(state, engine);
}
BENCHMARK(BM_TokenBucket_ExistingKey_RemovalOff);

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

// The bindings' road: the thread's result handed out by ReusableResult for each call (and
// tidied when the call ends), without the record or the texts, as Node's checkRequest asks.
void BM_TokenBucket_ExistingKey_ThreadResult(benchmark::State& state) {
    Engine engine(config_for("token_bucket", 1e12, 1e9));
    const uint64_t start = tolm::wall_clock().now_ms();
    for (auto _ : state) {
        tolm::ReusableResult reusable;
        engine.check_into(reusable.get(), std::nullopt, "203.0.113.7", "/api/items", start,
                          tolm::RecordUse::unread, tolm::DetailUse::read, tolm::TextUse::unread);
        benchmark::DoNotOptimize(reusable.get());
    }
}
BENCHMARK(BM_TokenBucket_ExistingKey_ThreadResult);

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
// Reports memory per key as the resident-set growth over the insertions. The refill is slow
// (one token in 1000 s) so that no bucket recovers during the run: with a fast one every key
// would be forgotten as soon as the next ones arrive, and the row would time new keys.
void BM_TokenBucket_MillionKeys(benchmark::State& state) {
    constexpr size_t kKeys = 1'000'000;
    static const std::vector<std::string> keys = ipv4_like_keys(kKeys);
    auto engine = std::make_unique<Engine>(config_for("token_bucket", 1e12, 1e-3));
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

// The same keys checked in an order unrelated to the order they arrived in, as returning
// clients are: no table layout can then find consecutive keys next to each other.
void BM_TokenBucket_MillionKeys_RandomOrder(benchmark::State& state) {
    constexpr size_t kKeys = 1'000'000;
    static const std::vector<std::string> keys = ipv4_like_keys(kKeys);
    static const std::vector<std::string> shuffled = [] {
        std::vector<std::string> order = keys;
        std::shuffle(order.begin(), order.end(), std::mt19937_64(42));
        return order;
    }();
    auto engine = std::make_unique<Engine>(config_for("token_bucket", 1e12, 1e-3));
    const uint64_t start = tolm::wall_clock().now_ms();
    for (const std::string& key : keys) engine->check(std::nullopt, key, "/", start);
    size_t i = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(engine->check(std::nullopt, shuffled[i], "/", start));
        if (++i == kKeys) i = 0;
    }
}
BENCHMARK(BM_TokenBucket_MillionKeys_RandomOrder)->Iterations(3'000'000);

// 100,000 keys, the size of the bindings' many-key rows: a table that fits in the last-level
// cache, in insertion order as there.
void BM_TokenBucket_100kKeys(benchmark::State& state) {
    constexpr size_t kKeys = 100'000;
    static const std::vector<std::string> keys = ipv4_like_keys(kKeys);
    auto engine = std::make_unique<Engine>(config_for("token_bucket", 1e12, 1e-3));
    const uint64_t start = tolm::wall_clock().now_ms();
    for (const std::string& key : keys) engine->check(std::nullopt, key, "/", start);
    size_t i = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(engine->check(std::nullopt, keys[i], "/", start));
        if (++i == kKeys) i = 0;
    }
}
BENCHMARK(BM_TokenBucket_100kKeys);

double thread_cpu_ns() {
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) * 1e9 + static_cast<double>(t.tv_nsec);
}

// Growth pauses: 2,000,000 new keys, each check timed on its own in the thread's CPU time (so
// that the machine's other programs do not count), as a table grows from empty. Reports the
// longest single check, how many checks took over 100 us and over 1 ms, and at which key the
// longest came. A table that grows by copying all of a shard shows pauses that grow with it.
void BM_TokenBucket_GrowthPauses(benchmark::State& state) {
    constexpr size_t kKeys = 2'000'000;
    const std::vector<std::string> keys = ipv4_like_keys(kKeys);
    double longest = 0, longest_at = 0, over_100us = 0, over_1ms = 0;
    std::vector<float> spent_ns(kKeys);
    for (auto _ : state) {
        auto engine = std::make_unique<Engine>(config_for("token_bucket", 1e12, 1e-3));
        const uint64_t start = tolm::wall_clock().now_ms();
        tolm::CheckResult result;
        for (size_t i = 0; i < kKeys; ++i) {
            const double before = thread_cpu_ns();
            engine->check_into(result, std::nullopt, keys[i], "/", start, tolm::RecordUse::read,
                               tolm::DetailUse::unread);
            const double spent = thread_cpu_ns() - before;
            spent_ns[i] = static_cast<float>(spent);
            over_100us += spent > 100e3;
            over_1ms += spent > 1e6;
            if (spent > longest) {
                longest = spent;
                longest_at = static_cast<double>(i);
            }
        }
    }
    // Percentiles of a new key's check (each includes the two CPU-clock readings around it).
    std::sort(spent_ns.begin(), spent_ns.end());
    const auto percentile = [&](double p) {
        return spent_ns[static_cast<size_t>(p * static_cast<double>(kKeys - 1))] / 1e3;
    };
    state.counters["p50_us"] = percentile(0.5);
    state.counters["p99_us"] = percentile(0.99);
    state.counters["p999_us"] = percentile(0.999);
    state.counters["max_us"] = longest / 1e3;
    state.counters["max_at_key"] = longest_at;
    state.counters["over_100us"] = over_100us;
    state.counters["over_1ms"] = over_1ms;
}
BENCHMARK(BM_TokenBucket_GrowthPauses)->Iterations(1)->Unit(benchmark::kMillisecond);

// Bytes the allocator has handed out and not had back (heap and mapped chunks).
long allocated_bytes() {
    const struct mallinfo2 info = mallinfo2();
    return static_cast<long>(info.uordblks + info.hblkhd);
}

// The telemetry queue's memory when every request carries its own 20 KB route: 20000 checks,
// twice the queue's length, so that the ring is full and has recycled every slot. Counted as
// allocated bytes, which unlike the resident set does not depend on what earlier benchmarks
// of the process freed.
void BM_Telemetry_LongUniqueRoutes(benchmark::State& state) {
    constexpr size_t kRouteBytes = 20'000, kChecks = 20'000;
    std::string route(kRouteBytes, 'r');
    long growth = 0;
    for (auto _ : state) {
        const long before = allocated_bytes();
        auto engine = std::make_unique<Engine>(config_for("token_bucket", 1e12, 1e9, true));
        const uint64_t start = tolm::wall_clock().now_ms();
        for (size_t i = 0; i < kChecks; ++i) {
            std::to_chars(route.data(), route.data() + 20, i);  // unique, same length
            benchmark::DoNotOptimize(engine->check(std::nullopt, "203.0.113.7", route, start));
        }
        growth = allocated_bytes() - before;
    }
    state.counters["queue_mb"] = static_cast<double>(growth) / 1e6;
}
BENCHMARK(BM_Telemetry_LongUniqueRoutes)->Iterations(1)->Unit(benchmark::kMillisecond);

// The churn run: `keys_per_second` new clients per simulated second, each checked once on
// arrival (token bucket, capacity 10, one token per second, so a client has recovered one
// second after its check), for `seconds` simulated seconds. Every 10 simulated seconds it
// records the live keys and the resident-set growth since the engine was built.
class SimulatedClock final : public tolm::Clock {
  public:
    uint64_t now_ms() override { return ms; }
    uint64_t ms = 1'700'000'000'000;
};

struct ChurnSample {
    uint64_t second;
    size_t live_keys;
    long resident_bytes;
};

struct ChurnRun {
    bool removal = true;
    std::vector<ChurnSample> samples;
    uint64_t checks = 0;
    double ns_per_check = 0;  // process CPU time over the checks, sampling excluded
};

double cpu_seconds() {
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

ChurnRun run_churn(bool removal, uint64_t seconds, uint64_t keys_per_second) {
    ChurnRun run;
    run.removal = removal;
    SimulatedClock clock;
    const long base = resident_bytes();
    auto engine = std::make_unique<Engine>(config_for("token_bucket", 10, 1), clock);
    tolm::EngineDiagnostics::set_removal_enabled(*engine, removal);
    tolm::CheckResult result;
    const uint64_t per_ms = keys_per_second / 1000;
    uint64_t next_key = 0;
    char key[16];  // at most 265.255.255.255
    double spent = 0;
    run.samples.push_back({0, 0, resident_bytes() - base});
    for (uint64_t second = 1; second <= seconds; ++second) {
        const double started = cpu_seconds();
        for (uint64_t ms = 0; ms < 1000; ++ms) {
            clock.ms += 1;
            for (uint64_t k = 0; k < per_ms; ++k, ++next_key) {
                // 10.a.b.c, then 11.a.b.c: a distinct IPv4-like text per client.
                char* end = key;
                for (int shift = 24; shift >= 0; shift -= 8) {
                    const unsigned octet =
                        static_cast<unsigned>((next_key >> shift) & 255) + (shift == 24 ? 10 : 0);
                    if (octet >= 100) *end++ = static_cast<char>('0' + octet / 100);
                    if (octet >= 10) *end++ = static_cast<char>('0' + octet / 10 % 10);
                    *end++ = static_cast<char>('0' + octet % 10);
                    if (shift != 0) *end++ = '.';
                }
                engine->check_into(result, std::nullopt, std::string_view(key, end - key), "/",
                                   clock.ms, tolm::RecordUse::read, tolm::DetailUse::unread);
            }
        }
        spent += cpu_seconds() - started;
        run.checks += per_ms * 1000;
        if (second % 10 == 0 || second == seconds) {
            run.samples.push_back(
                {second, tolm::EngineDiagnostics::live_keys(*engine), resident_bytes() - base});
        }
    }
    run.ns_per_check = spent * 1e9 / static_cast<double>(run.checks);
    return run;
}

void print_churn_table(const ChurnRun& on, const ChurnRun& off, uint64_t keys_per_second) {
    std::printf(
        "\nChurn: %llu new keys per simulated second, each checked once (token bucket, capacity "
        "10, 1 token/s: recovered 1 s after its check)\n",
        static_cast<unsigned long long>(keys_per_second));
    std::printf("%8s  %14s  %14s  %14s  %14s\n", "sim s", "live (removal)", "MB (removal)",
                "live (kept)", "MB (kept)");
    for (size_t i = 0; i < on.samples.size() && i < off.samples.size(); ++i) {
        const ChurnSample& a = on.samples[i];
        const ChurnSample& b = off.samples[i];
        if (i % 6 != 0 && i + 1 != on.samples.size()) continue;  // every minute
        std::printf("%8llu  %14zu  %14.1f  %14zu  %14.1f\n",
                    static_cast<unsigned long long>(a.second), a.live_keys,
                    static_cast<double>(a.resident_bytes) / 1e6, b.live_keys,
                    static_cast<double>(b.resident_bytes) / 1e6);
    }
    std::printf("ns per check: %.0f with removal, %.0f kept (%llu checks each)\n", on.ns_per_check,
                off.ns_per_check, static_cast<unsigned long long>(on.checks));
}

void print_churn_json(const ChurnRun& on, const ChurnRun& off, uint64_t keys_per_second) {
    std::printf("{\"keys_per_second\": %llu, \"recovery_seconds\": 1, \"runs\": [",
                static_cast<unsigned long long>(keys_per_second));
    for (const ChurnRun* run : {&on, &off}) {
        std::printf("%s{\"removal\": %s, \"checks\": %llu, \"ns_per_check\": %.1f, \"samples\": [",
                    run == &on ? "" : ", ", run->removal ? "true" : "false",
                    static_cast<unsigned long long>(run->checks), run->ns_per_check);
        for (size_t i = 0; i < run->samples.size(); ++i) {
            const ChurnSample& sample = run->samples[i];
            std::printf("%s[%llu, %zu, %ld]", i == 0 ? "" : ", ",
                        static_cast<unsigned long long>(sample.second), sample.live_keys,
                        sample.resident_bytes);
        }
        std::printf("]}");
    }
    std::printf("]}\n");
}

// The cache-simulation run: inserts `keys` IPv4-like keys, then checks each of them once more
// in lookup_round(), which a simulator can measure on its own:
//
//   valgrind --tool=callgrind --cache-sim=yes --LL=33554432,16,64
//            --toggle-collect='*lookup_round*' tolm_core_bench --lookups=1000000
//
// prints the Ir and the data cache misses (D1mr, DLmr...) of the lookups alone; divided by
// the key count they are the cost of one check of an existing key.
[[gnu::noinline]] size_t lookup_round(Engine& engine, const std::vector<std::string>& keys,
                                      uint64_t start) {
    size_t allowed = 0;
    tolm::CheckResult result;
    for (const std::string& key : keys) {
        engine.check_into(result, std::nullopt, key, "/", start, tolm::RecordUse::read,
                          tolm::DetailUse::unread);
        allowed += result.allowed;
    }
    return allowed;
}

int run_lookups(size_t count) {
    const std::vector<std::string> keys = ipv4_like_keys(count);
    auto engine = std::make_unique<Engine>(config_for("token_bucket", 1e12, 1e-3));
    const uint64_t start = tolm::wall_clock().now_ms();
    tolm::CheckResult result;
    for (const std::string& key : keys) {
        engine->check_into(result, std::nullopt, key, "/", start, tolm::RecordUse::read,
                           tolm::DetailUse::unread);
    }
    // A different order from the insertions, as clients come back in their own order.
    std::vector<std::string> shuffled;
    shuffled.reserve(count);
    for (size_t i = 0, j = 0; i < count; ++i, j = (j + 7919) % count) shuffled.push_back(keys[j]);
    const size_t allowed = lookup_round(*engine, shuffled, start);
    std::printf("%zu lookups, %zu allowed\n", count, allowed);
    return allowed == count ? 0 : 1;
}

// Shared store against private store, same run: one key, and 100k keys round-robin. The
// region is created by the row and removed after it; its name carries the process id so that
// two runs do not meet.
std::string bench_region(const char* row) {
    return std::string("tolm-bench-") + std::to_string(::getpid()) + "-" + row;
}

std::unique_ptr<Engine> open_bench_shared(const char* row, uint64_t max_clients) {
    const std::string name = bench_region(row);
    Engine::remove_shared(name);
    return Engine::open_shared(config_for("token_bucket", 1e12, 1e-3),
                               tolm::SharedOptions{name, max_clients});
}

void BM_Shared_OneKey_Private(benchmark::State& state) {
    Engine engine(config_for("token_bucket", 1e12, 1e-3));
    run_existing_key(state, engine);
}
BENCHMARK(BM_Shared_OneKey_Private);

void BM_Shared_OneKey_Shared(benchmark::State& state) {
    auto engine = open_bench_shared("one", 1000);
    run_existing_key(state, *engine);
    Engine::remove_shared(bench_region("one"));
}
BENCHMARK(BM_Shared_OneKey_Shared);

void run_100k(benchmark::State& state, Engine& engine) {
    constexpr size_t kKeys = 100'000;
    static const std::vector<std::string> keys = ipv4_like_keys(kKeys);
    const uint64_t start = tolm::wall_clock().now_ms();
    tolm::CheckResult result;
    for (const std::string& key : keys) engine.check(std::nullopt, key, "/", start);
    size_t i = 0;
    for (auto _ : state) {
        engine.check_into(result, std::nullopt, keys[i], "/", start, tolm::RecordUse::read,
                          tolm::DetailUse::unread);
        benchmark::DoNotOptimize(result.allowed);
        if (++i == kKeys) i = 0;
    }
}

void BM_Shared_100kKeys_Private(benchmark::State& state) {
    Engine engine(config_for("token_bucket", 1e12, 1e-3));
    run_100k(state, engine);
}
BENCHMARK(BM_Shared_100kKeys_Private);

void BM_Shared_100kKeys_Shared(benchmark::State& state) {
    auto engine = open_bench_shared("100k", 100'000);
    run_100k(state, *engine);
    Engine::remove_shared(bench_region("100k"));
}
BENCHMARK(BM_Shared_100kKeys_Shared);

// Bytes of region per client for a region sized for a million clients (its file size over
// max_clients), and the resident memory one process gains by filling it.
void BM_Shared_MillionKeys_BytesPerClient(benchmark::State& state) {
    constexpr size_t kKeys = 1'000'000;
    static const std::vector<std::string> keys = ipv4_like_keys(kKeys);
    const long before = resident_bytes();
    auto engine = open_bench_shared("million", kKeys);
    const uint64_t start = tolm::wall_clock().now_ms();
    for (const std::string& key : keys) engine->check(std::nullopt, key, "/", start);
    const long after = resident_bytes();
    size_t i = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(engine->check(std::nullopt, keys[i], "/", start));
        if (++i == kKeys) i = 0;
    }
    const auto geometry =
        tolm::SharedTable::geometry(kKeys, sizeof(tolm::SharedSlot<tolm::TokenBucketState>));
    state.counters["region_bytes_per_client"] = static_cast<double>(geometry.region_bytes) / kKeys;
    state.counters["resident_bytes_per_client"] = static_cast<double>(after - before) / kKeys;
    state.counters["evictions"] = static_cast<double>(engine->shared_store()->evictions());
    Engine::remove_shared(bench_region("million"));
}
BENCHMARK(BM_Shared_MillionKeys_BytesPerClient)->Iterations(3'000'000);

// --hammer=N: N processes checking at once, each `kHammerChecks` checks, on one key or on
// keys of their own, with a shared engine (one region for all) and with private engines (each
// process its own, the N-times-the-limit setup the shared store replaces). Prints total
// checks per second per setup, the median of five runs and its spread, from the wall time
// between the start signal and the last process's end.
constexpr size_t kHammerChecks = 1'000'000;

double hammer_once(size_t processes, bool shared, bool same_key) {
    const std::string name = bench_region("hammer");
    Engine::remove_shared(name);
    auto config = config_for("token_bucket", 1e12, 1e-3);
    std::unique_ptr<Engine> opened =
        shared ? Engine::open_shared(config, tolm::SharedOptions{name, 100'000}) : nullptr;
    int start_pipe[2];
    if (::pipe(start_pipe) != 0) return 0;
    std::vector<pid_t> children;
    for (size_t p = 0; p < processes; ++p) {
        const pid_t pid = ::fork();
        if (pid == 0) {
            ::close(start_pipe[1]);
            std::unique_ptr<Engine> own =
                shared ? Engine::open_shared(config, tolm::SharedOptions{name, 100'000})
                       : std::make_unique<Engine>(config);
            std::vector<std::string> keys;
            for (size_t k = 0; k < 1000; ++k) {
                keys.push_back(same_key ? std::string("203.0.113.7")
                                        : "10." + std::to_string(p) + ".0." + std::to_string(k));
            }
            char go = 0;
            if (::read(start_pipe[0], &go, 1) != 0) ::_exit(2);
            tolm::CheckResult result;
            for (size_t i = 0; i < kHammerChecks; ++i) {
                own->check_into(result, std::nullopt, keys[i % keys.size()], "/", 0,
                                tolm::RecordUse::unread, tolm::DetailUse::unread,
                                tolm::TextUse::unread);
            }
            ::_exit(result.allowed ? 0 : 1);
        }
        children.push_back(pid);
    }
    ::close(start_pipe[0]);
    timespec begin{}, end{};
    ::clock_gettime(CLOCK_MONOTONIC, &begin);
    ::close(start_pipe[1]);  // every child's read returns: go
    for (const pid_t child : children) {
        int status = 0;
        ::waitpid(child, &status, 0);
    }
    ::clock_gettime(CLOCK_MONOTONIC, &end);
    Engine::remove_shared(name);
    const double seconds =
        static_cast<double>(end.tv_sec - begin.tv_sec) + (end.tv_nsec - begin.tv_nsec) / 1e9;
    return static_cast<double>(processes * kHammerChecks) / seconds;
}

int run_hammer(size_t processes) {
    std::printf("%zu processes, %zu checks each: total checks per second (median of 5, min-max)\n",
                processes, kHammerChecks);
    for (const bool same_key : {true, false}) {
        for (const bool shared : {false, true}) {
            std::vector<double> rates;
            for (int run = 0; run < 5; ++run)
                rates.push_back(hammer_once(processes, shared, same_key));
            std::sort(rates.begin(), rates.end());
            std::printf("  %-10s %-8s %12.0f  (%.0f-%.0f)\n", same_key ? "same key" : "own keys",
                        shared ? "shared" : "private", rates[2], rates[0], rates[4]);
        }
    }
    return 0;
}

// Takes `--name=value` out of argv; returns whether it was there.
bool take_flag(int& argc, char** argv, const char* name, std::string& value) {
    const size_t length = std::strlen(name);
    for (int i = 1; i < argc; ++i) {
        if (std::strncmp(argv[i], name, length) == 0 && argv[i][length] == '=') {
            value = argv[i] + length + 1;
            for (int j = i; j + 1 < argc; ++j) argv[j] = argv[j + 1];
            --argc;
            return true;
        }
    }
    return false;
}

}  // namespace

int main(int argc, char** argv) {
    std::string churn = "table", text;
    uint64_t seconds = 600, keys_per_second = 100'000;
    take_flag(argc, argv, "--churn", churn);
    if (take_flag(argc, argv, "--churn_seconds", text)) seconds = std::stoull(text);
    if (take_flag(argc, argv, "--churn_keys_per_second", text)) keys_per_second = std::stoull(text);
    if (take_flag(argc, argv, "--lookups", text)) return run_lookups(std::stoull(text));
    if (take_flag(argc, argv, "--hammer", text)) return run_hammer(std::stoull(text));
    if (churn != "table" && churn != "json" && churn != "none") {
        std::fprintf(stderr, "--churn must be table, json or none, not %s\n", churn.c_str());
        return 2;
    }
    if (churn != "json") {
        benchmark::Initialize(&argc, argv);
        if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
        benchmark::RunSpecifiedBenchmarks();
        benchmark::Shutdown();
    }
    if (churn == "none") return 0;
    // Kept first: its memory goes back to the system when its engine is freed (the large
    // tables are mapped), so the run with removal starts from the same baseline.
    const ChurnRun off = run_churn(false, seconds, keys_per_second);
    const ChurnRun on = run_churn(true, seconds, keys_per_second);
    if (churn == "json") {
        print_churn_json(on, off, keys_per_second);
    } else {
        print_churn_table(on, off, keys_per_second);
    }
    return 0;
}
