// The machine's cost of one dependent load from a working set of a given size: a pointer chase
// through cache lines in random order, so that neither the prefetcher nor out-of-order
// execution can hide a miss. A lookup in a table far larger than the last-level cache pays
// about the largest of these figures per dependent miss; the many-keys rows of tolm_core_bench
// are best read beside it.
//
//   ./build-bench/tolm_memory_latency
#include <algorithm>
#include <chrono>
#include <cstddef>
#include <cstdio>
#include <numeric>
#include <random>
#include <vector>

namespace {

struct alignas(64) Line {
    const Line* next;
};

double ns_per_dependent_load(size_t bytes) {
    const size_t count = bytes / sizeof(Line);
    std::vector<size_t> order(count);
    std::iota(order.begin(), order.end(), 0);
    std::shuffle(order.begin(), order.end(), std::mt19937_64(1));
    std::vector<Line> lines(count);
    for (size_t i = 0; i < count; ++i) lines[order[i]].next = &lines[order[(i + 1) % count]];
    constexpr size_t kSteps = 20'000'000;
    const Line* at = &lines[order[0]];
    const auto start = std::chrono::steady_clock::now();
    for (size_t i = 0; i < kSteps; ++i) at = at->next;
    const auto stop = std::chrono::steady_clock::now();
    // Keeps the chase from being optimised away.
    if (at == nullptr) std::puts("");
    return std::chrono::duration<double, std::nano>(stop - start).count() / kSteps;
}

}  // namespace

int main() {
    std::puts("working set   ns per dependent load (median of 3)");
    for (size_t mb : {1, 4, 16, 64, 256}) {
        double runs[3];
        for (double& run : runs) run = ns_per_dependent_load(mb << 20);
        std::sort(runs, runs + 3);
        std::printf("%7zu MB   %6.1f  (%.1f-%.1f)\n", mb, runs[1], runs[0], runs[2]);
    }
}
