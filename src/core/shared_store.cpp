#include "core/shared_store.hpp"

#include <charconv>

#include "core/clock.hpp"
#include "core/engine.hpp"
#include "runtime/fatal.hpp"
#include "runtime/platform.hpp"

namespace tolm {
namespace {

// The shortest text that reads back as exactly `value`, so equal texts mean equal numbers.
std::string exact(double value) {
    char text[32];
    const auto written = std::to_chars(text, text + sizeof text, value);
    return std::string(text, written.ptr);
}

// The largest sliding-window limit a region takes: every client keeps room for that many
// timestamps (8 bytes each) in its slot.
constexpr uint64_t kMaxSharedWindowLimit = 65536;

}  // namespace

std::string SharedStore::describe(Algorithm kind, const EngineConfig& config) {
    std::string text(to_text(kind));
    switch (kind) {
        case Algorithm::token_bucket:
            return text + " capacity=" + exact(config.capacity) +
                   " refill_rate=" + exact(config.refill_rate);
        case Algorithm::leaky_bucket:
            return text + " capacity=" + exact(config.capacity) +
                   " leak_rate=" + exact(config.refill_rate);
        case Algorithm::fixed_window:
        case Algorithm::sliding_window:
            return text + " limit=" + std::to_string(to_u64_saturating(config.capacity)) +
                   " window_ms=" + std::to_string(config.window_ms);
    }
    return text;
}

SharedStore::Map SharedStore::open_map(Algorithm kind, const EngineConfig& config,
                                       const SharedOptions& options) {
    const SharedTableSettings settings{describe(kind, config), options.max_clients};
    switch (kind) {
        case Algorithm::fixed_window:
            return Map(std::in_place_type<SharedStateMap<FixedWindowState>>, options.name,
                       settings);
        case Algorithm::leaky_bucket:
            return Map(std::in_place_type<SharedStateMap<LeakyBucketState>>, options.name,
                       settings);
        case Algorithm::sliding_window: {
            // Each client keeps room for `limit` timestamps.
            const uint64_t limit = to_u64_saturating(config.capacity);
            if (limit > kMaxSharedWindowLimit) {
                throw SharedRegionError("shared region '" + options.name +
                                        "': a shared sliding_window allows a limit of at most " +
                                        std::to_string(kMaxSharedWindowLimit) + ", got " +
                                        std::to_string(limit));
            }
            return Map(std::in_place_type<SharedStateMap<SharedSlidingWindowState>>, options.name,
                       settings, static_cast<uint32_t>(limit * 8));
        }
        case Algorithm::token_bucket:
            break;
    }
    return Map(std::in_place_type<SharedStateMap<TokenBucketState>>, options.name, settings);
}

template <typename Body>
decltype(auto) SharedStore::visit(Body&& body) const {
    return std::visit(std::forward<Body>(body), map_);
}

SharedStore::SharedStore(Algorithm kind, const EngineConfig& config, const SharedOptions& options)
    : map_(open_map(kind, config, options)), clock_(0, 0) {
    visit([this](const auto& map) {
        const SharedTableHeader& header = map.table().header();
        clock_ = RegionClock(header.anchor_wall_ms, header.anchor_monotonic_ns);
        return 0;
    });
}

void SharedStore::check(TokenBucket& algorithm, std::string_view key, Clock& clock,
                        AlgorithmVerdict& verdict) {
    algorithm.check_in(std::get<SharedStateMap<TokenBucketState>>(map_), key, clock, verdict);
}
void SharedStore::check(FixedWindow& algorithm, std::string_view key, Clock& clock,
                        AlgorithmVerdict& verdict) {
    algorithm.check_in(std::get<SharedStateMap<FixedWindowState>>(map_), key, clock, verdict);
}
void SharedStore::check(LeakyBucket& algorithm, std::string_view key, Clock& clock,
                        AlgorithmVerdict& verdict) {
    algorithm.check_in(std::get<SharedStateMap<LeakyBucketState>>(map_), key, clock, verdict);
}
void SharedStore::check(SlidingWindow& algorithm, std::string_view key, Clock& clock,
                        AlgorithmVerdict& verdict) {
    algorithm.check_in(std::get<SharedStateMap<SharedSlidingWindowState>>(map_), key, clock,
                       verdict);
}

void SharedStore::clear() {
    std::visit([](auto& map) { map.clear(); }, map_);
}

bool SharedStore::created() const {
    return std::visit([](const auto& map) { return map.table().created(); }, map_);
}
uint64_t SharedStore::evictions() const {
    return visit([](const auto& map) { return map.evictions(); });
}
uint64_t SharedStore::repairs() const {
    return visit([](const auto& map) { return map.repairs(); });
}
uint64_t SharedStore::size() const {
    return visit([](const auto& map) { return map.size(); });
}
bool SharedStore::contains(std::string_view key) const {
    return visit([key](const auto& map) { return map.contains(key); });
}
std::string SharedStore::verify() const {
    return visit([](const auto& map) { return map.verify(); });
}

}  // namespace tolm
