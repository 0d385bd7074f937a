#include "modules/MessageNumbers.hpp"

#include <gtest/gtest.h>

#include <cfloat>
#include <cmath>

namespace quellor {
namespace {

TEST(MessageNumbers, SixDecimalsAndNeverCut) {
  EXPECT_EQ(formatFixed(120.0), "120.000000");
  EXPECT_EQ(formatFixed(-0.25), "-0.250000");
  // An operator's value may be anything a double holds; a message must not lose its digits.
  const std::string largest = formatFixed(-DBL_MAX);
  EXPECT_EQ(largest.size(), 1u + 309u + 7u);
  EXPECT_EQ(largest.substr(0, 18), "-17976931348623157");
  EXPECT_EQ(largest.substr(largest.size() - 7), ".000000");
  EXPECT_EQ(formatFixed(HUGE_VAL), "inf");
  EXPECT_EQ(formatFixed(-HUGE_VAL), "-inf");
  EXPECT_EQ(formatFixed(std::nan("")), "nan");
}

} // namespace
} // namespace quellor
