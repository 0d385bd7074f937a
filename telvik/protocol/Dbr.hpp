// DBR types: codes, families, the byte layout of each, and the metadata they carry.
#pragma once

#include "telvik/protocol/Constants.hpp"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace telvik::protocol {

enum class DbrType : std::uint16_t {
  String = 0,
  Short,
  Float,
  Enum,
  Char,
  Long,
  Double,
  StsString,
  StsShort,
  StsFloat,
  StsEnum,
  StsChar,
  StsLong,
  StsDouble,
  TimeString,
  TimeShort,
  TimeFloat,
  TimeEnum,
  TimeChar,
  TimeLong,
  TimeDouble,
  GrString,
  GrShort,
  GrFloat,
  GrEnum,
  GrChar,
  GrLong,
  GrDouble,
  CtrlString,
  CtrlShort,
  CtrlFloat,
  CtrlEnum,
  CtrlChar,
  CtrlLong,
  CtrlDouble,
  PutAckt,
  PutAcks,
  StsackString,
  ClassName,
};
inline constexpr std::uint16_t maxDbrTypeCode = 38;

// The value type underneath a DBR type; the order is the wire code order (code % 7).
enum class DbrBase : std::uint8_t { String, Short, Float, Enum, Char, Long, Double };

// What precedes the value. Other covers PUT_ACKT/ACKS (write-only), STSACK_STRING and
// CLASS_NAME.
enum class DbrFamily : std::uint8_t { Plain, Sts, Time, Gr, Ctrl, Other };

[[nodiscard]] constexpr std::optional<DbrType> toDbrType(std::uint16_t code) {
  if (code > maxDbrTypeCode) return std::nullopt;
  return static_cast<DbrType>(code);
}
[[nodiscard]] constexpr std::uint16_t toWire(DbrType t) {
  return static_cast<std::uint16_t>(t);
}

[[nodiscard]] constexpr DbrFamily family(DbrType t) {
  const auto c = toWire(t);
  return c <= toWire(DbrType::CtrlDouble) ? static_cast<DbrFamily>(c / 7) : DbrFamily::Other;
}

[[nodiscard]] constexpr DbrBase base(DbrType t) {
  const auto c = toWire(t);
  if (c <= toWire(DbrType::CtrlDouble)) return static_cast<DbrBase>(c % 7);
  if (t == DbrType::PutAckt || t == DbrType::PutAcks) return DbrBase::Enum;
  return DbrBase::String;
}

[[nodiscard]] constexpr DbrType plainType(DbrBase b) {
  return static_cast<DbrType>(b);
}
[[nodiscard]] constexpr DbrType typeOf(DbrFamily f, DbrBase b) {
  return static_cast<DbrType>(static_cast<std::uint16_t>(f) * 7 + static_cast<std::uint16_t>(b));
}

// Types a client may write with (plain ones and the two alarm acknowledgements).
[[nodiscard]] constexpr bool isWritable(DbrType t) {
  return toWire(t) <= toWire(DbrType::Double) || t == DbrType::PutAckt || t == DbrType::PutAcks;
}

struct DbrLayout {
  std::uint16_t size = 0;        // one element, metadata included (libca's dbr_size)
  std::uint16_t valueOffset = 0; // where the first element starts
  std::uint16_t elementSize = 0; // each further element
};

[[nodiscard]] DbrLayout layout(DbrType t);

// Unpadded bytes for `count` elements: size + (count-1) * elementSize, and for count 0 the
// metadata alone. 64-bit: with a hostile 32-bit count this is large but cannot wrap.
[[nodiscard]] std::uint64_t dataSize(DbrType t, std::uint32_t count);

// Seconds and nanoseconds since the EPICS epoch, 1990-01-01 00:00:00 UTC.
struct Timestamp {
  std::uint32_t seconds = 0;
  std::uint32_t nanoseconds = 0;

  // Instants before the EPICS epoch become 0 ("no time", which clients show as such).
  [[nodiscard]] static constexpr Timestamp fromPosix(std::int64_t posixSeconds, std::uint32_t nanoseconds) {
    const std::int64_t s = posixSeconds - epicsEpochOffset;
    if (s < 0) return Timestamp{};
    if (s > 0xFFFFFFFF) return Timestamp{0xFFFFFFFF, nanoseconds};
    return Timestamp{static_cast<std::uint32_t>(s), nanoseconds};
  }
  [[nodiscard]] constexpr std::int64_t posixSeconds() const {
    return std::int64_t{seconds} + epicsEpochOffset;
  }
  friend bool operator==(const Timestamp&, const Timestamp&) = default;
};

// Everything the structured DBR types can carry besides the value. Limits are kept as double and
// converted to the requested type's base on the way out, like the value itself.
struct Metadata {
  AlarmStatus status = AlarmStatus::NoAlarm;
  AlarmSeverity severity = AlarmSeverity::NoAlarm;
  Timestamp timestamp;
  std::string units;                     // 7 characters go on the wire
  std::optional<std::int16_t> precision; // unset: 6 for float and double values, else 0
  double upperDisplayLimit = 0;
  double lowerDisplayLimit = 0;
  double upperAlarmLimit = 0;
  double upperWarningLimit = 0;
  double lowerWarningLimit = 0;
  double lowerAlarmLimit = 0;
  double upperControlLimit = 0;
  double lowerControlLimit = 0;
  std::vector<std::string> enumStrings; // 16 of 25 characters go on the wire
  std::string className;                // DBR_CLASS_NAME answer (a record type name for IOCs)
  friend bool operator==(const Metadata&, const Metadata&) = default;
};

} // namespace telvik::protocol
