// The native value of a process variable, as the server holds it.
#pragma once

#include "telvik/protocol/Dbr.hpp"

#include <cstdint>
#include <string>
#include <variant>
#include <vector>

namespace telvik::protocol {

// Text longer than a DBR_STRING can hold. Clients see it as a DBR_CHAR array with a NUL at the end
// (the IOC "long string" convention); a DBR_STRING read of it gives the first 39 characters.
struct LongString {
  std::string text;
  friend bool operator==(const LongString&, const LongString&) = default;
};

// One alternative per native DBR type, in wire-code order, so index() == code for the first
// seven; LongString comes last and is native DBR_CHAR. Every alternative is an array: a scalar is
// an array of one, and the vector's size is the current element count (dynamic arrays may be
// shorter than the channel's maximum, even empty).
using Value = std::variant<std::vector<std::string>,   // DBR_STRING (39 characters each reach the wire)
                           std::vector<std::int16_t>,  // DBR_SHORT
                           std::vector<float>,         // DBR_FLOAT
                           std::vector<std::uint16_t>, // DBR_ENUM (state index)
                           std::vector<std::uint8_t>,  // DBR_CHAR
                           std::vector<std::int32_t>,  // DBR_LONG
                           std::vector<double>,        // DBR_DOUBLE
                           LongString>;

enum class NativeType : std::uint8_t { String, Short, Float, Enum, Char, Long, Double, LongString };

[[nodiscard]] inline NativeType nativeType(const Value& v) {
  return static_cast<NativeType>(v.index());
}

// The type a CREATE_CHAN reply announces.
[[nodiscard]] constexpr DbrType nativeDbrType(NativeType t) {
  return t == NativeType::LongString ? DbrType::Char : static_cast<DbrType>(t);
}

// Elements a count-0 read sends: the vector's size; for a long string its length plus the NUL.
[[nodiscard]] std::uint32_t currentCount(const Value& v);

// An empty value of the given type (a long string holds "").
[[nodiscard]] Value emptyValue(NativeType t);

} // namespace telvik::protocol
