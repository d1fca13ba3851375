// Number formatting for the algorithms' detail texts.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace tolm {

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
