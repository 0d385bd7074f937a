#include "telvik/bridge/ServedVariable.hpp"

#include <chrono>
#include <stdexcept>

namespace telvik::bridge {

using protocol::NativeType;

namespace {

NativeType nativeFor(orvane::ValueType t, size_t nElements) {
  using VT = orvane::ValueType;
  switch (t) {
  case VT::int8:
  case VT::uint8:
  case VT::int16:
  case VT::uint16:
  case VT::int32:
  case VT::nothing:
    return NativeType::Long;
  case VT::float32:
    return NativeType::Float;
  case VT::uint32:
  case VT::int64:
  case VT::uint64:
  case VT::float64:
    return NativeType::Double;
  case VT::boolean:
    return NativeType::Enum;
  case VT::string:
    return nElements == 1 ? NativeType::LongString : NativeType::String;
  }
  return NativeType::Double;
}

template <typename To, typename From> std::vector<To> castAll(const std::vector<From>& v) {
  std::vector<To> out;
  out.reserve(v.size());
  for (const auto& e : v)
    out.push_back(static_cast<To>(e));
  return out;
}

protocol::Value toCa(const orvane::AnyVector& v, NativeType native) {
  using protocol::Value;
  return std::visit(
      [native](const auto& vec) -> Value {
        using T = typename std::decay_t<decltype(vec)>::value_type;
        if constexpr (std::is_same_v<T, orvane::Void>) {
          return Value(std::in_place_type<std::vector<std::int32_t>>, vec.size(), 0);
        } else if constexpr (std::is_same_v<T, std::string>) {
          if (native == NativeType::LongString) {
            std::string text = vec.empty() ? std::string() : vec[0];
            if (text.size() >= longStringCapacity) text.resize(longStringCapacity - 1);
            return protocol::LongString{std::move(text)};
          }
          return vec;
        } else if constexpr (std::is_same_v<T, orvane::Boolean>) {
          std::vector<std::uint16_t> out;
          out.reserve(vec.size());
          for (auto b : vec)
            out.push_back(b.value ? 1 : 0);
          return out;
        } else if constexpr (std::is_same_v<T, float>) {
          return vec;
        } else if constexpr (std::is_same_v<T, double>) {
          return vec;
        } else if constexpr (sizeof(T) < 4 || std::is_same_v<T, std::int32_t>) {
          return castAll<std::int32_t>(vec);
        } else {
          // 32-bit unsigned and 64-bit integers: exact in a double up to 2^53.
          return castAll<double>(vec);
        }
      },
      v);
}

orvane::AnyVector fromCa(const protocol::Value& v) {
  return std::visit(
      [](const auto& x) -> orvane::AnyVector {
        using X = std::decay_t<decltype(x)>;
        if constexpr (std::is_same_v<X, protocol::LongString>) {
          return orvane::AnyVector(std::in_place_type<std::vector<std::string>>,
                                   std::vector<std::string>{x.text});
        } else {
          return orvane::AnyVector(std::in_place_type<X>, x);
        }
      },
      v);
}

std::string cut(const std::string& s, size_t n) {
  return s.size() > n ? s.substr(0, n) : s;
}

} // namespace

ServedVariable::ServedVariable(orvane::ProcessVariable& pv, std::string name)
    : pv_(pv), name_(std::move(name)), native_(nativeFor(pv.info().type, pv.info().nElements)) {
  const auto& info = pv.info();
  count_ =
      native_ == NativeType::LongString ? longStringCapacity : static_cast<std::uint32_t>(info.nElements);
  baseMetadata_.units = info.unit;
  if (info.type == orvane::ValueType::boolean) baseMetadata_.enumStrings = {"false", "true"};
  using VT = orvane::ValueType;
  if (info.type == VT::uint32 || info.type == VT::int64 || info.type == VT::uint64)
    baseMetadata_.precision = 0;
}

UpdatePtr ServedVariable::convert(const orvane::ProcessVariable::Snapshot& s) const {
  auto u = std::make_shared<ServedUpdate>();
  u->value = toCa(s.value, native_);
  u->metadata = baseMetadata_;
  if (!s.hasValue) {
    u->metadata.severity = protocol::AlarmSeverity::Invalid;
    u->metadata.status = protocol::AlarmStatus::Udf;
  } else if (s.validity == orvane::DataValidity::faulty) {
    u->metadata.severity = protocol::AlarmSeverity::Invalid;
    u->metadata.status = protocol::AlarmStatus::Read;
  }
  if (!s.version.isNull()) {
    auto d = s.version.time().time_since_epoch();
    auto secs = std::chrono::duration_cast<std::chrono::seconds>(d);
    auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(d - secs);
    u->metadata.timestamp =
        protocol::Timestamp::fromPosix(secs.count(), static_cast<std::uint32_t>(ns.count()));
  }
  return u;
}

protocol::EcaStatus ServedVariable::write(std::uint16_t dataType, std::uint32_t count,
                                          protocol::ByteView payload) const {
  if (!writable()) return protocol::EcaStatus::NoWtAccess;
  if (count > count_) return protocol::EcaStatus::BadCount;
  if (info().type == orvane::ValueType::nothing) {
    // An event carries no value: whatever a client writes, in any plain type, is one event.
    auto t = protocol::toDbrType(dataType);
    if (!t || protocol::family(*t) != protocol::DbrFamily::Plain) return protocol::EcaStatus::BadType;
    try {
      pv_.write(orvane::AnyVector(std::in_place_type<std::vector<orvane::Void>>, 1));
    } catch (const std::exception&) {
      return protocol::EcaStatus::PutFail;
    }
    return protocol::EcaStatus::Normal;
  }
  protocol::WriteTarget target;
  target.type = native_;
  target.maxCount = count_;
  target.enumStrings = baseMetadata_.enumStrings;
  auto r = protocol::decodeWrite(dataType, count, payload, target);
  if (r.status != protocol::EcaStatus::Normal) return r.status;
  try {
    pv_.write(fromCa(r.value));
  } catch (const std::logic_error&) {
    return protocol::EcaStatus::NoWtAccess;
  } catch (const std::exception&) {
    return protocol::EcaStatus::PutFail;
  }
  return protocol::EcaStatus::Normal;
}

UpdatePtr ServedVariable::fieldUpdate(Field f, bool asChars) const {
  auto u = std::make_shared<ServedUpdate>();
  const std::string& text = f == Field::description ? info().description : info().unit;
  if (asChars)
    u->value = protocol::LongString{text};
  else
    u->value = std::vector<std::string>{cut(text, protocol::maxStringSize - 1)};
  return u;
}

} // namespace telvik::bridge
