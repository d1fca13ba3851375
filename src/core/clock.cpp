#include "core/clock.hpp"

#include <charconv>
#include <cmath>
#include <cstdio>

#include "runtime/fatal.hpp"
#include "runtime/platform.hpp"

namespace tolm {

uint64_t now_ms() {
    const platform::WallClockReading reading = platform::read_wall_clock();
    if (reading.seconds < 0) raise_fatal("system clock reads earlier than 1970-01-01T00:00:00Z");
    return static_cast<uint64_t>(reading.seconds) * 1000 +
           static_cast<uint64_t>(reading.nanoseconds) / 1000000;
}

void append_decimal(std::string& out, uint64_t value) {
    char digits[20];
    const auto end = std::to_chars(digits, digits + sizeof digits, value).ptr;
    out.append(digits, end);
}

void append_rounded(std::string& out, double value) {
    if (std::isnan(value)) {
        out += "NaN";
        return;
    }
    if (std::signbit(value)) out += '-';
    const double magnitude = std::fabs(value);
    if (std::isinf(magnitude)) {
        out += "inf";
        return;
    }
    if (magnitude < 9007199254740992.0) {  // 2^53: below it every step is exact
        double whole = std::floor(magnitude);
        const double fraction = magnitude - whole;
        if (fraction > 0.5 || (fraction == 0.5 && std::fmod(whole, 2.0) != 0.0)) whole += 1.0;
        append_decimal(out, static_cast<uint64_t>(whole));
        return;
    }
    // Already an integer; print its exact decimal expansion.
    char digits[320];
    const int n = std::snprintf(digits, sizeof digits, "%.0f", magnitude);
    out.append(digits, static_cast<size_t>(n));
}

}  // namespace tolm
