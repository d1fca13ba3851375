// The enumerations of the engine and the per-check records shared by the engine, the
// algorithms, the telemetry queue and the bindings.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace tolm {

enum class Algorithm : uint8_t {
    token_bucket = 0,
    sliding_window = 1,
    fixed_window = 2,
    leaky_bucket = 3
};
enum class Mode : uint8_t { active = 0, shadow = 1, disabled = 2 };
enum class Decision : uint8_t { allow = 0, block = 1, would_block = 2 };
enum class ReasonCode : uint8_t { within_limit = 0, limit_exceeded = 1, token_exhausted = 2 };

std::string_view to_text(Algorithm value) noexcept;
std::string_view to_text(Mode value) noexcept;
std::string_view to_text(Decision value) noexcept;
std::string_view to_text(ReasonCode value) noexcept;

// What an algorithm hands back for one key.
struct AlgorithmVerdict {
    std::optional<uint64_t> remaining;       // allowance left after this request
    std::optional<uint64_t> reset_after_ms;  // ms until the window frees up (window algorithms)
    std::optional<uint64_t> retry_after_ms;  // ms until the next whole token (token bucket)
    std::string detail;                      // human-readable remaining allowance
    bool allowed = false;                    // admitted and charged to the key's state
    ReasonCode reason = ReasonCode::within_limit;
    // Set by the caller and kept by clear(): false when nobody will read the detail, so
    // the algorithm leaves it empty instead of formatting it.
    bool detail_wanted = true;

    // Back to the empty verdict, keeping the detail's storage for reuse.
    void clear() noexcept {
        remaining.reset();
        reset_after_ms.reset();
        retry_after_ms.reset();
        detail.clear();
        allowed = false;
        reason = ReasonCode::within_limit;
    }
};

// The description of one check, built for every check (disabled mode included).
struct DecisionRecord {
    std::optional<uint64_t> remaining;
    std::optional<uint64_t> reset_after_ms;
    std::optional<uint64_t>
        latency_ms;  // always present: ms from start_ms to the record's clock reading
    std::optional<uint64_t> retry_after_ms;
    std::string decision;
    std::string reason;
    std::string algorithm;
    std::string route;
    std::string mode;
    std::optional<std::string> identity;
    std::string ip;
    uint64_t timestamp = 0;  // whole seconds since 1970 of the record's clock reading
};

// One check of `algorithm` (any of the four) for `key`, its verdict returned by value.
template <typename AlgorithmObject>
AlgorithmVerdict check_once(AlgorithmObject& algorithm, std::string_view key) {
    AlgorithmVerdict verdict;
    algorithm.check(key, verdict);
    return verdict;
}

}  // namespace tolm
