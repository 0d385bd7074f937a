#pragma once
// Line and token scanning shared by the two map parsers. Both formats are "whitespace-separated
// columns, '#' to the end of the line", so they split lines the same way.

#include "framework/device/Numbers.hpp"

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace orvane::device::detail {

[[nodiscard]] inline bool isBlank(char c) {
  return c == ' ' || c == '\t' || c == '\r' || c == '\v' || c == '\f';
}

/// Splits one line (without its '\n') into tokens, dropping a comment.
[[nodiscard]] inline std::vector<std::string_view> tokenise(std::string_view line) {
  if (auto hash = line.find('#'); hash != std::string_view::npos) line = line.substr(0, hash);
  std::vector<std::string_view> tokens;
  std::size_t i = 0;
  while (i < line.size()) {
    while (i < line.size() && isBlank(line[i]))
      ++i;
    std::size_t start = i;
    while (i < line.size() && !isBlank(line[i]))
      ++i;
    if (i > start) tokens.push_back(line.substr(start, i - start));
  }
  return tokens;
}

/// Calls f(lineNumber, lineText) for every line, numbered from 1.
template <class F> void forEachLine(std::string_view text, F&& f) {
  std::size_t number = 1;
  while (!text.empty()) {
    auto nl = text.find('\n');
    f(number, text.substr(0, nl));
    if (nl == std::string_view::npos) break;
    text.remove_prefix(nl + 1);
    ++number;
  }
}

/// Numbers in a map: decimal, or hexadecimal with 0x; a '-' only where negative values are allowed.
inline constexpr NumberSyntax mapNumber{.hexadecimal = true};

/// Letters, digits, '_' and '-' only: names end up in control-system channel names, where '.'
/// starts a field name and ':' is the separator of the path components.
[[nodiscard]] inline bool isNameChar(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' || c == '-';
}

[[nodiscard]] inline bool isName(std::string_view s) {
  if (s.empty()) return false;
  for (char c : s)
    if (!isNameChar(c)) return false;
  return true;
}

/// Shortens outside text quoted in a message, so a garbage line cannot make a huge message.
[[nodiscard]] inline std::string quote(std::string_view s) {
  constexpr std::size_t maxShown = 80;
  std::string out = "'";
  if (s.size() > maxShown) {
    out.append(s.substr(0, maxShown));
    out += "...";
  } else {
    out.append(s);
  }
  out += "'";
  return out;
}

} // namespace orvane::device::detail
