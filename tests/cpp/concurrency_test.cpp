// Many threads checking one engine at once: no request is admitted twice or lost, and
// the telemetry queue receives exactly one event per check.
#include <atomic>
#include <latch>
#include <thread>
#include <vector>

#include "test_support.hpp"

namespace tolm::testing {
namespace {

constexpr int kThreads = 8;

// Starts every thread's body at once, so that their checks really overlap.
template <typename Body>
void run_threads(Body body) {
    std::latch start(kThreads);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            start.arrive_and_wait();
            body(t);
        });
    }
    for (auto& thread : threads) thread.join();
}

class OneKeyConcurrencyTest : public ClockTestWithParam<const char*> {};

// With no refill and a frozen clock, exactly `capacity` checks can ever succeed.
TEST_P(OneKeyConcurrencyTest, AdmitsExactlyCapacityInTotal) {
    Engine engine(make_config(GetParam(), 100, 0), clock_);
    std::atomic<int> admitted{0};
    run_threads([&](int) {
        for (int i = 0; i < 250; ++i) {
            if (check_ip(engine, "203.0.113.9").allowed) admitted.fetch_add(1);
        }
    });
    EXPECT_EQ(admitted.load(), 100);
}

INSTANTIATE_TEST_SUITE_P(Algorithms, OneKeyConcurrencyTest,
                         ::testing::Values("token_bucket", "sliding_window", "fixed_window",
                                           "leaky_bucket"));

class ManyKeysConcurrencyTest : public ClockTest {};

TEST_F(ManyKeysConcurrencyTest, EveryKeyGetsExactlyItsCapacity) {
    constexpr int kKeys = 128, kRounds = 8, kCapacity = 5;
    Engine engine(make_config("token_bucket", kCapacity, 0, "shadow", "k"), clock_);
    std::vector<std::atomic<int>> admitted(kKeys);
    run_threads([&](int t) {
        for (int r = 0; r < kRounds; ++r) {
            for (int k = 0; k < kKeys; ++k) {
                const int key = (k + t * 17) % kKeys;  // threads start on different keys
                if (!check_ip(engine, "10.1." + std::to_string(key)).would_block) {
                    admitted[key].fetch_add(1);
                }
            }
        }
    });
    for (int k = 0; k < kKeys; ++k) EXPECT_EQ(admitted[k].load(), kCapacity) << "key " << k;

    const std::vector<TelemetryEvent> queued = events(engine);
    ASSERT_EQ(queued.size(), size_t{kThreads} * kRounds * kKeys);
    size_t would_block = 0;
    for (const TelemetryEvent& e : queued) {
        EXPECT_EQ(e.status_code, 200);  // shadow mode never refuses
        would_block += e.record.decision == "would_block";
    }
    EXPECT_EQ(would_block, queued.size() - size_t{kKeys} * kCapacity);
}

}  // namespace
}  // namespace tolm::testing
