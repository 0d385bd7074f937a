#pragma once
// Value vocabulary shared by every layer: value types, Boolean, Void, validity, version numbers
// and a type-erased vector for the places where the type is only known at run time (device
// registers, the control system, the configuration file).

#include <atomic>
#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <variant>
#include <vector>

namespace orvane {

/// A truth value that is not std::vector<bool>'s proxy: arrays of it are real arrays.
struct Boolean {
  bool value{false};
  constexpr Boolean() = default;
  constexpr Boolean(bool v) : value(v) {} // NOLINT: implicit on purpose, Boolean stands for bool
  constexpr operator bool() const { return value; }
  friend constexpr bool operator==(Boolean a, Boolean b) { return a.value == b.value; }
};

/// The value of an event: it carries nothing, its arrival is the information.
struct Void {
  friend constexpr bool operator==(Void, Void) { return true; }
};

enum class DataValidity { ok, faulty };

/// Order matters: it is the index into AnyVector.
enum class ValueType : uint8_t {
  int8,
  uint8,
  int16,
  uint16,
  int32,
  uint32,
  int64,
  uint64,
  float32,
  float64,
  boolean,
  string,
  nothing,
};

using AnyVector =
    std::variant<std::vector<int8_t>, std::vector<uint8_t>, std::vector<int16_t>, std::vector<uint16_t>,
                 std::vector<int32_t>, std::vector<uint32_t>, std::vector<int64_t>, std::vector<uint64_t>,
                 std::vector<float>, std::vector<double>, std::vector<Boolean>, std::vector<std::string>,
                 std::vector<Void>>;

template <typename T> struct ValueTypeOf;
template <> struct ValueTypeOf<int8_t> { static constexpr ValueType value = ValueType::int8; };
template <> struct ValueTypeOf<uint8_t> { static constexpr ValueType value = ValueType::uint8; };
template <> struct ValueTypeOf<int16_t> { static constexpr ValueType value = ValueType::int16; };
template <> struct ValueTypeOf<uint16_t> { static constexpr ValueType value = ValueType::uint16; };
template <> struct ValueTypeOf<int32_t> { static constexpr ValueType value = ValueType::int32; };
template <> struct ValueTypeOf<uint32_t> { static constexpr ValueType value = ValueType::uint32; };
template <> struct ValueTypeOf<int64_t> { static constexpr ValueType value = ValueType::int64; };
template <> struct ValueTypeOf<uint64_t> { static constexpr ValueType value = ValueType::uint64; };
template <> struct ValueTypeOf<float> { static constexpr ValueType value = ValueType::float32; };
template <> struct ValueTypeOf<double> { static constexpr ValueType value = ValueType::float64; };
template <> struct ValueTypeOf<Boolean> { static constexpr ValueType value = ValueType::boolean; };
template <> struct ValueTypeOf<std::string> { static constexpr ValueType value = ValueType::string; };
template <> struct ValueTypeOf<Void> { static constexpr ValueType value = ValueType::nothing; };

template <typename T> inline constexpr ValueType valueTypeOf = ValueTypeOf<T>::value;

template <typename T>
concept UserType = requires {
  ValueTypeOf<T>::value;
};

/// Calls f(T{}) with the C++ type behind a ValueType; the way from run time back to templates.
template <typename F> decltype(auto) dispatchValueType(ValueType t, F&& f) {
  switch (t) {
  case ValueType::int8:
    return f(int8_t{});
  case ValueType::uint8:
    return f(uint8_t{});
  case ValueType::int16:
    return f(int16_t{});
  case ValueType::uint16:
    return f(uint16_t{});
  case ValueType::int32:
    return f(int32_t{});
  case ValueType::uint32:
    return f(uint32_t{});
  case ValueType::int64:
    return f(int64_t{});
  case ValueType::uint64:
    return f(uint64_t{});
  case ValueType::float32:
    return f(float{});
  case ValueType::float64:
    return f(double{});
  case ValueType::boolean:
    return f(Boolean{});
  case ValueType::string:
    return f(std::string{});
  case ValueType::nothing:
    break;
  }
  return f(Void{});
}

/// "int32", "double", "Boolean", ... as used in the variable list and in error messages.
const char* valueTypeName(ValueType t);
/// Parses the configuration file's type names ("int32", "uint8", "float", "boolean", ...).
std::optional<ValueType> parseConfigTypeName(const std::string& name);

ValueType typeOf(const AnyVector& v);
size_t sizeOf(const AnyVector& v);
AnyVector makeAnyVector(ValueType t, size_t n);

/// Converts between value types the way an operator expects, by the rules registers follow too
/// (device/Numbers.hpp): numbers round to nearest and clamp at the target's range, NaN becomes 0
/// for integers and false for Boolean, strings are parsed whatever the locale (std::invalid_argument
/// on text that is not a number, or one beyond double's range) or formatted. Anything converts to
/// Void.
AnyVector convertAnyVector(const AnyVector& v, ValueType target);

template <typename T> std::vector<T> anyVectorAs(const AnyVector& v) {
  if (auto* p = std::get_if<std::vector<T>>(&v)) return *p;
  return std::get<std::vector<T>>(convertAnyVector(v, valueTypeOf<T>));
}

/// Text of one element, for listings and messages.
std::string elementToString(const AnyVector& v, size_t i);

/// Process-wide unique, monotonic stamp of a value, with the wall-clock time it was made.
class VersionNumber {
 public:
  /// A new, unique version, later than every version made before it.
  VersionNumber();
  /// A new, unique version carrying the given time (for values whose time is known).
  explicit VersionNumber(std::chrono::system_clock::time_point time);
  /// The null version, older than every real one.
  explicit VersionNumber(std::nullptr_t) {}

  [[nodiscard]] uint64_t counter() const { return counter_; }
  [[nodiscard]] std::chrono::system_clock::time_point time() const { return time_; }
  [[nodiscard]] bool isNull() const { return counter_ == 0; }

  friend bool operator==(const VersionNumber& a, const VersionNumber& b) { return a.counter_ == b.counter_; }
  friend auto operator<=>(const VersionNumber& a, const VersionNumber& b) {
    return a.counter_ <=> b.counter_;
  }

 private:
  uint64_t counter_{0};
  std::chrono::system_clock::time_point time_{};
};

} // namespace orvane
