#include "framework/device/Conversion.hpp"

#include <bit>
#include <charconv>
#include <cmath>
#include <limits>

namespace orvane::device {

namespace {

// Fixed point needs up to 64 raw bits plus a sign and headroom for shifts; 128 bits hold every
// intermediate exactly, which a double cannot above 53 bits.
__extension__ using Int128 = __int128;

constexpr Int128 one = 1;
// Anything beyond +-2^65 clamps the same way at every 64-bit target, so shifts saturate there.
constexpr Int128 saturation = one << 65;

Int128 magnitude(Int128 v) {
  return v < 0 ? -v : v;
}

/// v * 2^shift, saturating at +-2^65.
Int128 shiftLeft(Int128 v, int shift) {
  if (v == 0) return 0;
  if (shift >= 65 || magnitude(v) > (saturation >> shift)) return v < 0 ? -saturation : saturation;
  return v * (one << shift);
}

/// v * 2^-shift, rounded to nearest with ties away from zero.
Int128 shiftRightRounded(Int128 v, int shift) {
  if (shift == 0) return v;
  const Int128 half = one << (shift - 1);
  const Int128 m = (magnitude(v) + half) >> shift;
  return v < 0 ? -m : m;
}

// The fixed-point results clamped at the 64-bit cooked types, as clampToInteger() clamps the
// standard integers, which Int128 is not.
std::int64_t clampToInt64(Int128 v) {
  if (v > std::numeric_limits<std::int64_t>::max()) return std::numeric_limits<std::int64_t>::max();
  if (v < std::numeric_limits<std::int64_t>::min()) return std::numeric_limits<std::int64_t>::min();
  return static_cast<std::int64_t>(v);
}

std::uint64_t clampToUInt64(Int128 v) {
  if (v < 0) return 0;
  if (v > std::numeric_limits<std::uint64_t>::max()) return std::numeric_limits<std::uint64_t>::max();
  return static_cast<std::uint64_t>(v);
}

NaturalType naturalOf(RegisterType type, std::uint32_t width, std::int32_t frac, bool isSigned) {
  switch (type) {
  case RegisterType::fixedPoint:
    if (frac != 0) return NaturalType::float64;
    if (width == 1 && !isSigned) return NaturalType::boolean;
    if (width > 32) return isSigned ? NaturalType::int64 : NaturalType::uint64;
    return isSigned ? NaturalType::int32 : NaturalType::uint32;
  case RegisterType::ieee754:
    return width == 32 ? NaturalType::float32 : NaturalType::float64;
  case RegisterType::nothing:
    return NaturalType::nothing;
  }
  return NaturalType::nothing;
}

template <class V> std::string formatNumber(V value) {
  char buffer[64];
  auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
  return std::string(buffer, result.ptr);
}

} // namespace

std::string_view toString(NaturalType type) noexcept {
  switch (type) {
  case NaturalType::int32:
    return "int32";
  case NaturalType::uint32:
    return "uint32";
  case NaturalType::int64:
    return "int64";
  case NaturalType::uint64:
    return "uint64";
  case NaturalType::float32:
    return "float32";
  case NaturalType::float64:
    return "float64";
  case NaturalType::boolean:
    return "boolean";
  case NaturalType::nothing:
    return "nothing";
  }
  return "?";
}

NaturalType naturalType(const RegisterInfo& reg) noexcept {
  return naturalOf(reg.type, reg.width, reg.frac, reg.isSigned);
}

ElementCodec::ElementCodec(RegisterType type, std::uint32_t width, std::int32_t frac, bool isSigned,
                           std::string path)
    : type_(type), width_(width), frac_(frac), isSigned_(isSigned),
      natural_(naturalOf(type, width, frac, isSigned)),
      mask_(width >= 64 ? ~std::uint64_t{0} : (std::uint64_t{1} << width) - 1), path_(std::move(path)) {
  // The map parser enforces these; a hand-made RegisterInfo must not make the shifts below undefined.
  if (type == RegisterType::fixedPoint && (width < 1 || width > 64 || frac < -64 || frac > 64))
    throw std::invalid_argument("register '" + path_ + "': fixed point needs width 1..64 and frac -64..64");
  if (type == RegisterType::ieee754 && width != 32 && width != 64)
    throw std::invalid_argument("register '" + path_ + "': ieee754 needs width 32 or 64");
}

ElementCodec::ElementCodec(const RegisterInfo& reg)
    : ElementCodec(reg.type, reg.width, reg.frac, reg.isSigned, reg.path) {}

ElementCodec ElementCodec::fixedPoint(std::uint32_t width, std::int32_t frac, bool isSigned) {
  return ElementCodec(RegisterType::fixedPoint, width, frac, isSigned, "fixed");
}

ElementCodec ElementCodec::ieee754(std::uint32_t width) {
  return ElementCodec(RegisterType::ieee754, width, 0, true, "ieee754");
}

// ---- towards the application ----

namespace {
Int128 signExtend(std::uint64_t raw, std::uint64_t mask, std::uint32_t width, bool isSigned) {
  const std::uint64_t bits = raw & mask;
  if (isSigned && (bits >> (width - 1)) & 1) return static_cast<Int128>(bits) - (one << width);
  return static_cast<Int128>(bits);
}
} // namespace

std::int64_t ElementCodec::toInt64(std::uint64_t raw) const noexcept {
  switch (type_) {
  case RegisterType::fixedPoint: {
    const Int128 v = signExtend(raw, mask_, width_, isSigned_);
    return clampToInt64(frac_ >= 0 ? shiftRightRounded(v, frac_) : shiftLeft(v, -frac_));
  }
  case RegisterType::ieee754:
    return roundToInteger<std::int64_t>(toDouble(raw));
  case RegisterType::nothing:
    break;
  }
  return 0;
}

std::uint64_t ElementCodec::toUInt64(std::uint64_t raw) const noexcept {
  switch (type_) {
  case RegisterType::fixedPoint: {
    const Int128 v = signExtend(raw, mask_, width_, isSigned_);
    return clampToUInt64(frac_ >= 0 ? shiftRightRounded(v, frac_) : shiftLeft(v, -frac_));
  }
  case RegisterType::ieee754:
    return roundToInteger<std::uint64_t>(toDouble(raw));
  case RegisterType::nothing:
    break;
  }
  return 0;
}

double ElementCodec::toDouble(std::uint64_t raw) const noexcept {
  switch (type_) {
  case RegisterType::fixedPoint: {
    // One rounding (integer to double); scaling by a power of two is exact within +-2^128.
    const Int128 v = signExtend(raw, mask_, width_, isSigned_);
    return std::ldexp(static_cast<double>(v), -frac_);
  }
  case RegisterType::ieee754:
    if (width_ == 32) return std::bit_cast<float>(static_cast<std::uint32_t>(raw));
    return std::bit_cast<double>(raw);
  case RegisterType::nothing:
    break;
  }
  return 0;
}

float ElementCodec::toFloat(std::uint64_t raw) const noexcept {
  switch (type_) {
  case RegisterType::fixedPoint: {
    // Via long double so that a value of more than 53 bits is rounded once, not twice.
    const Int128 v = signExtend(raw, mask_, width_, isSigned_);
    return clampToFloat(std::ldexp(static_cast<long double>(v), -frac_));
  }
  case RegisterType::ieee754:
    if (width_ == 32) return std::bit_cast<float>(static_cast<std::uint32_t>(raw));
    return clampToFloat(std::bit_cast<double>(raw));
  case RegisterType::nothing:
    break;
  }
  return 0;
}

bool ElementCodec::toBool(std::uint64_t raw) const noexcept {
  switch (type_) {
  case RegisterType::fixedPoint:
    return (raw & mask_) != 0;
  case RegisterType::ieee754:
    return truthOf(toDouble(raw));
  case RegisterType::nothing:
    break;
  }
  return false;
}

std::string ElementCodec::toText(std::uint64_t raw) const {
  switch (natural_) {
  case NaturalType::int32:
  case NaturalType::int64:
    return std::to_string(toInt64(raw));
  case NaturalType::uint32:
  case NaturalType::uint64:
  case NaturalType::boolean:
    return std::to_string(toUInt64(raw));
  case NaturalType::float32:
    return formatNumber(toFloat(raw));
  case NaturalType::float64:
    return formatNumber(toDouble(raw));
  case NaturalType::nothing:
    break;
  }
  return {};
}

// ---- towards the device ----

namespace {
std::uint64_t packFixed(Int128 v, std::uint64_t mask, std::uint32_t width, bool isSigned) {
  const Int128 lowest = isSigned ? -(one << (width - 1)) : 0;
  const Int128 highest = isSigned ? (one << (width - 1)) - 1 : (one << width) - 1;
  if (v < lowest) v = lowest;
  if (v > highest) v = highest;
  return static_cast<std::uint64_t>(v) & mask;
}
} // namespace

std::uint64_t ElementCodec::fromInt64(std::int64_t value) const noexcept {
  switch (type_) {
  case RegisterType::fixedPoint: {
    const Int128 v = value;
    return packFixed(frac_ >= 0 ? shiftLeft(v, frac_) : shiftRightRounded(v, -frac_), mask_, width_,
                     isSigned_);
  }
  case RegisterType::ieee754:
    if (width_ == 32) return std::bit_cast<std::uint32_t>(static_cast<float>(value));
    return std::bit_cast<std::uint64_t>(static_cast<double>(value));
  case RegisterType::nothing:
    break;
  }
  return 0;
}

std::uint64_t ElementCodec::fromUInt64(std::uint64_t value) const noexcept {
  switch (type_) {
  case RegisterType::fixedPoint: {
    const Int128 v = value;
    return packFixed(frac_ >= 0 ? shiftLeft(v, frac_) : shiftRightRounded(v, -frac_), mask_, width_,
                     isSigned_);
  }
  case RegisterType::ieee754:
    if (width_ == 32) return std::bit_cast<std::uint32_t>(static_cast<float>(value));
    return std::bit_cast<std::uint64_t>(static_cast<double>(value));
  case RegisterType::nothing:
    break;
  }
  return 0;
}

std::uint64_t ElementCodec::fromDouble(double value) const noexcept {
  switch (type_) {
  case RegisterType::fixedPoint: {
    // ldexp is exact here (or overflows to infinity, which clamps); the one rounding is ours. The
    // raw range lies within the 64-bit type of its signedness.
    const double scaled = std::ldexp(value, frac_);
    const Int128 v = isSigned_ ? Int128{roundToInteger<std::int64_t>(scaled)}
                               : Int128{roundToInteger<std::uint64_t>(scaled)};
    return packFixed(v, mask_, width_, isSigned_);
  }
  case RegisterType::ieee754:
    if (width_ == 32) return std::bit_cast<std::uint32_t>(clampToFloat(value));
    return std::bit_cast<std::uint64_t>(value);
  case RegisterType::nothing:
    break;
  }
  return 0;
}

std::uint64_t ElementCodec::fromBool(bool value) const noexcept {
  const std::uint64_t raw = fromInt64(value ? 1 : 0);
  // With a negative frac, 1 is below one LSB and would round to 0; true must read back as true.
  if (value && type_ == RegisterType::fixedPoint && raw == 0) return 1;
  return raw;
}

std::uint64_t ElementCodec::fromText(std::string_view text) const {
  text = trimmed(text, " \t");
  constexpr NumberSyntax syntax{.plusSign = true};
  // Integers first, so that 64-bit values do not pass through a double.
  if (const auto i = parseInteger<std::int64_t>(text, syntax)) return fromInt64(*i);
  if (const auto u = parseInteger<std::uint64_t>(text, syntax)) return fromUInt64(*u);
  // A number beyond double's range clamps like any large value.
  if (const auto d = parseFloating(text, syntax)) return fromDouble(d->value);
  throw std::invalid_argument("register '" + path_ + "': '" + std::string(text) + "' is not a number");
}

} // namespace orvane::device
