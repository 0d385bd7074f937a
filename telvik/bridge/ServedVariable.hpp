// A framework variable as Channel Access sees it: the type mapping (native DBR type and element
// count), metadata, and the conversion of values in both directions.
#pragma once

#include "framework/ControlSystem.hpp"
#include "telvik/protocol/Convert.hpp"
#include "telvik/protocol/Dbr.hpp"
#include "telvik/protocol/Value.hpp"

#include <memory>
#include <string>

namespace telvik::bridge {

// Room of a string variable's char-array channel, NUL included. Longer text is cut on the way out.
inline constexpr std::uint32_t longStringCapacity = 16384;

// One value as clients see it, converted once and shared by every subscriber.
struct ServedUpdate {
  protocol::Value value;
  protocol::Metadata metadata;
};
using UpdatePtr = std::shared_ptr<const ServedUpdate>;

enum class Field : std::uint8_t { value, description, units };

class ServedVariable {
 public:
  ServedVariable(orvane::ProcessVariable& pv, std::string name);

  [[nodiscard]] const std::string& name() const { return name_; }
  [[nodiscard]] orvane::ProcessVariable& pv() const { return pv_; }
  [[nodiscard]] const orvane::ProcessVariableInfo& info() const { return pv_.info(); }
  [[nodiscard]] protocol::NativeType nativeType() const { return native_; }
  [[nodiscard]] std::uint32_t nativeCount() const { return count_; }
  [[nodiscard]] bool writable() const { return pv_.info().writable(); }

  /// The variable's latest value in CA form.
  [[nodiscard]] UpdatePtr current() const { return convert(pv_.get()); }
  [[nodiscard]] UpdatePtr convert(const orvane::ProcessVariable::Snapshot& s) const;

  /// A client's write of a plain DBR payload. Returns the status for the reply.
  [[nodiscard]] protocol::EcaStatus write(std::uint16_t dataType, std::uint32_t count,
                                          protocol::ByteView payload) const;

  // The fixed text fields, as DBR_STRING or (with "$") as char array.
  [[nodiscard]] UpdatePtr fieldUpdate(Field f, bool asChars) const;

 private:
  orvane::ProcessVariable& pv_;
  std::string name_;
  protocol::NativeType native_;
  std::uint32_t count_;
  protocol::Metadata baseMetadata_;
};

} // namespace telvik::bridge
