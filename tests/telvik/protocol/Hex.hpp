// Byte vectors written as hex text, so literals read like the capture log they come from.
#pragma once

#include "telvik/protocol/Header.hpp"

#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>

namespace telvik::protocol::test {

// Spaces and line breaks are ignored; anything else that is not a hex digit is a typo in a test.
inline Bytes hex(std::string_view text) {
  Bytes out;
  int high = -1;
  for (char c : text) {
    int v = -1;
    if (c >= '0' && c <= '9')
      v = c - '0';
    else if (c >= 'a' && c <= 'f')
      v = c - 'a' + 10;
    else if (c >= 'A' && c <= 'F')
      v = c - 'A' + 10;
    else if (c == ' ' || c == '\n')
      continue;
    else
      throw std::invalid_argument("bad hex literal");
    if (high < 0) {
      high = v;
    } else {
      out.push_back(static_cast<std::uint8_t>(high << 4 | v));
      high = -1;
    }
  }
  if (high >= 0) throw std::invalid_argument("odd hex literal");
  return out;
}

inline std::string toHex(const Bytes& b) {
  static constexpr char digits[] = "0123456789abcdef";
  std::string s;
  for (auto x : b) {
    s.push_back(digits[x >> 4]);
    s.push_back(digits[x & 15]);
  }
  return s;
}

} // namespace telvik::protocol::test
