// Native value <-> DBR payload, for any type and count a client asks for.
//
// Numeric conversions round to nearest (halves away from zero) and clamp at the target's range; NaN
// becomes 0 for integers. That is the rule the device layer applies to registers
// (framework/device/Numbers.hpp, which this layer must not include), so a value set over CA and
// one set by a module land alike. Numbers become text with the precision of the metadata; text
// becomes a number by parsing, and enum states convert by name.
#pragma once

#include "telvik/protocol/Constants.hpp"
#include "telvik/protocol/Dbr.hpp"
#include "telvik/protocol/Header.hpp"
#include "telvik/protocol/Value.hpp"

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace telvik::protocol {

// What the reply to a read needs to know about the channel and the circuit.
struct ReadContext {
  std::uint32_t maxCount = 1;                     // native count announced in CREATE_CHAN
  std::uint16_t clientMinor = serverMinorVersion; // count 0 means "current length" only from 13 on
};

// A DBR image ready for a READ_NOTIFY or EVENT_ADD reply: `count` goes into the header, `bytes`
// (unpadded) into the payload. On failure `status` says why and `bytes` are zeros of the size the
// reply must have, so the reply can be sent as is.
struct DbrData {
  EcaStatus status = EcaStatus::Normal;
  std::uint32_t count = 0;
  Bytes bytes;
  friend bool operator==(const DbrData&, const DbrData&) = default;
};

// Converts `value` to `dataType` with `requestedCount` elements:
// - count N > 0: exactly N elements, zeros after the current ones; N above maxCount: BadCount.
// - count 0: the current element count (capped at maxCount); from a client below minor 13: BadCount.
// - unknown or write-only types: BadType; text that is not a number, asked for as a number: NoConvert.
[[nodiscard]] DbrData encodeDbr(const Value& value, const Metadata& metadata, std::uint16_t dataType,
                                std::uint32_t requestedCount, const ReadContext& context);

// The target of a client write.
struct WriteTarget {
  NativeType type = NativeType::Double;
  std::uint32_t maxCount = 1;
  std::span<const std::string> enumStrings; // to match state names written as text
};

struct WriteResult {
  EcaStatus status = EcaStatus::Normal;
  Value value; // valid when status is Normal; holds exactly the written elements
};

// Decodes a WRITE/WRITE_NOTIFY payload into the channel's native type. Only plain types are
// accepted (others: BadType); PUT_ACKT/PUT_ACKS give NoConvert, there being no alarm
// acknowledgement to forward them to. A payload shorter than type and count imply gives BadCount,
// except for a scalar DBR_STRING, which libca shortens to the text and its NUL. Text that does not
// parse as the target type, or an enum index that is not one of the defined states (negative,
// fractional or too large), gives NoConvert.
[[nodiscard]] WriteResult decodeWrite(std::uint16_t dataType, std::uint32_t count, ByteView payload,
                                      const WriteTarget& target);

// Text rendering used for DBR_STRING reads of numbers: fixed with `precision` decimals, switching
// to exponent form where that would not fit 39 characters.
[[nodiscard]] std::string formatNumber(double v, int precision);

// Parses a number the way writes of text take it: surrounding blanks ignored, decimal or
// exponent form, "0x" hexadecimal for integers, "inf"/"nan". Anything else: nullopt.
[[nodiscard]] std::optional<double> parseNumber(std::string_view text);

} // namespace telvik::protocol
