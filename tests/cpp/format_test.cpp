// Number formatting of detail texts, float-to-count conversion and the wall clock.
#include "core/format.hpp"

#include <charconv>
#include <chrono>
#include <cmath>
#include <limits>

#include "runtime/fatal.hpp"
#include "test_support.hpp"

namespace tolm::testing {
namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

struct RoundedCase {
    double value;
    const char* text;
};
void PrintTo(const RoundedCase& c, std::ostream* os) {
    *os << c.text;
}

class AppendRoundedTest : public ::testing::TestWithParam<RoundedCase> {};

TEST_P(AppendRoundedTest, PrintsExactValueRoundedHalfToEven) {
    std::string out = "x";  // appends, never overwrites
    append_rounded(out, GetParam().value);
    EXPECT_EQ(out, std::string("x") + GetParam().text);
}

INSTANTIATE_TEST_SUITE_P(
    Values, AppendRoundedTest,
    ::testing::Values(
        RoundedCase{0.0, "0"}, RoundedCase{0.5, "0"}, RoundedCase{1.5, "2"}, RoundedCase{2.5, "2"},
        RoundedCase{3.5, "4"}, RoundedCase{2.5000000000000004, "3"},
        // Just below one half: adding 0.5 and flooring would wrongly give 1.
        RoundedCase{0.49999999999999994, "0"}, RoundedCase{9.3, "9"}, RoundedCase{9.7, "10"},
        // Negatives keep their sign even when they round to zero.
        RoundedCase{-0.3, "-0"}, RoundedCase{-0.5, "-0"}, RoundedCase{-0.7, "-1"},
        RoundedCase{-2.5, "-2"}, RoundedCase{-1e-300, "-0"},
        // Around 2^52 and 2^53 every float is whole; x + 0.5 would round the wrong way.
        RoundedCase{4503599627370497.0, "4503599627370497"},
        RoundedCase{9007199254740994.0, "9007199254740994"},
        RoundedCase{18446744073709551616.0, "18446744073709551616"},
        RoundedCase{1e20, "100000000000000000000"},
        RoundedCase{std::numeric_limits<double>::max(),
                    "17976931348623157081452742373170435679807056752584499659891747680315726078"
                    "00285387605895586327668781715404589535143824642343213268894641827684675467"
                    "03537516986049910576551282076245490090389328944075868508455133942304583236"
                    "90322294816580855933212334827479782620414472316873817718091929988125040402"
                    "6184124858368"},
        RoundedCase{-1e16, "-10000000000000000"}, RoundedCase{kInf, "inf"},
        RoundedCase{-kInf, "-inf"}, RoundedCase{kNaN, "NaN"}));

TEST(AppendDecimalTest, PlainDigitsWithoutSeparators) {
    std::string out = "n=";
    append_decimal(out, 0);
    out += ',';
    append_decimal(out, 1000000);
    out += ',';
    append_decimal(out, UINT64_MAX);
    EXPECT_EQ(out, "n=0,1000000,18446744073709551615");
}

// The digits are written two at a time from the end; every length and every digit pair at
// every position must come out as the standard library writes them.
TEST(AppendDecimalTest, MatchesTheStandardConversionAtEveryLength) {
    std::vector<uint64_t> values = {0, 9, 10, 99, 100, UINT64_MAX};
    for (uint64_t power = 1; power <= UINT64_MAX / 10; power *= 10) {
        for (const uint64_t v : {power - 1, power, power + 1, power * 9 + power - 1}) {
            values.push_back(v);
        }
    }
    uint64_t x = 0x9E3779B97F4A7C15ULL;
    for (int i = 0; i < 100000; ++i) {
        x ^= x << 13;
        x ^= x >> 7;
        x ^= x << 17;
        values.push_back(x >> (x % 64));  // every magnitude, not only 20-digit ones
    }
    for (const uint64_t v : values) {
        char expected[20];
        char* end = std::to_chars(expected, expected + 20, v).ptr;
        std::string out;
        append_decimal(out, v);
        ASSERT_EQ(out, std::string(expected, static_cast<size_t>(end - expected))) << v;
    }
}

// The detail setters replace what the text held, whatever its length before and after, and
// format the number exactly as the append forms do.
TEST(AssignDetailTextTest, ReplacesContentsWithNumberAndSuffix) {
    std::string out(100, 'x');
    assign_count_text(out, 7, " requests remaining");
    EXPECT_EQ(out, "7 requests remaining");
    assign_rounded_text(out, 2.5, " tokens remaining");
    EXPECT_EQ(out, "2 tokens remaining");
    assign_rounded_text(out, -0.3, "");
    EXPECT_EQ(out, "-0");
    assign_rounded_text(out, std::numeric_limits<double>::max(), " left");
    EXPECT_EQ(out.size(), 309u + 5u);
    EXPECT_EQ(out.substr(0, 6), "179769");
    assign_count_text(out, UINT64_MAX, "");
    EXPECT_EQ(out, "18446744073709551615");
    assign_rounded_text(out, kNaN, " tokens remaining");
    EXPECT_EQ(out, "NaN tokens remaining");
}

struct SaturatingCase {
    double value;
    uint64_t expected;
};
void PrintTo(const SaturatingCase& c, std::ostream* os) {
    *os << c.value;
}

class ToU64SaturatingTest : public ::testing::TestWithParam<SaturatingCase> {};

TEST_P(ToU64SaturatingTest, TruncatesTowardZeroAndSaturates) {
    EXPECT_EQ(to_u64_saturating(GetParam().value), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Values, ToU64SaturatingTest,
    ::testing::Values(SaturatingCase{kNaN, 0}, SaturatingCase{-kInf, 0}, SaturatingCase{-1.0, 0},
                      SaturatingCase{-0.0, 0}, SaturatingCase{0.999, 0}, SaturatingCase{10.9, 10},
                      SaturatingCase{9223372036854775808.0, 9223372036854775808ULL},
                      // The largest float below 2^64 still converts exactly.
                      SaturatingCase{18446744073709549568.0, 18446744073709549568ULL},
                      SaturatingCase{18446744073709551616.0, UINT64_MAX},
                      SaturatingCase{1e300, UINT64_MAX}, SaturatingCase{kInf, UINT64_MAX}));

TEST(WallClockTest, ReadsMillisecondsAndRefusesTimesBefore1970) {
    EXPECT_EQ(reading_to_ms(kSeconds, 999'999'999), kT + 999);
    EXPECT_EQ(ms_since_1970_or_fail(reading_to_ms(0, 0)), 0u);
    EXPECT_EQ(ms_since_1970_or_fail(reading_to_ms(1, 999'000'000)), 1999u);
    // One millisecond before the epoch is a negative second with a large nanosecond part.
    EXPECT_EQ(reading_to_ms(-1, 999'000'000), -1);
    EXPECT_THROW(ms_since_1970_or_fail(reading_to_ms(-1, 999'999'999)), FatalError);
    EXPECT_THROW(ms_since_1970_or_fail(-86'400'000), FatalError);

    // The real clock, between two readings of the C++ library's.
    const auto system_ms = [] {
        return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                         std::chrono::system_clock::now().time_since_epoch())
                                         .count());
    };
    const uint64_t before = system_ms();
    const uint64_t now = wall_clock().now_ms();
    EXPECT_LE(before, now);
    EXPECT_LE(now, system_ms());
}

}  // namespace
}  // namespace tolm::testing
