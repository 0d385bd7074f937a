#pragma once
// Conversion between a register's raw bits and the application's value types.
//
// Fixed point: `width` bits, `frac` fractional bits, two's complement or unsigned;
//   cooked = raw * 2^-frac. Towards the device values round to nearest (ties away from zero) and
//   clamp at the raw range, never wrap; NaN becomes 0.
// IEEE754: the bits are a float (width 32) or a double (width 64).
// Cooked integers round and clamp to their own range (NaN gives 0); a bool is a non-zero value
// (NaN is false): the rules of Numbers.hpp. A string is the decimal text of the register's
// natural value and is parsed on the way back.
// Paths between fixed point and integers are exact integer arithmetic, so a 64-bit register
// keeps every bit.

#include "framework/device/Numbers.hpp"
#include "framework/device/RegisterMap.hpp"

#include <cstdint>
#include <limits>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

namespace orvane::device {

/// A truth value type of the application (such as the framework's Boolean): made from a bool and
/// turned back into one. std::vector<bool> works as well through plain bool.
template <class T>
concept BooleanLike = !std::is_arithmetic_v<T> && !std::is_same_v<T, std::string> &&
                      std::is_constructible_v<T, bool> && requires(const T& t) {
  static_cast<bool>(t);
};

template <class T>
concept CookedType =
    std::is_same_v<T, std::int8_t> || std::is_same_v<T, std::uint8_t> || std::is_same_v<T, std::int16_t> ||
    std::is_same_v<T, std::uint16_t> || std::is_same_v<T, std::int32_t> || std::is_same_v<T, std::uint32_t> ||
    std::is_same_v<T, std::int64_t> || std::is_same_v<T, std::uint64_t> || std::is_same_v<T, float> ||
    std::is_same_v<T, double> || std::is_same_v<T, bool> || std::is_same_v<T, std::string> || BooleanLike<T>;

/// The value type that shows a register without loss; the framework maps its own value types onto
/// these names.
enum class NaturalType { int32, uint32, int64, uint64, float32, float64, boolean, nothing };

[[nodiscard]] std::string_view toString(NaturalType type) noexcept;

/// fixed frac 0: int32 / uint32, int64 / uint64 above 32 bits, an unsigned single bit is boolean;
/// fixed frac != 0: float64; ieee754: float32 / float64; void: nothing.
[[nodiscard]] NaturalType naturalType(const RegisterInfo& reg) noexcept;

/// Converts one element. `raw` holds the element's bits in its low `width` bits (a 64-bit element
/// is word0 | word1 << 32); toRaw() leaves the bits above `width` zero.
class ElementCodec {
 public:
  explicit ElementCodec(const RegisterInfo& reg);
  [[nodiscard]] static ElementCodec fixedPoint(std::uint32_t width, std::int32_t frac, bool isSigned);
  [[nodiscard]] static ElementCodec ieee754(std::uint32_t width);

  template <CookedType T> [[nodiscard]] T toCooked(std::uint64_t raw) const;
  /// Throws std::invalid_argument only for a string that is not a number.
  template <CookedType T> [[nodiscard]] std::uint64_t toRaw(const T& value) const;

  [[nodiscard]] std::int64_t toInt64(std::uint64_t raw) const noexcept;
  [[nodiscard]] std::uint64_t toUInt64(std::uint64_t raw) const noexcept;
  [[nodiscard]] double toDouble(std::uint64_t raw) const noexcept;
  [[nodiscard]] float toFloat(std::uint64_t raw) const noexcept;
  [[nodiscard]] bool toBool(std::uint64_t raw) const noexcept;
  [[nodiscard]] std::string toText(std::uint64_t raw) const;

  [[nodiscard]] std::uint64_t fromInt64(std::int64_t value) const noexcept;
  [[nodiscard]] std::uint64_t fromUInt64(std::uint64_t value) const noexcept;
  [[nodiscard]] std::uint64_t fromDouble(double value) const noexcept;
  [[nodiscard]] std::uint64_t fromBool(bool value) const noexcept;
  [[nodiscard]] std::uint64_t fromText(std::string_view text) const;

  [[nodiscard]] NaturalType natural() const noexcept { return natural_; }

 private:
  ElementCodec(RegisterType type, std::uint32_t width, std::int32_t frac, bool isSigned, std::string path);

  RegisterType type_;
  std::uint32_t width_;
  std::int32_t frac_;
  bool isSigned_;
  NaturalType natural_;
  std::uint64_t mask_;
  std::string path_; // for messages
};

template <CookedType T> T ElementCodec::toCooked(std::uint64_t raw) const {
  if constexpr (std::is_same_v<T, bool>) {
    return toBool(raw);
  } else if constexpr (BooleanLike<T>) {
    return T(toBool(raw));
  } else if constexpr (std::is_same_v<T, std::string>) {
    return toText(raw);
  } else if constexpr (std::is_same_v<T, float>) {
    return toFloat(raw);
  } else if constexpr (std::is_same_v<T, double>) {
    return toDouble(raw);
  } else if constexpr (std::is_signed_v<T>) {
    return clampToInteger<T>(toInt64(raw));
  } else {
    return clampToInteger<T>(toUInt64(raw));
  }
}

template <CookedType T> std::uint64_t ElementCodec::toRaw(const T& value) const {
  if constexpr (std::is_same_v<T, bool>) {
    return fromBool(value);
  } else if constexpr (BooleanLike<T>) {
    return fromBool(static_cast<bool>(value));
  } else if constexpr (std::is_same_v<T, std::string>) {
    return fromText(value);
  } else if constexpr (std::is_floating_point_v<T>) {
    return fromDouble(value);
  } else if constexpr (std::is_signed_v<T>) {
    return fromInt64(value);
  } else {
    return fromUInt64(value);
  }
}

/// Words per register: elements * bytesPerElement / 4.
[[nodiscard]] inline std::size_t wordCount(const RegisterInfo& reg) noexcept {
  return std::size_t{reg.elements} * reg.wordsPerElement();
}

/// All elements of `reg` from its words (wordCount(reg) of them) into `out`, resized to fit.
template <CookedType T>
void decodeRegister(const RegisterInfo& reg, std::span<const std::uint32_t> words, std::vector<T>& out) {
  if (words.size() != wordCount(reg))
    throw std::invalid_argument("register '" + reg.path + "' has " + std::to_string(wordCount(reg)) +
                                " words, got " + std::to_string(words.size()));
  const ElementCodec codec(reg);
  const std::size_t step = reg.wordsPerElement();
  out.resize(reg.elements);
  for (std::size_t k = 0; k < reg.elements; ++k) {
    std::uint64_t raw = words[k * step];
    if (step == 2) raw |= std::uint64_t{words[k * step + 1]} << 32;
    out[k] = codec.toCooked<T>(raw);
  }
}

/// All elements of `reg` from `in` (exactly `elements` values) into its words. A void register
/// gets the word 1 in each element: firmware reacts to the write itself, the board simulator to the
/// non-zero word, which it clears once it has handled the event.
template <CookedType T>
void encodeRegister(const RegisterInfo& reg, const std::vector<T>& in, std::span<std::uint32_t> words) {
  if (words.size() != wordCount(reg))
    throw std::invalid_argument("register '" + reg.path + "' has " + std::to_string(wordCount(reg)) +
                                " words, got " + std::to_string(words.size()));
  const std::size_t step = reg.wordsPerElement();
  if (reg.type == RegisterType::nothing) {
    for (std::size_t k = 0; k < words.size(); ++k)
      words[k] = k % step == 0 ? 1 : 0;
    return;
  }
  if (in.size() != reg.elements)
    throw std::invalid_argument("register '" + reg.path + "' has " + std::to_string(reg.elements) +
                                " elements, got " + std::to_string(in.size()) + " values");
  const ElementCodec codec(reg);
  for (std::size_t k = 0; k < reg.elements; ++k) {
    const std::uint64_t raw = codec.toRaw<T>(in[k]);
    words[k * step] = static_cast<std::uint32_t>(raw);
    if (step == 2) words[k * step + 1] = static_cast<std::uint32_t>(raw >> 32);
  }
}

} // namespace orvane::device
