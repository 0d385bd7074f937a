#pragma once
// Line and token scanning shared by the two map parsers. Both formats are "whitespace-separated
// columns, '#' to the end of the line", so they split lines the same way.

#include <charconv>
#include <cstdint>
#include <limits>
#include <optional>
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

/// Decimal, or hexadecimal with 0x; no sign, no trailing characters.
[[nodiscard]] inline std::optional<std::uint64_t> parseUnsigned(std::string_view s) {
  int base = 10;
  if (s.size() > 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X')) {
    s.remove_prefix(2);
    base = 16;
  }
  if (s.empty() || s.front() == '+' || s.front() == '-') return std::nullopt;
  std::uint64_t value = 0;
  auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), value, base);
  if (ec != std::errc{} || end != s.data() + s.size()) return std::nullopt;
  return value;
}

/// parseUnsigned with an optional leading '-'.
[[nodiscard]] inline std::optional<std::int64_t> parseSigned(std::string_view s) {
  bool negative = !s.empty() && s.front() == '-';
  if (negative) s.remove_prefix(1);
  auto magnitude = parseUnsigned(s);
  if (!magnitude) return std::nullopt;
  constexpr auto limit = static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max());
  if (*magnitude > limit + (negative ? 1 : 0)) return std::nullopt;
  if (negative) return static_cast<std::int64_t>(0 - *magnitude);
  return static_cast<std::int64_t>(*magnitude);
}

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
