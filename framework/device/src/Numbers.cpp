#include "framework/device/Numbers.hpp"

#include <charconv>
#include <system_error>

namespace orvane::device {

namespace detail {

bool takeSignAndBase(std::string_view& text, NumberSyntax syntax, bool& negative, bool& hex) noexcept {
  negative = false;
  hex = false;
  if (!text.empty() && (text.front() == '-' || (syntax.plusSign && text.front() == '+'))) {
    negative = text.front() == '-';
    text.remove_prefix(1);
  }
  if (syntax.hexadecimal && text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
    hex = true;
    text.remove_prefix(2);
  }
  // std::from_chars takes a '-' of its own; after ours only the digits may follow.
  return text.empty() || (text.front() != '-' && text.front() != '+');
}

std::optional<std::uint64_t> parseMagnitude(std::string_view text, bool hex) noexcept {
  std::uint64_t value = 0;
  const char* last = text.data() + text.size();
  const auto [end, ec] = std::from_chars(text.data(), last, value, hex ? 16 : 10);
  if (ec != std::errc{} || end != last) return std::nullopt;
  return value;
}

} // namespace detail

namespace {

/// For a text that std::from_chars found out of double's range: whether it is too large (else too
/// small). The library keeps the value to itself in both cases; long double's wider range tells
/// them apart, and beyond that the exponent's sign does.
bool isOverflow(std::string_view text, std::chars_format format) noexcept {
  long double wide = 0;
  const char* last = text.data() + text.size();
  if (const auto r = std::from_chars(text.data(), last, wide, format); r.ec == std::errc{} && r.ptr == last)
    return std::fabs(wide) > 1.0L;
  const auto marker = text.find_last_of(format == std::chars_format::hex ? "pP" : "eE");
  return marker == std::string_view::npos || marker + 1 >= text.size() || text[marker + 1] != '-';
}

} // namespace

std::optional<ParsedFloating> parseFloating(std::string_view text, NumberSyntax syntax) noexcept {
  bool negative = false;
  bool hex = false;
  if (!detail::takeSignAndBase(text, syntax, negative, hex) || text.empty()) return std::nullopt;
  const auto format = hex ? std::chars_format::hex : std::chars_format::general;
  const char* last = text.data() + text.size();
  double value = 0;
  const auto [end, ec] = std::from_chars(text.data(), last, value, format);
  if (end != last) return std::nullopt;
  ParsedFloating out;
  if (ec == std::errc{}) {
    out.value = value;
    out.outOfRange = std::fpclassify(value) == FP_SUBNORMAL;
  } else if (ec == std::errc::result_out_of_range) {
    out.value = isOverflow(text, format) ? std::numeric_limits<double>::infinity() : 0.0;
    out.outOfRange = true;
  } else {
    return std::nullopt;
  }
  if (negative) out.value = -out.value;
  return out;
}

std::string_view trimmed(std::string_view text, std::string_view blanks) noexcept {
  const auto first = text.find_first_not_of(blanks);
  if (first == std::string_view::npos) return {};
  return text.substr(first, text.find_last_not_of(blanks) - first + 1);
}

} // namespace orvane::device
