// The words every part of the core shares: the four enumerations with their texts, the
// clock the algorithms read, the float-to-count conversion, and the per-check records an
// algorithm and the engine hand back. This file is the leaf of the core: it includes nothing
// of the project, and everything else in src/core, src/algorithms, src/store and
// src/telemetry may include it.
#pragma once

#include <array>
#include <cmath>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace tolm {

// The numeric value of each enumerator is fixed; the bindings and the telemetry queue rely on
// it, and the text tables below are indexed by it.
enum class Algorithm : uint8_t {
    token_bucket = 0,
    sliding_window = 1,
    fixed_window = 2,
    leaky_bucket = 3
};
enum class Mode : uint8_t { active = 0, shadow = 1, disabled = 2 };
enum class Decision : uint8_t { allow = 0, block = 1, would_block = 2 };
enum class ReasonCode : uint8_t { within_limit = 0, limit_exceeded = 1, token_exhausted = 2 };

inline constexpr std::array<std::string_view, 4> kAlgorithmTexts = {
    "token_bucket", "sliding_window", "fixed_window", "leaky_bucket"};
inline constexpr std::array<std::string_view, 3> kModeTexts = {"active", "shadow", "disabled"};
inline constexpr std::array<std::string_view, 3> kDecisionTexts = {"allow", "block", "would_block"};
inline constexpr std::array<std::string_view, 3> kReasonTexts = {"within_limit", "limit_exceeded",
                                                                 "token_exhausted"};

// How many values each enumeration has: the size of a table a host indexes by it.
template <typename Enum>
inline constexpr size_t kEnumCount = 0;
template <>
inline constexpr size_t kEnumCount<Algorithm> = kAlgorithmTexts.size();
template <>
inline constexpr size_t kEnumCount<Mode> = kModeTexts.size();
template <>
inline constexpr size_t kEnumCount<Decision> = kDecisionTexts.size();
template <>
inline constexpr size_t kEnumCount<ReasonCode> = kReasonTexts.size();

constexpr std::string_view to_text(Algorithm value) noexcept {
    return kAlgorithmTexts[static_cast<size_t>(value)];
}
constexpr std::string_view to_text(Mode value) noexcept {
    return kModeTexts[static_cast<size_t>(value)];
}
constexpr std::string_view to_text(Decision value) noexcept {
    return kDecisionTexts[static_cast<size_t>(value)];
}
constexpr std::string_view to_text(ReasonCode value) noexcept {
    // A code outside the table reads as within_limit.
    const auto index = static_cast<size_t>(value);
    return index < kReasonTexts.size() ? kReasonTexts[index] : kReasonTexts[0];
}

// Where the core reads the time: whole milliseconds since 1970-01-01T00:00:00Z, a fresh
// reading on every call. The engine owns no clock of its own; it is given one when it is
// built and hands it to its algorithm on every check, so that tests can set, advance and step
// back time (and make it fail) without touching the system clock. Production engines read the
// wall clock (core/clock.hpp).
class Clock {
  public:
    // Throws FatalError when the time reads earlier than 1970.
    virtual uint64_t now_ms() = 0;

  protected:
    Clock() = default;
    ~Clock() = default;
    Clock(const Clock&) = default;
    Clock& operator=(const Clock&) = default;
};

// Float to unsigned 64-bit by truncation toward zero; NaN and negatives give 0, values of
// 2^64 and above give 2^64 - 1.
constexpr uint64_t to_u64_saturating(double value) noexcept {
    if (!(value > 0.0)) return 0;  // NaN, zero and negatives
    if (value >= 18446744073709551616.0) return UINT64_MAX;
    return static_cast<uint64_t>(value);
}

// A change to one client's state made outside a check. `reset` gives it a new client's state;
// `adjust` gives back (units < 0) or takes (units > 0) allowance; `block` refuses it until
// duration_ms from now, after which its allowance comes back as the algorithm's own rules
// bring it back from empty.
struct StateChange {
    enum class Kind : uint8_t { reset, adjust, block };
    Kind kind = Kind::reset;
    double units = 0.0;
    uint64_t duration_ms = 0;
};

// The whole requests a cost stands for in the window algorithms, which count requests: the
// cost itself when whole (the bindings accept only whole costs there), rounded up otherwise.
inline uint64_t units_of(double cost) noexcept {
    // A plain request skips the rounding: it is every check's case.
    return cost == 1.0 ? 1 : to_u64_saturating(std::ceil(cost));
}

// What an algorithm hands back for one key. The detail text is written straight into the
// caller's string (the result a binding reuses from call to call), so that its storage is kept
// and nothing is copied or swapped on the way out.
struct AlgorithmVerdict {
    explicit AlgorithmVerdict(std::string& detail_out) noexcept : detail(detail_out) {}
    AlgorithmVerdict(const AlgorithmVerdict&) = delete;
    AlgorithmVerdict& operator=(const AlgorithmVerdict&) = delete;

    std::optional<uint64_t> remaining;       // allowance left after this request
    std::optional<uint64_t> reset_after_ms;  // ms until the window frees up (window algorithms)
    std::optional<uint64_t> retry_after_ms;  // ms until the next whole token (token bucket)
    // The exact waits the middleware turns into headers, absent where the time never comes
    // (nothing refills). Both count from the check's clock reading and are never early for a
    // clock that does not step back: a request made after `admit_after_ms` is admitted (set on
    // refusals only), and after `whole_after_ms` the key's whole allowance is back.
    std::optional<uint64_t> admit_after_ms;
    std::optional<uint64_t> whole_after_ms;
    std::string& detail;   // human-readable remaining allowance
    bool allowed = false;  // admitted and charged to the key's state
    ReasonCode reason = ReasonCode::within_limit;
    // Set by the caller and kept by clear(): false when nobody will read the detail, so
    // the algorithm leaves it empty instead of formatting it.
    bool detail_wanted = true;
    // Set by the caller and kept by clear(): the units this request takes when admitted. 1 is
    // a plain request; the buckets take any positive amount, the window algorithms whole
    // numbers of requests. A request is admitted whole or not at all.
    double cost = 1.0;

    // Back to the empty verdict, keeping the detail's storage for reuse.
    void clear() noexcept {
        remaining.reset();
        reset_after_ms.reset();
        retry_after_ms.reset();
        admit_after_ms.reset();
        whole_after_ms.reset();
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

}  // namespace tolm
