#include "framework/Types.hpp"

#include "tests/framework/CommaDecimalLocale.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <stdexcept>
#include <string>

using namespace orvane;

namespace {

template <typename T> T fromText(const std::string& text) {
  return anyVectorAs<T>(AnyVector(std::vector<std::string>{text})).at(0);
}

template <typename T> T from(double v) {
  return anyVectorAs<T>(AnyVector(std::vector<double>{v})).at(0);
}

TEST(Types, TextBecomesANumberOnlyWhenItIsOne) {
  EXPECT_EQ(fromText<int32_t>("  42\n"), 42);
  EXPECT_EQ(fromText<int32_t>("+5"), 5);
  EXPECT_EQ(fromText<int32_t>("-0x10"), -16);
  EXPECT_EQ(fromText<double>("0x1p-2"), 0.25);
  EXPECT_EQ(fromText<int32_t>("2.5"), 3);
  EXPECT_EQ(fromText<int8_t>("300"), 127);
  EXPECT_EQ(fromText<uint32_t>("-1"), 0u);
  EXPECT_EQ(fromText<int32_t>("nan"), 0);
  EXPECT_EQ(fromText<int32_t>("-inf"), std::numeric_limits<int32_t>::min());
  // 2^53 + 1 has no double; a 64-bit value must not pass through one.
  EXPECT_EQ(fromText<int64_t>(" 9007199254740993 "), 9007199254740993);
  EXPECT_EQ(fromText<uint64_t>("18446744073709551615"), std::numeric_limits<uint64_t>::max());
  EXPECT_EQ(fromText<int64_t>("1e30"), std::numeric_limits<int64_t>::max());
  EXPECT_TRUE(fromText<Boolean>("True"));
  EXPECT_FALSE(fromText<Boolean>("0"));
  EXPECT_FALSE(fromText<Boolean>("nan"));
  for (const char* bad :
       {"", "  ", "abc", "1.5V", "1,5", "--1", "+-1", "1 2", "1e400", "-1e400", "1e-400", "1e-310"}) {
    SCOPED_TRACE(bad);
    try {
      (void)fromText<double>(bad);
      ADD_FAILURE() << "converted";
    } catch (const std::invalid_argument& e) {
      EXPECT_EQ(e.what(), "'" + std::string(bad) + "' is not a number");
    }
  }
}

TEST(Types, NumbersFollowTheRegistersRules) {
  EXPECT_FALSE(from<Boolean>(std::nan("")));
  EXPECT_FALSE(anyVectorAs<Boolean>(AnyVector(std::vector<float>{std::nanf("")})).at(0));
  EXPECT_TRUE(from<Boolean>(-1e-300));
  EXPECT_EQ(from<float>(1e300), std::numeric_limits<float>::max()); // clamped, not infinite
  EXPECT_EQ(from<float>(-1e300), std::numeric_limits<float>::lowest());
  EXPECT_EQ(from<float>(-HUGE_VAL), -HUGE_VALF);
  EXPECT_EQ(from<int16_t>(-0.5), -1);
  EXPECT_EQ(from<uint64_t>(1e300), std::numeric_limits<uint64_t>::max());
  EXPECT_EQ(anyVectorAs<uint8_t>(AnyVector(std::vector<int64_t>{-5, 300})), (std::vector<uint8_t>{0, 255}));
}

TEST(Types, NumbersAsTextReadBackExactly) {
  const AnyVector values(std::vector<double>{0.1, -2.5e-300, 1e300, 5});
  EXPECT_EQ(elementToString(values, 0), "0.10000000000000001");
  EXPECT_EQ(elementToString(values, 3), "5");
  EXPECT_EQ(anyVectorAs<double>(convertAnyVector(values, ValueType::string)), anyVectorAs<double>(values));
  EXPECT_EQ(elementToString(AnyVector(std::vector<float>{0.1f}), 0), "0.10000000149011612");
}

// Settings files are written and read through these conversions; a comma-decimal locale must
// neither write "0,5" nor refuse "0.5".
TEST(Types, ACommaDecimalLocaleChangesNoText) {
  orvane::testing::CommaDecimalLocale locale;
  if (locale.name() == nullptr) GTEST_SKIP() << "no comma-decimal locale is installed";
  SCOPED_TRACE(locale.name());
  const std::string written = elementToString(AnyVector(std::vector<double>{0.5}), 0);
  double read = 0;
  bool commaRefused = false;
  try {
    read = fromText<double>("0.5");
    (void)fromText<double>("0,5");
  } catch (const std::invalid_argument&) {
    commaRefused = true;
  }
  locale.restore();
  EXPECT_EQ(written, "0.5");
  EXPECT_EQ(read, 0.5);
  EXPECT_TRUE(commaRefused);
}

} // namespace
