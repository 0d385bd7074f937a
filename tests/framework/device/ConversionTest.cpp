#include "framework/device/Conversion.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cfloat>
#include <cmath>
#include <limits>

namespace orvane::device {
namespace {

using I32 = std::numeric_limits<std::int32_t>;
using I64 = std::numeric_limits<std::int64_t>;
using U64 = std::numeric_limits<std::uint64_t>;

TEST(FixedPoint, Signed32Frac0IsExactlyInt32) {
  auto c = ElementCodec::fixedPoint(32, 0, true);
  for (std::int32_t v : {I32::min(), I32::min() + 1, -1, 0, 1, I32::max() - 1, I32::max()}) {
    SCOPED_TRACE(v);
    const auto raw = c.toRaw(v);
    EXPECT_EQ(raw, static_cast<std::uint32_t>(v)); // two's complement, nothing above bit 31
    EXPECT_EQ(c.toCooked<std::int32_t>(raw), v);
    EXPECT_EQ(c.toCooked<double>(raw), v);
  }
  // Wider cooked values clamp at the raw range.
  EXPECT_EQ(c.toRaw(std::int64_t{I32::max()} + 1), 0x7fffffffu);
  EXPECT_EQ(c.toRaw(std::int64_t{I32::min()} - 1), 0x80000000u);
  EXPECT_EQ(c.toRaw(std::uint64_t{0xffffffff}), 0x7fffffffu);
}

TEST(FixedPoint, Unsigned32) {
  auto c = ElementCodec::fixedPoint(32, 0, false);
  EXPECT_EQ(c.toCooked<std::uint32_t>(0xffffffff), 0xffffffffu);
  EXPECT_EQ(c.toCooked<std::int64_t>(0xffffffff), 0xffffffffLL);
  EXPECT_EQ(c.toCooked<std::int32_t>(0xffffffff), I32::max()); // clamps at the target
  EXPECT_EQ(c.toCooked<double>(0x80000000), 2147483648.0);
  EXPECT_EQ(c.toRaw(-5), 0u);
  EXPECT_EQ(c.toRaw(std::int64_t{1} << 32), 0xffffffffu);
  EXPECT_EQ(c.toRaw(-0.4), 0u);
  EXPECT_EQ(c.toRaw(4294967294.5), 0xffffffffu);
}

TEST(FixedPoint, Width18Frac16EdgesAndHalfLsbRounding) {
  auto c = ElementCodec::fixedPoint(18, 16, true);
  const double lsb = std::ldexp(1.0, -16);
  EXPECT_EQ(c.toCooked<double>(0x20000), -2.0);      // most negative
  EXPECT_EQ(c.toCooked<double>(0x1ffff), 2.0 - lsb); // most positive
  EXPECT_EQ(c.toCooked<double>(0x3ffff), -lsb);
  EXPECT_EQ(c.toCooked<double>(0xfffc0001), lsb); // bits above the width are not ours
  EXPECT_EQ(c.toRaw(2.0), 0x1ffffu);              // clamps, never wraps to -2
  EXPECT_EQ(c.toRaw(-2.0 - lsb), 0x20000u);
  EXPECT_EQ(c.toRaw(1e300), 0x1ffffu);
  EXPECT_EQ(c.toRaw(-HUGE_VAL), 0x20000u);
  EXPECT_EQ(c.toRaw(std::nan("")), 0u);
  EXPECT_EQ(c.toRaw(0.5 * lsb), 1u); // ties away from zero
  EXPECT_EQ(c.toRaw(-0.5 * lsb), 0x3ffffu);
  EXPECT_EQ(c.toRaw(0.49 * lsb), 0u);
  EXPECT_EQ(c.toRaw(1.5 * lsb), 2u);
  EXPECT_EQ(c.toRaw(-1.5 * lsb), 0x3fffeu);
  EXPECT_EQ(c.toRaw(-0.49 * lsb), 0u);
  // Integers: exact arithmetic with the same rounding.
  EXPECT_EQ(c.toCooked<std::int32_t>(0x18000), 2);  // 1.5
  EXPECT_EQ(c.toCooked<std::int32_t>(0x14000), 1);  // 1.25
  EXPECT_EQ(c.toCooked<std::int32_t>(0x28000), -2); // -1.5
  EXPECT_EQ(c.toCooked<std::uint32_t>(0x28000), 0u);
  EXPECT_EQ(c.toRaw(1), 0x10000u);
  EXPECT_EQ(c.toRaw(2), 0x1ffffu);
  EXPECT_EQ(c.toRaw(-2), 0x20000u);
}

TEST(FixedPoint, EveryWidth18Frac16RawSurvivesDoubleAndHalfLsbSteps) {
  auto c = ElementCodec::fixedPoint(18, 16, true);
  const double lsb = std::ldexp(1.0, -16);
  for (std::uint64_t raw = 0; raw < (1u << 18); ++raw) {
    const double v = c.toCooked<double>(raw);
    const std::int64_t n =
        raw >= 0x20000 ? static_cast<std::int64_t>(raw) - 0x40000 : static_cast<std::int64_t>(raw);
    ASSERT_EQ(v, static_cast<double>(n) * lsb);
    ASSERT_EQ(c.toRaw(v), raw);
    ASSERT_EQ(c.toRaw(static_cast<float>(v)), raw); // 18 bits fit a float
    // Half an LSB away from zero rounds outwards, unless that leaves the range.
    const std::int64_t outward = std::clamp<std::int64_t>(n >= 0 ? n + 1 : n - 1, -0x20000, 0x1ffff);
    ASSERT_EQ(c.toRaw(v + (n >= 0 ? 0.5 : -0.5) * lsb), static_cast<std::uint64_t>(outward) & 0x3ffff);
  }
}

TEST(FixedPoint, SmallWidthsAndFracsRoundTripEveryRawValue) {
  for (std::uint32_t width = 1; width <= 10; ++width)
    for (std::int32_t frac = -8; frac <= 12; ++frac)
      for (bool isSigned : {false, true}) {
        auto c = ElementCodec::fixedPoint(width, frac, isSigned);
        for (std::uint64_t raw = 0; raw < (1u << width); ++raw) {
          ASSERT_EQ(c.toRaw(c.toCooked<double>(raw)), raw) << width << " " << frac << " " << isSigned;
          ASSERT_EQ(c.toRaw(c.toCooked<std::string>(raw)), raw) << width << " " << frac << " " << isSigned;
          if (frac <= 0) {
            ASSERT_EQ(c.toRaw(c.toCooked<std::int64_t>(raw)), raw) << width << " " << frac;
          }
        }
      }
}

TEST(FixedPoint, Width1) {
  auto flag = ElementCodec::fixedPoint(1, 0, false);
  EXPECT_EQ(flag.natural(), NaturalType::boolean);
  EXPECT_TRUE(flag.toCooked<bool>(1));
  EXPECT_FALSE(flag.toCooked<bool>(0xfffffffe));
  EXPECT_EQ(flag.toRaw(true), 1u);
  EXPECT_EQ(flag.toRaw(false), 0u);
  EXPECT_EQ(flag.toRaw(5), 1u);
  EXPECT_EQ(flag.toRaw(-1), 0u);
  EXPECT_EQ(flag.toCooked<std::string>(1), "1");

  auto bit = ElementCodec::fixedPoint(1, 0, true); // values -1 and 0
  EXPECT_EQ(bit.toCooked<std::int32_t>(1), -1);
  EXPECT_EQ(bit.toRaw(1), 0u);
  EXPECT_EQ(bit.toRaw(-7), 1u);
  EXPECT_TRUE(bit.toCooked<bool>(bit.toRaw(true))); // true must not encode to 0
}

TEST(FixedPoint, NegativeFracScalesUp) {
  auto c = ElementCodec::fixedPoint(8, -4, true);
  EXPECT_EQ(c.toCooked<std::int32_t>(1), 16);
  EXPECT_EQ(c.toCooked<std::int32_t>(0x80), -2048);
  EXPECT_EQ(c.toRaw(24), 2u); // 1.5 LSB, away from zero
  EXPECT_EQ(c.toRaw(-24), 0xfeu);
  EXPECT_EQ(c.toRaw(7), 0u);
  EXPECT_TRUE(c.toCooked<bool>(c.toRaw(true)));
}

TEST(FixedPoint, SixtyFourBits) {
  auto s = ElementCodec::fixedPoint(64, 0, true);
  for (std::int64_t v : {I64::min(), std::int64_t{-1}, std::int64_t{0}, I64::max()}) {
    EXPECT_EQ(s.toCooked<std::int64_t>(s.toRaw(v)), v);
    EXPECT_EQ(s.toCooked<std::string>(s.toRaw(v)), std::to_string(v));
  }
  EXPECT_EQ(s.toRaw(U64::max()), static_cast<std::uint64_t>(I64::max()));
  EXPECT_EQ(s.toCooked<std::uint64_t>(s.toRaw(std::int64_t{-1})), 0u);
  EXPECT_EQ(s.toRaw(9.3e18), 0x7fffffffffffffffu); // beyond 2^63
  EXPECT_EQ(s.toRaw(-9.3e18), 0x8000000000000000u);
  EXPECT_EQ(s.toRaw(-9223372036854775808.0), 0x8000000000000000u);
  EXPECT_EQ(s.toRaw(std::string("-9223372036854775808")), 0x8000000000000000u);
  EXPECT_EQ(s.natural(), NaturalType::int64);

  auto u = ElementCodec::fixedPoint(64, 0, false);
  EXPECT_EQ(u.toCooked<std::uint64_t>(U64::max()), U64::max());
  EXPECT_EQ(u.toCooked<std::int64_t>(U64::max()), I64::max());
  EXPECT_EQ(u.toCooked<double>(U64::max()), 18446744073709551616.0);
  EXPECT_EQ(u.toRaw(std::string("18446744073709551615")), U64::max());
  EXPECT_EQ(u.toRaw(1.9e19), U64::max());
  EXPECT_EQ(u.toRaw(std::int64_t{-1}), 0u);

  auto scaled = ElementCodec::fixedPoint(64, 32, true);
  EXPECT_EQ(scaled.toCooked<double>(0x0000000180000000), 1.5);
  EXPECT_EQ(scaled.toCooked<std::int64_t>(0xfffffffe80000000), -2); // -1.5
  EXPECT_EQ(scaled.toRaw(I64::max()), 0x7fffffffffffffffu);         // 2^63 << 32 saturates

  // The most extreme scale: 2^64 * 2^64 exceeds float, which clamps instead of overflowing.
  auto huge = ElementCodec::fixedPoint(64, -64, false);
  EXPECT_EQ(huge.toCooked<float>(U64::max()), FLT_MAX);
  EXPECT_EQ(huge.toCooked<std::uint64_t>(1), U64::max());
  EXPECT_EQ(huge.toRaw(U64::max()), 1u); // 2^64-1 is just under one LSB of 2^64 and rounds up
}

TEST(CookedIntegers, RoundAndClampToTheirOwnRange) {
  auto u = ElementCodec::fixedPoint(32, 0, false);
  auto s = ElementCodec::fixedPoint(32, 0, true);
  EXPECT_EQ(u.toCooked<std::int8_t>(200), 127);
  EXPECT_EQ(s.toCooked<std::int8_t>(static_cast<std::uint32_t>(-200)), -128);
  EXPECT_EQ(s.toCooked<std::uint8_t>(static_cast<std::uint32_t>(-1)), 0);
  EXPECT_EQ(u.toCooked<std::uint8_t>(255), 255);
  EXPECT_EQ(u.toCooked<std::int16_t>(40000), 32767);
  EXPECT_EQ(u.toCooked<std::uint16_t>(70000), 65535);
  EXPECT_EQ(s.toRaw(std::int8_t{-128}), 0xffffff80u);
  EXPECT_EQ(s.toCooked<float>(16777217), 16777216.0f);
}

TEST(Ieee754, SingleAndDouble) {
  auto f = ElementCodec::ieee754(32);
  EXPECT_EQ(f.natural(), NaturalType::float32);
  EXPECT_EQ(f.toCooked<float>(0x3fc00000), 1.5f);
  EXPECT_EQ(f.toRaw(1.5), 0x3fc00000u);
  EXPECT_EQ(f.toRaw(1e300), std::bit_cast<std::uint32_t>(FLT_MAX));
  EXPECT_EQ(f.toRaw(-1e300), std::bit_cast<std::uint32_t>(-FLT_MAX));
  EXPECT_EQ(f.toRaw(HUGE_VAL), std::bit_cast<std::uint32_t>(HUGE_VALF));
  EXPECT_TRUE(std::isnan(f.toCooked<double>(f.toRaw(std::nan("")))));
  EXPECT_EQ(f.toRaw(16777217), std::bit_cast<std::uint32_t>(16777216.0f));
  EXPECT_EQ(f.toCooked<std::int32_t>(f.toRaw(3e9)), I32::max());
  EXPECT_EQ(f.toCooked<std::int32_t>(f.toRaw(2.5)), 3);
  EXPECT_EQ(f.toCooked<std::int32_t>(f.toRaw(-2.5)), -3);
  EXPECT_EQ(f.toCooked<std::uint32_t>(f.toRaw(-2.5)), 0u);
  EXPECT_EQ(f.toCooked<std::int32_t>(f.toRaw(std::nan(""))), 0);
  EXPECT_FALSE(f.toCooked<bool>(f.toRaw(-0.0)));
  EXPECT_TRUE(f.toCooked<bool>(f.toRaw(1e-30)));
  EXPECT_EQ(f.toCooked<std::string>(f.toRaw(0.1f)), "0.1");

  auto d = ElementCodec::ieee754(64);
  const double third = 1.0 / 3.0;
  EXPECT_EQ(d.toRaw(third), std::bit_cast<std::uint64_t>(third));
  EXPECT_EQ(d.toCooked<double>(d.toRaw(third)), third);
  EXPECT_EQ(d.toCooked<float>(d.toRaw(1e300)), FLT_MAX);
  EXPECT_EQ(d.toCooked<std::int64_t>(d.toRaw(-1e300)), I64::min());
  EXPECT_EQ(d.toCooked<std::uint64_t>(d.toRaw(1e300)), U64::max());
  EXPECT_EQ(d.toRaw(std::string("0.1")), std::bit_cast<std::uint64_t>(0.1));
}

TEST(Text, IsTheDecimalNaturalValueAndParsesBack) {
  auto s = ElementCodec::fixedPoint(32, 0, true);
  auto q = ElementCodec::fixedPoint(32, 16, true);
  EXPECT_EQ(s.toCooked<std::string>(static_cast<std::uint32_t>(-5)), "-5");
  EXPECT_EQ(q.toCooked<std::string>(0x18000), "1.5");
  EXPECT_EQ(s.toRaw(std::string("  42\t")), 42u);
  EXPECT_EQ(s.toRaw(std::string("+7")), 7u);
  EXPECT_EQ(s.toRaw(std::string("1.6")), 2u);
  EXPECT_EQ(s.toRaw(std::string("1e400")), 0x7fffffffu);
  EXPECT_EQ(s.toRaw(std::string("-1e400")), 0x80000000u);
  EXPECT_EQ(q.toRaw(std::string("nan")), 0u);
  EXPECT_EQ(q.toRaw(std::string("-0.5")), 0xffff8000u);
  for (const char* bad : {"", "  ", "abc", "1.5V", "0x10", "--1"}) {
    SCOPED_TRACE(bad);
    EXPECT_THROW((void)s.toRaw(std::string(bad)), std::invalid_argument);
  }
}

TEST(Text, OneSignAndAnyMagnitude) {
  auto s = ElementCodec::fixedPoint(32, 0, true);
  for (const char* bad : {"+-1", "-+1", "++1"}) {
    SCOPED_TRACE(bad);
    EXPECT_THROW((void)s.toRaw(std::string(bad)), std::invalid_argument);
  }
  // Beyond even a long double's range a number is still a number, and clamps.
  EXPECT_EQ(s.toRaw(std::string("1e5000")), 0x7fffffffu);
  EXPECT_EQ(s.toRaw(std::string("-1e-5000")), 0u);
}

TEST(Ieee754, NanIsFalse) {
  // A NaN in a register says nothing; as a truth value it must not switch anything on.
  EXPECT_FALSE(ElementCodec::ieee754(32).toCooked<bool>(ElementCodec::ieee754(32).toRaw(std::nan(""))));
  EXPECT_FALSE(ElementCodec::ieee754(64).toCooked<bool>(std::bit_cast<std::uint64_t>(-std::nan(""))));
}

TEST(Text, ErrorNamesTheRegister) {
  RegisterInfo reg;
  reg.path = "/Channel0/dcVoltage";
  try {
    (void)ElementCodec(reg).toRaw(std::string("high"));
    FAIL() << "parsed";
  } catch (const std::invalid_argument& e) {
    EXPECT_STREQ(e.what(), "register '/Channel0/dcVoltage': 'high' is not a number");
  }
}

struct Flag { // how the framework's Boolean looks to this layer
  bool value;
  Flag(bool v) : value(v) {} // NOLINT: implicit like the framework's
  explicit operator bool() const { return value; }
};

TEST(Conversion, BooleanLikeTypesActAsBool) {
  static_assert(CookedType<Flag> && !CookedType<char> && !CookedType<long double>);
  auto c = ElementCodec::fixedPoint(32, 16, true);
  EXPECT_TRUE(static_cast<bool>(c.toCooked<Flag>(1)));
  EXPECT_FALSE(static_cast<bool>(c.toCooked<Flag>(0)));
  EXPECT_EQ(c.toRaw(Flag{true}), 0x10000u); // true is the value 1
}

TEST(Conversion, NaturalTypes) {
  auto natural = [](RegisterType type, std::uint32_t width, std::int32_t frac, bool isSigned) {
    RegisterInfo r;
    r.type = type;
    r.width = width;
    r.frac = frac;
    r.isSigned = isSigned;
    return naturalType(r);
  };
  using enum RegisterType;
  EXPECT_EQ(natural(fixedPoint, 32, 0, true), NaturalType::int32);
  EXPECT_EQ(natural(fixedPoint, 18, 0, true), NaturalType::int32);
  EXPECT_EQ(natural(fixedPoint, 33, 0, true), NaturalType::int64);
  EXPECT_EQ(natural(fixedPoint, 32, 0, false), NaturalType::uint32);
  EXPECT_EQ(natural(fixedPoint, 64, 0, false), NaturalType::uint64);
  EXPECT_EQ(natural(fixedPoint, 1, 0, false), NaturalType::boolean);
  EXPECT_EQ(natural(fixedPoint, 1, 0, true), NaturalType::int32);
  EXPECT_EQ(natural(fixedPoint, 1, 1, false), NaturalType::float64);
  EXPECT_EQ(natural(fixedPoint, 32, -2, true), NaturalType::float64);
  EXPECT_EQ(natural(ieee754, 32, 0, true), NaturalType::float32);
  EXPECT_EQ(natural(ieee754, 64, 0, true), NaturalType::float64);
  EXPECT_EQ(natural(nothing, 0, 0, false), NaturalType::nothing);
}

} // namespace
} // namespace orvane::device
