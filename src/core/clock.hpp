// Wall-clock time and the numeric conversions the core shares.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace tolm {

// The wall clock as whole milliseconds since 1970-01-01T00:00:00Z: seconds * 1000 plus
// nanoseconds / 1000000. Every call takes a fresh reading. Throws FatalError when the
// clock reads earlier than 1970.
uint64_t now_ms();

// Float to unsigned 64-bit by truncation toward zero; NaN and negatives give 0, values of
// 2^64 and above give 2^64 - 1.
constexpr uint64_t to_u64_saturating(double value) noexcept {
    if (!(value > 0.0)) return 0;  // NaN, zero and negatives
    if (value >= 18446744073709551616.0) return UINT64_MAX;
    return static_cast<uint64_t>(value);
}

// Appends `value` in plain decimal.
void append_decimal(std::string& out, uint64_t value);

// Appends `value` with zero decimals, rounded to nearest with ties to even on its exact
// binary value, with a minus sign whenever the sign bit is set (-0.3 gives "-0").
// Infinities print as "inf" and "-inf", not-a-number as "NaN".
void append_rounded(std::string& out, double value);

// Replace `out` with the number, formatted as above, followed by `suffix`, keeping the
// storage `out` already has: the detail texts of the algorithms.
void assign_count_text(std::string& out, uint64_t value, std::string_view suffix);
void assign_rounded_text(std::string& out, double value, std::string_view suffix);

}  // namespace tolm
