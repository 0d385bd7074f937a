#include "telvik/bridge/ServedVariable.hpp"

#include <array>
#include <chrono>
#include <limits>
#include <stdexcept>

namespace telvik::bridge {

using protocol::NativeType;
namespace p = telvik::protocol;

namespace {

NativeType nativeFor(orvane::ValueType t, bool enumerated) {
  using VT = orvane::ValueType;
  if (enumerated) return NativeType::Enum;
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
    return NativeType::String;
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

// A state index as DBR_ENUM carries it. A value that no index can show becomes 65535, which no
// state has, so that it is never taken for state 0.
template <typename T> std::uint16_t stateIndex(T v) {
  if constexpr (std::is_signed_v<T>) {
    if (v < 0) return std::numeric_limits<std::uint16_t>::max();
  }
  if (static_cast<std::uint64_t>(v) > std::numeric_limits<std::uint16_t>::max())
    return std::numeric_limits<std::uint16_t>::max();
  return static_cast<std::uint16_t>(v);
}

p::Value toCa(const orvane::AnyVector& v, NativeType native) {
  using p::Value;
  return std::visit(
      [native](const auto& vec) -> Value {
        using T = typename std::decay_t<decltype(vec)>::value_type;
        if constexpr (std::is_same_v<T, orvane::Void>) {
          return Value(std::in_place_type<std::vector<std::int32_t>>, vec.size(), 0);
        } else if constexpr (std::is_same_v<T, std::string> || std::is_same_v<T, float> ||
                             std::is_same_v<T, double>) {
          return vec;
        } else if constexpr (std::is_same_v<T, orvane::Boolean>) {
          std::vector<std::uint16_t> out;
          out.reserve(vec.size());
          for (auto b : vec)
            out.push_back(b.value ? 1 : 0);
          return out;
        } else {
          if (native == NativeType::Enum) {
            std::vector<std::uint16_t> out;
            out.reserve(vec.size());
            for (auto e : vec)
              out.push_back(stateIndex(e));
            return out;
          }
          if constexpr (sizeof(T) < 4 || std::is_same_v<T, std::int32_t>) {
            return castAll<std::int32_t>(vec);
          } else {
            // 32-bit unsigned and 64-bit integers: exact in a double up to 2^53.
            return castAll<double>(vec);
          }
        }
      },
      v);
}

orvane::AnyVector fromCa(const p::Value& v) {
  return std::visit(
      [](const auto& x) -> orvane::AnyVector {
        using X = std::decay_t<decltype(x)>;
        if constexpr (std::is_same_v<X, p::LongString>) {
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

// The record type a generic tool would expect for a variable of this kind.
std::string derivedRecordType(const orvane::ProcessVariableInfo& info, NativeType native,
                              std::size_t states) {
  const bool out = info.writable();
  if (info.nElements != 1) return "waveform";
  switch (native) {
  case NativeType::Enum:
    return states == 2 ? (out ? "bo" : "bi") : (out ? "mbbo" : "mbbi");
  case NativeType::String:
    return out ? "lso" : "lsi";
  case NativeType::Long:
    return out ? "longout" : "longin";
  default:
    return out ? "ao" : "ai";
  }
}

std::vector<std::string> severityNames() {
  std::vector<std::string> out;
  for (std::size_t i = 0; i < p::alarmSeverityCount; ++i)
    out.emplace_back(p::name(static_cast<p::AlarmSeverity>(i)));
  return out;
}

std::vector<std::string> statusNames() {
  std::vector<std::string> out;
  for (std::size_t i = 0; i < p::alarmStatusCount; ++i)
    out.emplace_back(p::name(static_cast<p::AlarmStatus>(i)));
  return out;
}

struct FieldName {
  std::string_view name;
  Field field;
};
constexpr std::array<FieldName, 12> fieldNames{{{"VAL", Field::value},
                                                {"DESC", Field::description},
                                                {"EGU", Field::units},
                                                {"NAME", Field::name},
                                                {"RTYP", Field::recordType},
                                                {"SEVR", Field::severity},
                                                {"STAT", Field::status},
                                                {"PREC", Field::precision},
                                                {"HOPR", Field::highDisplay},
                                                {"LOPR", Field::lowDisplay},
                                                {"DRVH", Field::highDrive},
                                                {"DRVL", Field::lowDrive}}};

} // namespace

std::optional<Field> fieldNamed(std::string_view name) {
  for (const auto& f : fieldNames)
    if (f.name == name) return f.field;
  return std::nullopt;
}

bool isTextField(Field f) {
  return f == Field::description || f == Field::units || f == Field::name || f == Field::recordType;
}

bool isNumberField(Field f) {
  return f == Field::precision || f == Field::highDisplay || f == Field::lowDisplay ||
         f == Field::highDrive || f == Field::lowDrive;
}

bool followsValue(Field f) {
  return f == Field::value || !isTextField(f);
}

ServedVariable::ServedVariable(orvane::ProcessVariable& pv, std::string name, VariableMetadata metadata)
    : pv_(pv), name_(std::move(name)), conventions_(std::move(metadata)),
      native_(nativeFor(pv.info().type, !conventions_.states.empty())),
      count_(static_cast<std::uint32_t>(pv.info().nElements)) {
  const auto& info = pv.info();
  baseMetadata_.units = info.unit;
  baseMetadata_.enumStrings = conventions_.states;
  using VT = orvane::ValueType;
  if (info.type == VT::uint32 || info.type == VT::int64 || info.type == VT::uint64)
    baseMetadata_.precision = 0;
  if (conventions_.precision) baseMetadata_.precision = conventions_.precision;
  baseMetadata_.className = conventions_.recordType.empty()
                                ? derivedRecordType(info, native_, conventions_.states.size())
                                : conventions_.recordType;
}

bool ServedVariable::hasNumberFields() const {
  return native_ == NativeType::Long || native_ == NativeType::Float || native_ == NativeType::Double;
}

// Sequence numbers only grow, so their sum changes with any change of a referenced variable.
std::uint64_t ServedVariable::referencesSequence() const {
  std::uint64_t sum = 0;
  for (const auto* ref : conventions_.references)
    sum += ref->sequence();
  return sum;
}

UpdatePtr ServedVariable::current() const {
  const auto refs = referencesSequence();
  {
    std::lock_guard<std::mutex> g(cacheMutex_);
    if (cached_ && cachedSequence_ != 0 && cachedSequence_ == pv_.sequence() && cachedReferences_ == refs)
      return cached_;
  }
  return convert(pv_.get());
}

UpdatePtr ServedVariable::convert(const orvane::ProcessVariable::Snapshot& s) const {
  // Read before the limits are, so that a change in between makes the next call convert anew.
  const auto refs = referencesSequence();
  {
    std::lock_guard<std::mutex> g(cacheMutex_);
    if (cached_ && s.sequence != 0 && cachedSequence_ == s.sequence && cachedReferences_ == refs)
      return cached_;
  }
  auto u = std::make_shared<ServedUpdate>();
  u->value = toCa(s.value, native_);
  u->metadata = baseMetadata_;
  auto& md = u->metadata;
  if (conventions_.display) {
    md.lowerDisplayLimit = conventions_.display->low.value();
    md.upperDisplayLimit = conventions_.display->high.value();
  }
  if (conventions_.drive) {
    md.lowerControlLimit = conventions_.drive->low.value();
    md.upperControlLimit = conventions_.drive->high.value();
  }
  if (!s.hasValue) {
    md.severity = p::AlarmSeverity::Invalid;
    md.status = p::AlarmStatus::Udf;
  } else if (s.validity == orvane::DataValidity::faulty) {
    md.severity = p::AlarmSeverity::Invalid;
    md.status = p::AlarmStatus::Read;
  } else if (const auto* states = std::get_if<std::vector<std::uint16_t>>(&u->value)) {
    if (!states->empty() && states->front() < conventions_.stateSeverity.size())
      md.severity = conventions_.stateSeverity[states->front()];
  } else if (const auto* text = std::get_if<std::vector<std::string>>(&u->value)) {
    if (count_ == 1 && !text->empty() && !text->front().empty()) md.severity = conventions_.nonEmptySeverity;
  }
  if (md.status == p::AlarmStatus::NoAlarm && md.severity != p::AlarmSeverity::NoAlarm)
    md.status = conventions_.alarmStatus;
  if (!s.version.isNull()) {
    auto d = s.version.time().time_since_epoch();
    auto secs = std::chrono::duration_cast<std::chrono::seconds>(d);
    auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(d - secs);
    md.timestamp = p::Timestamp::fromPosix(secs.count(), static_cast<std::uint32_t>(ns.count()));
  }
  std::lock_guard<std::mutex> g(cacheMutex_);
  if (s.sequence >= cachedSequence_) {
    cached_ = u;
    cachedSequence_ = s.sequence;
    cachedReferences_ = refs;
  }
  return u;
}

p::EcaStatus ServedVariable::write(std::uint16_t dataType, std::uint32_t count, p::ByteView payload,
                                   bool asChars) const {
  if (!writable()) return p::EcaStatus::NoWtAccess;
  const std::uint32_t capacity = asChars ? longStringCapacity : count_;
  // No elements would still be a write: the framework keeps the value and sends it on as an event,
  // which on a command variable is one command more than the client asked for.
  if (count == 0 || count > capacity) return p::EcaStatus::BadCount;
  if (info().type == orvane::ValueType::nothing) {
    // An event carries no value: whatever a client writes, in any plain type, is one event.
    auto t = p::toDbrType(dataType);
    if (!t || p::family(*t) != p::DbrFamily::Plain) return p::EcaStatus::BadType;
    try {
      pv_.write(orvane::AnyVector(std::in_place_type<std::vector<orvane::Void>>, 1));
    } catch (const std::exception&) {
      return p::EcaStatus::PutFail;
    }
    return p::EcaStatus::Normal;
  }
  p::WriteTarget target;
  target.type = asChars ? NativeType::LongString : native_;
  target.maxCount = capacity;
  target.enumStrings = baseMetadata_.enumStrings;
  auto r = p::decodeWrite(dataType, count, payload, target);
  if (r.status != p::EcaStatus::Normal) return r.status;
  try {
    pv_.write(fromCa(r.value));
  } catch (const std::logic_error&) {
    return p::EcaStatus::NoWtAccess;
  } catch (const std::exception&) {
    return p::EcaStatus::PutFail;
  }
  return p::EcaStatus::Normal;
}

UpdatePtr ServedVariable::derive(const UpdatePtr& value, Field f, bool asChars) const {
  if (f == Field::value && !asChars) return value;
  auto u = std::make_shared<ServedUpdate>();
  const auto& from = value->metadata;
  // A record's fields share its alarm and time stamp; the value's own properties stay with it.
  u->metadata.severity = from.severity;
  u->metadata.status = from.status;
  u->metadata.timestamp = from.timestamp;
  u->metadata.className = from.className;
  auto text = [&](const std::string& s) {
    if (asChars)
      u->value = p::LongString{cut(s, longStringCapacity - 1)};
    else
      u->value = std::vector<std::string>{cut(s, p::maxStringSize - 1)};
  };
  auto number = [&](double d) {
    u->value = std::vector<double>{d};
    u->metadata.units = from.units;
    u->metadata.precision = from.precision;
  };
  switch (f) {
  case Field::value: {
    const auto* s = std::get_if<std::vector<std::string>>(&value->value);
    text(s != nullptr && !s->empty() ? s->front() : std::string());
    break;
  }
  case Field::description:
    text(info().description);
    break;
  case Field::units:
    text(info().unit);
    break;
  case Field::name:
    text(name_);
    break;
  case Field::recordType:
    text(from.className);
    break;
  case Field::severity:
    u->value = std::vector<std::uint16_t>{static_cast<std::uint16_t>(from.severity)};
    u->metadata.enumStrings = severityNames();
    break;
  case Field::status:
    u->value = std::vector<std::uint16_t>{static_cast<std::uint16_t>(from.status)};
    u->metadata.enumStrings = statusNames();
    break;
  case Field::precision: {
    const int fallback = native_ == NativeType::Float || native_ == NativeType::Double ? 6 : 0;
    u->value = std::vector<std::int16_t>{from.precision.value_or(static_cast<std::int16_t>(fallback))};
    break;
  }
  case Field::highDisplay:
    number(from.upperDisplayLimit);
    break;
  case Field::lowDisplay:
    number(from.lowerDisplayLimit);
    break;
  case Field::highDrive:
    number(from.upperControlLimit);
    break;
  case Field::lowDrive:
    number(from.lowerControlLimit);
    break;
  }
  return u;
}

} // namespace telvik::bridge
