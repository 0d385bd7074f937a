#include "framework/Types.hpp"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <limits>
#include <stdexcept>
#include <type_traits>

namespace orvane {

namespace {
std::atomic<uint64_t> versionCounter{0};

template <typename T> constexpr bool isIntegral = std::is_integral_v<T>;

template <typename To> To numberFromDouble(double d) {
  if constexpr (std::is_same_v<To, Boolean>) {
    return Boolean(d != 0.0 && !std::isnan(d));
  } else if constexpr (std::is_floating_point_v<To>) {
    return static_cast<To>(d);
  } else {
    if (std::isnan(d)) return To{0};
    double r = std::round(d);
    // The bounds as doubles: the upper one of 64-bit types rounds up, so compare with >=.
    constexpr double lo = static_cast<double>(std::numeric_limits<To>::min());
    constexpr double hi = static_cast<double>(std::numeric_limits<To>::max());
    if (r <= lo) return std::numeric_limits<To>::min();
    if (r >= hi) return std::numeric_limits<To>::max();
    return static_cast<To>(r);
  }
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
      std::snprintf(buf, sizeof buf, "%.17g", static_cast<double>(f));
      return buf;
    } else {
      return std::to_string(f);
    }
  } else if constexpr (std::is_same_v<From, std::string>) {
    if constexpr (std::is_same_v<To, Boolean>) {
      if (f == "true" || f == "TRUE" || f == "True") return Boolean(true);
      if (f == "false" || f == "FALSE" || f == "False") return Boolean(false);
    }
    size_t pos = 0;
    double d = 0;
    try {
      d = std::stod(f, &pos);
    } catch (const std::exception&) {
      throw std::invalid_argument("'" + f + "' is not a number");
    }
    while (pos < f.size() && (f[pos] == ' ' || f[pos] == '\t' || f[pos] == '\n'))
      ++pos;
    if (pos != f.size()) throw std::invalid_argument("'" + f + "' is not a number");
    if constexpr (isIntegral<To> && sizeof(To) == 8) {
      // Through double, 64-bit integers would lose their lowest bits.
      To v{};
      auto [p, ec] = std::from_chars(f.data(), f.data() + f.size(), v);
      if (ec == std::errc() && p == f.data() + f.size()) return v;
    }
    return numberFromDouble<To>(d);
  } else if constexpr (std::is_same_v<From, Boolean>) {
    if constexpr (std::is_same_v<To, Boolean>)
      return f;
    else
      return static_cast<To>(f.value ? 1 : 0);
  } else if constexpr (std::is_same_v<To, Boolean>) {
    return Boolean(f != From{0});
  } else if constexpr (isIntegral<From> && isIntegral<To>) {
    // Integer to integer: clamp without going through double.
    if constexpr (std::is_signed_v<From> == std::is_signed_v<To>) {
      if (f < static_cast<From>(std::numeric_limits<To>::min()) && sizeof(From) > sizeof(To))
        return std::numeric_limits<To>::min();
      if (sizeof(From) > sizeof(To) && f > static_cast<From>(std::numeric_limits<To>::max()))
        return std::numeric_limits<To>::max();
      return static_cast<To>(f);
    } else if constexpr (std::is_signed_v<From>) {
      if (f < 0) return To{0};
      using U = std::make_unsigned_t<From>;
      if (static_cast<U>(f) > std::numeric_limits<To>::max()) return std::numeric_limits<To>::max();
      return static_cast<To>(f);
    } else {
      using UTo = std::make_unsigned_t<To>;
      if (f > static_cast<UTo>(std::numeric_limits<To>::max())) return std::numeric_limits<To>::max();
      return static_cast<To>(f);
    }
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
