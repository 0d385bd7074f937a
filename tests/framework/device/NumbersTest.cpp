#include "framework/device/Numbers.hpp"

#include "tests/framework/CommaDecimalLocale.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>

namespace orvane::device {
namespace {

template <class T> using Limits = std::numeric_limits<T>;
constexpr double inf = Limits<double>::infinity();
constexpr double nan = Limits<double>::quiet_NaN();

TEST(RoundToInteger, HalvesGoAwayFromZero) {
  EXPECT_EQ(roundToInteger<std::int32_t>(0.5), 1);
  EXPECT_EQ(roundToInteger<std::int32_t>(-0.5), -1);
  EXPECT_EQ(roundToInteger<std::int32_t>(2.5), 3); // not to even
  EXPECT_EQ(roundToInteger<std::int32_t>(-2.5), -3);
  // The double just below 0.5: adding 0.5 and truncating would make it 1.
  EXPECT_EQ(roundToInteger<std::int32_t>(0.49999999999999994), 0);
  EXPECT_EQ(roundToInteger<std::uint8_t>(254.5), 255);
  EXPECT_EQ(roundToInteger<std::int64_t>(4503599627370495.5), 4503599627370496); // 2^52 - 0.5
}

TEST(RoundToInteger, ClampsAtTheRangeAndNanIsZero) {
  EXPECT_EQ(roundToInteger<std::int32_t>(nan), 0);
  EXPECT_EQ(roundToInteger<std::uint64_t>(-nan), 0u);
  EXPECT_EQ(roundToInteger<std::int32_t>(inf), Limits<std::int32_t>::max());
  EXPECT_EQ(roundToInteger<std::int32_t>(-inf), Limits<std::int32_t>::min());
  EXPECT_EQ(roundToInteger<std::int32_t>(2147483646.5), Limits<std::int32_t>::max());
  EXPECT_EQ(roundToInteger<std::int32_t>(2147483648.0), Limits<std::int32_t>::max());
  EXPECT_EQ(roundToInteger<std::int32_t>(-2147483648.4), Limits<std::int32_t>::min());
  EXPECT_EQ(roundToInteger<std::int32_t>(-2147483648.6), Limits<std::int32_t>::min());
  EXPECT_EQ(roundToInteger<std::int8_t>(-1e300), -128);
  // 2^63 and 2^64 are the doubles nearest the 64-bit maxima, and already beyond them.
  EXPECT_EQ(roundToInteger<std::int64_t>(9223372036854775807.0), Limits<std::int64_t>::max());
  EXPECT_EQ(roundToInteger<std::int64_t>(-9223372036854775808.0), Limits<std::int64_t>::min());
  EXPECT_EQ(roundToInteger<std::int64_t>(9223372036854774784.0), 9223372036854774784); // 2^63 - 1024
  EXPECT_EQ(roundToInteger<std::uint64_t>(18446744073709551615.0), Limits<std::uint64_t>::max());
  EXPECT_EQ(roundToInteger<std::uint64_t>(-0.4), 0u);
  EXPECT_EQ(roundToInteger<std::uint64_t>(-1.0), 0u); // never wraps
}

TEST(ClampToInteger, NeverWraps) {
  EXPECT_EQ((clampToInteger<std::int8_t>(std::int64_t{200})), 127);
  EXPECT_EQ((clampToInteger<std::int8_t>(std::int64_t{-200})), -128);
  EXPECT_EQ((clampToInteger<std::uint32_t>(-1)), 0u);
  EXPECT_EQ((clampToInteger<std::uint64_t>(Limits<std::int64_t>::min())), 0u);
  EXPECT_EQ((clampToInteger<std::int64_t>(Limits<std::uint64_t>::max())), Limits<std::int64_t>::max());
  EXPECT_EQ((clampToInteger<std::int8_t>(std::uint8_t{255})), 127);
  EXPECT_EQ((clampToInteger<std::uint16_t>(std::int16_t{-1})), 0u);
  EXPECT_EQ((clampToInteger<std::int32_t>(std::uint32_t{2147483648u})), Limits<std::int32_t>::max());
}

TEST(ClampToFloat, FiniteValuesStayFinite) {
  EXPECT_EQ(clampToFloat(1e300), Limits<float>::max());
  EXPECT_EQ(clampToFloat(-1e300), Limits<float>::lowest());
  EXPECT_EQ(clampToFloat(1e4000L), Limits<float>::max());
  EXPECT_EQ(clampToFloat(static_cast<double>(Limits<float>::max())), Limits<float>::max());
  EXPECT_EQ(clampToFloat(inf), Limits<float>::infinity());
  EXPECT_EQ(clampToFloat(-inf), -Limits<float>::infinity());
  EXPECT_TRUE(std::isnan(clampToFloat(nan)));
  EXPECT_EQ(clampToFloat(1e-50), 0.0f);
}

TEST(TruthOf, NanAndBothZerosAreFalse) {
  EXPECT_FALSE(truthOf(nan));
  EXPECT_FALSE(truthOf(0.0));
  EXPECT_FALSE(truthOf(-0.0));
  EXPECT_TRUE(truthOf(1e-300));
  EXPECT_TRUE(truthOf(-inf));
  EXPECT_TRUE(truthOf(-1));
  EXPECT_FALSE(truthOf(std::uint64_t{0}));
}

TEST(ParseInteger, TheWholeTextAndExactlyTheTypesRange) {
  EXPECT_EQ(parseInteger<std::int32_t>("0"), 0);
  EXPECT_EQ(parseInteger<std::int32_t>("-0"), 0);
  EXPECT_EQ(parseInteger<std::int32_t>("007"), 7);
  EXPECT_EQ(parseInteger<std::int64_t>("9223372036854775807"), Limits<std::int64_t>::max());
  EXPECT_EQ(parseInteger<std::int64_t>("-9223372036854775808"), Limits<std::int64_t>::min());
  EXPECT_EQ(parseInteger<std::uint64_t>("18446744073709551615"), Limits<std::uint64_t>::max());
  EXPECT_EQ(parseInteger<std::int8_t>("-128"), -128);
  EXPECT_EQ(parseInteger<std::uint8_t>("255"), 255);
  for (const char* beyond : {"128", "-129", "99999999999999999999999"})
    EXPECT_FALSE(parseInteger<std::int8_t>(beyond)) << beyond;
  EXPECT_FALSE(parseInteger<std::int64_t>("9223372036854775808"));
  EXPECT_FALSE(parseInteger<std::int64_t>("-9223372036854775809"));
  EXPECT_FALSE(parseInteger<std::uint64_t>("18446744073709551616"));
  EXPECT_FALSE(parseInteger<std::uint8_t>("256"));
  // Unsigned types take no sign at all: "-0" is no way to write a count.
  EXPECT_FALSE(parseInteger<std::uint32_t>("-0"));
  EXPECT_FALSE(parseInteger<std::uint32_t>("-1"));
  for (const char* bad : {"", " ", " 5", "5 ", "5\n", "5x", "5.0", "1e3", "0x10", "+5", "--5", "+-5", "-+5",
                          "-", "five", "5 5"})
    EXPECT_FALSE(parseInteger<std::int32_t>(bad)) << '\'' << bad << '\'';
}

TEST(ParseInteger, SignAndHexadecimalOnlyWhereTheSyntaxAllowsThem) {
  constexpr NumberSyntax plus{.plusSign = true};
  constexpr NumberSyntax hex{.hexadecimal = true};
  EXPECT_EQ(parseInteger<std::int32_t>("+5", plus), 5);
  EXPECT_EQ(parseInteger<std::uint32_t>("+5", plus), 5u);
  EXPECT_FALSE(parseInteger<std::int32_t>("+-5", plus));
  EXPECT_FALSE(parseInteger<std::int32_t>("++5", plus));
  EXPECT_EQ(parseInteger<std::int32_t>("0x7fffffff", hex), Limits<std::int32_t>::max());
  EXPECT_EQ(parseInteger<std::int32_t>("0X1f", hex), 31);
  EXPECT_EQ(parseInteger<std::int32_t>("-0x80000000", hex), Limits<std::int32_t>::min());
  EXPECT_EQ(parseInteger<std::uint64_t>("0xFFFFFFFFFFFFFFFF", hex), Limits<std::uint64_t>::max());
  EXPECT_EQ(parseInteger<std::int32_t>("010", hex), 10); // no octal
  for (const char* bad : {"0x", "0x-5", "0x+5", "0xg", "0x80000000", "x10", "0x 1"})
    EXPECT_FALSE(parseInteger<std::int32_t>(bad, hex)) << bad;
}

TEST(ParseFloating, NumbersInfinitiesAndNan) {
  auto value = [](const char* text, NumberSyntax syntax = {}) {
    const auto p = parseFloating(text, syntax);
    EXPECT_TRUE(p && !p->outOfRange) << text;
    return p ? p->value : -12345.0;
  };
  EXPECT_EQ(value("1.5"), 1.5);
  EXPECT_EQ(value("-2.5e3"), -2500.0);
  EXPECT_EQ(value(".5"), 0.5);
  EXPECT_EQ(value("5."), 5.0);
  EXPECT_EQ(value("1E2"), 100.0);
  EXPECT_EQ(value("inf"), inf);
  EXPECT_EQ(value("-Infinity"), -inf);
  EXPECT_TRUE(std::isnan(value("nan")));
  EXPECT_TRUE(std::signbit(value("-nan")));
  EXPECT_EQ(value("1.7976931348623157e308"), Limits<double>::max());
  EXPECT_EQ(value("0e-999999"), 0.0);
  EXPECT_EQ(value("+1", {.plusSign = true}), 1.0);
  EXPECT_EQ(value("0x1p3", {.hexadecimal = true}), 8.0);
  EXPECT_EQ(value("-0x1.8", {.hexadecimal = true}), -1.5);
  for (const char* bad : {"", " ", " 1", "1 ", "1\t", "1.5V", "1,5", "1e", "e5", ".", "--1", "+1", "-+1",
                          "0x10", "1.2.3", "in", "nano"})
    EXPECT_FALSE(parseFloating(bad)) << '\'' << bad << '\'';
  EXPECT_FALSE(parseFloating("+-1", {.plusSign = true}));
  EXPECT_FALSE(parseFloating("0x", {.hexadecimal = true}));
}

TEST(ParseFloating, BeyondDoublesRangeSaysSoAndGivesTheNearestValue) {
  auto outOfRange = [](const char* text) {
    const auto p = parseFloating(text);
    EXPECT_TRUE(p && p->outOfRange) << text;
    return p ? p->value : -12345.0;
  };
  EXPECT_EQ(outOfRange("1e400"), inf);
  EXPECT_EQ(outOfRange("-1e400"), -inf);
  EXPECT_EQ(outOfRange("1.7976931348623159e308"), inf); // rounds beyond the largest double
  EXPECT_EQ(outOfRange("1e-400"), 0.0);
  EXPECT_TRUE(std::signbit(outOfRange("-1e-400")));
  EXPECT_EQ(outOfRange("1e-310"), 1e-310); // subnormal: kept, but below the normal range
  // Beyond long double's range as well.
  EXPECT_EQ(outOfRange("1e5000"), inf);
  EXPECT_EQ(outOfRange("-1e-5000"), -0.0);
}

TEST(Trimmed, BlanksAtBothEndsOnly) {
  EXPECT_EQ(trimmed(" \t\n\v\f\r5 5\r\n"), "5 5");
  EXPECT_EQ(trimmed("   "), "");
  EXPECT_EQ(trimmed(""), "");
  EXPECT_EQ(trimmed("\n5\t", " \t"), "\n5");
}

// std::from_chars reads the C notation whatever the process's locale, where strtod and std::stod
// would take "1,5" and stop at "1.5" under a comma-decimal locale.
TEST(Parse, ACommaDecimalLocaleChangesNothing) {
  orvane::testing::CommaDecimalLocale locale;
  if (locale.name() == nullptr) GTEST_SKIP() << "no comma-decimal locale is installed";
  SCOPED_TRACE(locale.name());
  const auto point = parseFloating("1.5");
  const auto comma = parseFloating("1,5");
  const auto grouped = parseInteger<std::int32_t>("1.000");
  locale.restore();
  ASSERT_TRUE(point);
  EXPECT_EQ(point->value, 1.5);
  EXPECT_FALSE(comma);
  EXPECT_FALSE(grouped);
}

} // namespace
} // namespace orvane::device
