#pragma once
// The rules by which numbers change type and are read from text, for the device layer and the
// framework above it, so that a value lands alike whether it reaches a register, a variable
// network, the configuration or a settings file:
// - towards an integer: round to nearest, halves away from zero, and clamp at the target's range,
//   never wrap; NaN gives 0;
// - towards a float: a finite value beyond float's range clamps at its largest magnitude;
// - towards a truth value: anything but 0 and NaN is true (NaN says nothing, and nothing must not
//   switch anything on);
// - from text: std::from_chars, so the process's locale never changes what a text means.
// The CA protocol layer, which depends on nothing of ours, applies the same rules on its own.

#include <cmath>
#include <concepts>
#include <cstdint>
#include <limits>
#include <optional>
#include <string_view>
#include <type_traits>
#include <utility>

namespace orvane::device {

template <class T>
concept Integer = std::integral<T> && !std::is_same_v<T, bool>;

/// `v` rounded to nearest (halves away from zero) and clamped at To's range; NaN gives 0.
template <Integer To> [[nodiscard]] To roundToInteger(double v) noexcept {
  if (std::isnan(v)) return To{0};
  const double r = std::round(v);
  // The bounds as doubles: the upper one of the 64-bit types rounds up to a power of two, which
  // is out of range already, hence >=.
  constexpr auto lowest = static_cast<double>(std::numeric_limits<To>::min());
  constexpr auto highest = static_cast<double>(std::numeric_limits<To>::max());
  if (r <= lowest) return std::numeric_limits<To>::min();
  if (r >= highest) return std::numeric_limits<To>::max();
  return static_cast<To>(r);
}

/// `v` clamped at To's range, without a detour through a double.
template <Integer To, Integer From> [[nodiscard]] constexpr To clampToInteger(From v) noexcept {
  if (std::cmp_less(v, std::numeric_limits<To>::min())) return std::numeric_limits<To>::min();
  if (std::cmp_greater(v, std::numeric_limits<To>::max())) return std::numeric_limits<To>::max();
  return static_cast<To>(v);
}

/// `v` as a float: a finite value beyond float's range clamps at its largest magnitude (a plain
/// conversion would be undefined); infinities and NaN stay what they are.
template <std::floating_point From> [[nodiscard]] float clampToFloat(From v) noexcept {
  constexpr auto highest = static_cast<From>(std::numeric_limits<float>::max());
  if (v > highest)
    return std::isinf(v) ? std::numeric_limits<float>::infinity() : std::numeric_limits<float>::max();
  if (v < -highest)
    return std::isinf(v) ? -std::numeric_limits<float>::infinity() : std::numeric_limits<float>::lowest();
  return static_cast<float>(v);
}

/// The truth value of a number: anything but 0 and NaN.
template <class T>
requires std::is_arithmetic_v<T>
[[nodiscard]] constexpr bool truthOf(T v) noexcept {
  if constexpr (std::is_floating_point_v<T>)
    return v != T{0} && !std::isnan(v);
  else
    return v != T{0};
}

/// What a number's text may hold besides its digits and a '-' (the '-' only where the target
/// takes negative values). Blanks never: a caller that allows them trims them first.
struct NumberSyntax {
  bool plusSign{false};    ///< one leading '+' in place of the '-'
  bool hexadecimal{false}; ///< "0x" or "0X" after the sign, then hexadecimal digits (and for a
                           ///< floating-point number an optional binary exponent "p...")
};

/// The whole of `text` as an integer of type T: an optional sign, then decimal digits, or with
/// `syntax.hexadecimal` "0x" and hexadecimal digits. Anything else, and a value beyond T's range,
/// gives nullopt.
template <Integer T>
[[nodiscard]] std::optional<T> parseInteger(std::string_view text, NumberSyntax syntax = {}) noexcept;

/// A floating-point number read from text.
struct ParsedFloating {
  /// Beyond double's range: +-infinity; below its normal range: the nearest subnormal, or a zero.
  double value{0.0};
  /// The text's value is beyond double's range or below its normal range (strtod's ERANGE).
  bool outOfRange{false};
};

/// The whole of `text` as a double: an optional sign, then decimal or exponent form, "inf",
/// "infinity" or "nan" (any case), or with `syntax.hexadecimal` "0x" and a hexadecimal number.
/// Anything else gives nullopt; a value out of double's range does not (see ParsedFloating).
[[nodiscard]] std::optional<ParsedFloating> parseFloating(std::string_view text,
                                                          NumberSyntax syntax = {}) noexcept;

/// `text` without the given characters at either end.
[[nodiscard]] std::string_view trimmed(std::string_view text,
                                       std::string_view blanks = " \t\n\v\f\r") noexcept;

// ---- implementation ----

namespace detail {
/// Takes the sign and the "0x" off `text`; false when the sign is not allowed.
bool takeSignAndBase(std::string_view& text, NumberSyntax syntax, bool& negative, bool& hex) noexcept;
/// The whole of `text` (digits only) as a magnitude; nullopt on anything else or beyond 64 bits.
std::optional<std::uint64_t> parseMagnitude(std::string_view text, bool hex) noexcept;
} // namespace detail

template <Integer T> std::optional<T> parseInteger(std::string_view text, NumberSyntax syntax) noexcept {
  bool negative = false;
  bool hex = false;
  if (!detail::takeSignAndBase(text, syntax, negative, hex)) return std::nullopt;
  if (negative && !std::is_signed_v<T>) return std::nullopt;
  const auto magnitude = detail::parseMagnitude(text, hex);
  if (!magnitude) return std::nullopt;
  constexpr auto highest = static_cast<std::uint64_t>(std::numeric_limits<T>::max());
  if constexpr (std::is_signed_v<T>) {
    if (negative) {
      // The most negative value has no positive counterpart in T.
      if (*magnitude > highest + 1) return std::nullopt;
      if (*magnitude == highest + 1) return std::numeric_limits<T>::min();
      return static_cast<T>(-static_cast<T>(*magnitude));
    }
  }
  if (*magnitude > highest) return std::nullopt;
  return static_cast<T>(*magnitude);
}

} // namespace orvane::device
