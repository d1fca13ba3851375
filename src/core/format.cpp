#include "core/format.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <cstring>

namespace tolm {
namespace {

// Room for any rounded double: a sign and the 309 digits of the largest finite value.
constexpr size_t kNumberTextMax = 320;

// "00" to "99": two digits per division, the way a detail text's number is written on every
// check (the general to_chars measures the length first and costs about twice as much).
constexpr std::array<char, 200> kDigitPairs = [] {
    std::array<char, 200> pairs{};
    for (size_t i = 0; i < 100; ++i) {
        pairs[2 * i] = static_cast<char>('0' + i / 10);
        pairs[2 * i + 1] = static_cast<char>('0' + i % 10);
    }
    return pairs;
}();

// Writes `value` in plain decimal at `out` (up to 20 bytes); returns the end.
char* write_decimal(char* out, uint64_t value) noexcept {
    char digits[20];
    char* first = digits + sizeof digits;
    while (value >= 100) {
        const size_t pair = static_cast<size_t>(value % 100) * 2;
        value /= 100;
        first -= 2;
        std::memcpy(first, &kDigitPairs[pair], 2);
    }
    if (value >= 10) {
        first -= 2;
        std::memcpy(first, &kDigitPairs[static_cast<size_t>(value) * 2], 2);
    } else {
        *--first = static_cast<char>('0' + value);
    }
    const auto size = static_cast<size_t>(digits + sizeof digits - first);
    std::memcpy(out, first, size);
    return out + size;
}

// Writes `value` as append_rounded describes into `out`, which has kNumberTextMax bytes.
char* write_rounded(char* out, double value) noexcept {
    if (std::isnan(value)) return std::copy_n("NaN", 3, out);
    if (std::signbit(value)) *out++ = '-';
    const double magnitude = std::fabs(value);
    if (std::isinf(magnitude)) return std::copy_n("inf", 3, out);
    if (magnitude < 9007199254740992.0) {  // 2^53: below it every step is exact
        // Truncation is floor for a magnitude, and the fraction it leaves is exact.
        uint64_t whole = static_cast<uint64_t>(magnitude);
        const double fraction = magnitude - static_cast<double>(whole);
        if (fraction > 0.5 || (fraction == 0.5 && (whole & 1) != 0)) whole += 1;
        return write_decimal(out, whole);
    }
    // Already an integer; print its exact decimal expansion.
    const int n = std::snprintf(out, kNumberTextMax - 1, "%.0f", magnitude);
    return out + n;
}

// Replaces `out` with `number` then `suffix` in one write, reusing out's storage.
void assign_joined(std::string& out, const char* number, const char* number_end,
                   std::string_view suffix) {
    const auto number_size = static_cast<size_t>(number_end - number);
    out.resize(number_size + suffix.size());
    std::memcpy(out.data(), number, number_size);
    std::memcpy(out.data() + number_size, suffix.data(), suffix.size());
}

}  // namespace

void append_decimal(std::string& out, uint64_t value) {
    char digits[20];
    out.append(digits, write_decimal(digits, value));
}

void append_rounded(std::string& out, double value) {
    char digits[kNumberTextMax];
    out.append(digits, write_rounded(digits, value));
}

void assign_count_text(std::string& out, uint64_t value, std::string_view suffix) {
    char digits[20];
    assign_joined(out, digits, write_decimal(digits, value), suffix);
}

void assign_rounded_text(std::string& out, double value, std::string_view suffix) {
    char digits[kNumberTextMax];
    assign_joined(out, digits, write_rounded(digits, value), suffix);
}

}  // namespace tolm
