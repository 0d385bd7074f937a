#include "framework/Types.hpp"

#include "framework/device/Numbers.hpp"

#include <charconv>
#include <stdexcept>
#include <string_view>
#include <type_traits>

namespace orvane {

namespace {
std::atomic<uint64_t> versionCounter{0};

template <typename T> constexpr bool isIntegral = std::is_integral_v<T>;

// The rules of device/Numbers.hpp, which the registers follow too.
template <typename To> To numberFromDouble(double d) {
  if constexpr (std::is_same_v<To, Boolean>) {
    return Boolean(device::truthOf(d));
  } else if constexpr (std::is_same_v<To, float>) {
    return device::clampToFloat(d);
  } else if constexpr (std::is_same_v<To, double>) {
    return d;
  } else {
    return device::roundToInteger<To>(d);
  }
}

template <typename To> To numberFromText(const std::string& f) {
  if constexpr (std::is_same_v<To, Boolean>) {
    if (f == "true" || f == "TRUE" || f == "True") return Boolean(true);
    if (f == "false" || f == "FALSE" || f == "False") return Boolean(false);
  }
  constexpr device::NumberSyntax syntax{.plusSign = true, .hexadecimal = true};
  const std::string_view text = device::trimmed(f);
  if constexpr (isIntegral<To>) {
    // Through a double, 64-bit integers would lose their lowest bits.
    if (const auto v = device::parseInteger<To>(text, syntax)) return *v;
  }
  const auto d = device::parseFloating(text, syntax);
  if (!d || d->outOfRange) throw std::invalid_argument("'" + f + "' is not a number");
  return numberFromDouble<To>(d->value);
}

template <typename To, typename From> To convertOne(const From& f) {
  if constexpr (std::is_same_v<To, From>) {
    return f;
  } else if constexpr (std::is_same_v<To, Void>) {
    return Void{};
  } else if constexpr (std::is_same_v<From, Void>) {
    return To{};
  } else if constexpr (std::is_same_v<To, std::string>) {
    if constexpr (std::is_same_v<From, Boolean>) {
      return f.value ? "1" : "0";
    } else if constexpr (std::is_floating_point_v<From>) {
      char buf[64];
      const auto r =
          std::to_chars(buf, buf + sizeof buf, static_cast<double>(f), std::chars_format::general, 17);
      return std::string(buf, r.ptr);
    } else {
      return std::to_string(f);
    }
  } else if constexpr (std::is_same_v<From, std::string>) {
    return numberFromText<To>(f);
  } else if constexpr (std::is_same_v<From, Boolean>) {
    if constexpr (std::is_same_v<To, Boolean>)
      return f;
    else
      return static_cast<To>(f.value ? 1 : 0);
  } else if constexpr (std::is_same_v<To, Boolean>) {
    return Boolean(device::truthOf(f));
  } else if constexpr (isIntegral<From> && isIntegral<To>) {
    return device::clampToInteger<To>(f);
  } else {
    return numberFromDouble<To>(static_cast<double>(f));
  }
}

} // namespace

VersionNumber::VersionNumber()
    : counter_(versionCounter.fetch_add(1, std::memory_order_relaxed) + 1),
      time_(std::chrono::system_clock::now()) {}

VersionNumber::VersionNumber(std::chrono::system_clock::time_point time)
    : counter_(versionCounter.fetch_add(1, std::memory_order_relaxed) + 1), time_(time) {}

const char* valueTypeName(ValueType t) {
  switch (t) {
  case ValueType::int8:
    return "int8";
  case ValueType::uint8:
    return "uint8";
  case ValueType::int16:
    return "int16";
  case ValueType::uint16:
    return "uint16";
  case ValueType::int32:
    return "int32";
  case ValueType::uint32:
    return "uint32";
  case ValueType::int64:
    return "int64";
  case ValueType::uint64:
    return "uint64";
  case ValueType::float32:
    return "float";
  case ValueType::float64:
    return "double";
  case ValueType::boolean:
    return "Boolean";
  case ValueType::string:
    return "string";
  case ValueType::nothing:
    return "Void";
  }
  return "unknown";
}

std::optional<ValueType> parseConfigTypeName(const std::string& name) {
  static const std::pair<const char*, ValueType> names[] = {
      {"int8", ValueType::int8},      {"uint8", ValueType::uint8},     {"int16", ValueType::int16},
      {"uint16", ValueType::uint16},  {"int32", ValueType::int32},     {"uint32", ValueType::uint32},
      {"int64", ValueType::int64},    {"uint64", ValueType::uint64},   {"float", ValueType::float32},
      {"double", ValueType::float64}, {"boolean", ValueType::boolean}, {"string", ValueType::string},
  };
  for (auto& [n, t] : names)
    if (name == n) return t;
  return std::nullopt;
}

ValueType typeOf(const AnyVector& v) {
  return static_cast<ValueType>(v.index());
}

size_t sizeOf(const AnyVector& v) {
  return std::visit([](const auto& vec) { return vec.size(); }, v);
}

AnyVector makeAnyVector(ValueType t, size_t n) {
  return dispatchValueType(t, [n](auto tag) -> AnyVector {
    using T = decltype(tag);
    return AnyVector(std::in_place_type<std::vector<T>>, n);
  });
}

AnyVector convertAnyVector(const AnyVector& v, ValueType target) {
  return std::visit(
      [target](const auto& from) -> AnyVector {
        using From = typename std::decay_t<decltype(from)>::value_type;
        return dispatchValueType(target, [&from](auto tag) -> AnyVector {
          using To = decltype(tag);
          std::vector<To> out;
          out.reserve(from.size());
          for (const auto& e : from)
            out.push_back(convertOne<To, From>(e));
          return AnyVector(std::in_place_type<std::vector<To>>, std::move(out));
        });
      },
      v);
}

std::string elementToString(const AnyVector& v, size_t i) {
  return std::visit(
      [i](const auto& vec) -> std::string {
        using T = typename std::decay_t<decltype(vec)>::value_type;
        if (i >= vec.size()) return {};
        if constexpr (std::is_same_v<T, Void>)
          return {};
        else
          return convertOne<std::string, T>(vec[i]);
      },
      v);
}

} // namespace orvane
