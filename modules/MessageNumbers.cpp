#include "modules/MessageNumbers.hpp"

#include <cstdio>

namespace quellor {

std::string formatFixed(double value) {
  char buf[512]; // enough for the 309 integer digits of the largest double
  const int n = std::snprintf(buf, sizeof buf, "%f", value);
  return std::string(buf, n > 0 ? static_cast<size_t>(n) : 0U);
}

} // namespace quellor
