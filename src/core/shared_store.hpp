// The client states of an engine that shares them with the other processes of the host: the
// algorithm's SharedStateMap in a named region, and the clock every process of that region
// reads.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <variant>

#include "algorithms/fixed_window.hpp"
#include "algorithms/leaky_bucket.hpp"
#include "algorithms/sliding_window.hpp"
#include "algorithms/token_bucket.hpp"
#include "core/clock.hpp"
#include "core/vocabulary.hpp"
#include "store/shared_state_map.hpp"

namespace tolm {

struct EngineConfig;

// What makes an engine shared. Processes that open the same name with the same settings
// share one state per key.
struct SharedOptions {
    std::string name;          // the region's name: printable ASCII, no '/' or '\', <= 200
    uint64_t max_clients = 0;  // most clients the region holds before it evicts (1 to 2^28)
};

// The time of a shared region: anchored when the region was created, with the anchor kept
// in its header, so every process of the region reads the same time.
using RegionClock = AnchoredClock;

class SharedStore {
  public:
    // Opens or creates the region for the engine's algorithm and numbers. Throws
    // SharedRegionError (bad name or size, another layout, other settings, a damaged region,
    // an algorithm a region cannot hold).
    SharedStore(Algorithm kind, const EngineConfig& config, const SharedOptions& options);

    // The text a region records for these settings, compared on every open.
    static std::string describe(Algorithm kind, const EngineConfig& config);

    void check(TokenBucket& algorithm, std::string_view key, Clock& clock,
               AlgorithmVerdict& verdict);
    void check(FixedWindow& algorithm, std::string_view key, Clock& clock,
               AlgorithmVerdict& verdict);
    void check(LeakyBucket& algorithm, std::string_view key, Clock& clock,
               AlgorithmVerdict& verdict);
    void check(SlidingWindow& algorithm, std::string_view key, Clock& clock,
               AlgorithmVerdict& verdict);

    // The region's map for the algorithm's states (the engine's algorithm decides which).
    template <typename State>
    SharedStateMap<State>& map() {
        return std::get<SharedStateMap<State>>(map_);
    }
    // Forgets every client of the region, for every process that shares it.
    void clear();

    RegionClock& clock() noexcept { return clock_; }
    bool created() const;
    // Operators' counters and the table check (see SharedStateMap).
    uint64_t evictions() const;
    uint64_t repairs() const;
    uint64_t size() const;
    bool contains(std::string_view key) const;
    std::string verify() const;

  private:
    template <typename Body>
    decltype(auto) visit(Body&& body) const;

    using Map =
        std::variant<SharedStateMap<TokenBucketState>, SharedStateMap<FixedWindowState>,
                     SharedStateMap<LeakyBucketState>, SharedStateMap<SharedSlidingWindowState>>;
    static Map open_map(Algorithm kind, const EngineConfig& config, const SharedOptions& options);

    Map map_;
    RegionClock clock_;
};

}  // namespace tolm
