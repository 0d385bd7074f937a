#include "telvik/protocol/ChannelName.hpp"

namespace telvik::protocol {

namespace {
constexpr bool isUpper(char c) {
  return c >= 'A' && c <= 'Z';
}
constexpr bool isFieldChar(char c) {
  return isUpper(c) || (c >= '0' && c <= '9') || c == '_';
}
} // namespace

ChannelName splitChannelName(std::string_view name) {
  ChannelName r;
  const auto dot = name.find('.');
  if (dot == std::string_view::npos) {
    r.base = name;
    if (name.size() > 1 && name.back() == '$') {
      r.base.remove_suffix(1);
      r.longString = true;
    }
    r.valid = !r.base.empty();
    return r;
  }

  r.base = name.substr(0, dot);
  std::string_view rest = name.substr(dot + 1);
  std::size_t n = 0;
  if (!rest.empty() && isUpper(rest.front()))
    while (n < rest.size() && isFieldChar(rest[n]))
      ++n;
  if (n > 0) {
    r.field = rest.substr(0, n);
    r.fieldGiven = true;
  }
  rest.remove_prefix(n);
  if (!rest.empty() && rest.front() == '$') {
    r.longString = true;
    rest.remove_prefix(1);
  }
  if (!rest.empty()) {
    if (rest.front() != '[' && rest.front() != '{') return r;
    r.modifier = rest;
  }
  r.valid = !r.base.empty();
  return r;
}

} // namespace telvik::protocol
