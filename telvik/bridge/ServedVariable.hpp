// A framework variable as Channel Access sees it: the type mapping (native DBR type and element
// count), metadata and alarms after its record conventions (Metadata.hpp), the record-like fields
// derived from it, and the conversion of values in both directions.
#pragma once

#include "framework/ControlSystem.hpp"
#include "telvik/bridge/Metadata.hpp"
#include "telvik/protocol/Convert.hpp"
#include "telvik/protocol/Dbr.hpp"
#include "telvik/protocol/Value.hpp"

#include <memory>
#include <mutex>
#include <string>

namespace telvik::bridge {

// Room of a text variable's char-array view ("NAME$"), NUL included. Longer text is cut there.
inline constexpr std::uint32_t longStringCapacity = 16384;

// One value as clients see it, converted once and shared by every subscriber.
struct ServedUpdate {
  protocol::Value value;
  protocol::Metadata metadata;
};
using UpdatePtr = std::shared_ptr<const ServedUpdate>;

// What a channel shows of its variable: the value, or one of the record-like fields.
enum class Field : std::uint8_t {
  value,
  description, // .DESC
  units,       // .EGU
  name,        // .NAME
  recordType,  // .RTYP
  severity,    // .SEVR
  status,      // .STAT
  precision,   // .PREC
  highDisplay, // .HOPR
  lowDisplay,  // .LOPR
  highDrive,   // .DRVH
  lowDrive,    // .DRVL
};

/// The field a record-field name stands for ("VAL", "DESC", ...); nullopt for one not served.
[[nodiscard]] std::optional<Field> fieldNamed(std::string_view name);
/// Whether the field is text, and so has a "$" char-array view.
[[nodiscard]] bool isTextField(Field f);
/// Whether the field is one of the number fields (PREC and the limits), which numbers have.
[[nodiscard]] bool isNumberField(Field f);
/// Whether the field changes with the variable's value, alarm or limits (and so is monitored).
[[nodiscard]] bool followsValue(Field f);

class ServedVariable {
 public:
  ServedVariable(orvane::ProcessVariable& pv, std::string name, VariableMetadata metadata = {});

  [[nodiscard]] const std::string& name() const { return name_; }
  [[nodiscard]] orvane::ProcessVariable& pv() const { return pv_; }
  [[nodiscard]] const orvane::ProcessVariableInfo& info() const { return pv_.info(); }
  [[nodiscard]] const VariableMetadata& conventions() const { return conventions_; }
  [[nodiscard]] protocol::NativeType nativeType() const { return native_; }
  [[nodiscard]] std::uint32_t nativeCount() const { return count_; }
  [[nodiscard]] bool writable() const { return pv_.info().writable(); }
  /// A scalar text: its bare name is a DBR_STRING (39 characters), "NAME$" the whole text.
  [[nodiscard]] bool isText() const { return native_ == protocol::NativeType::String && count_ == 1; }
  /// Whether the variable has a number field set (PREC, HOPR, ...): numbers without states.
  [[nodiscard]] bool hasNumberFields() const;
  /// Every update is an event (a Void variable), so no deadband applies.
  /// The DBR_CLASS_NAME answer and .RTYP: a record type name ("ai", "mbbo", ...).
  [[nodiscard]] const std::string& recordType() const { return baseMetadata_.className; }
  [[nodiscard]] bool isEvent() const { return pv_.info().type == orvane::ValueType::nothing; }

  /// The variable's latest value in CA form. Any thread.
  [[nodiscard]] UpdatePtr current() const;
  /// A value in CA form, with its alarm after the conventions and the limits as they are now. The
  /// last conversion is kept and handed out again while neither the value nor a variable its
  /// limits refer to has changed, so that every reader and subscriber of a large array shares one
  /// copy. Any thread.
  [[nodiscard]] UpdatePtr convert(const orvane::ProcessVariable::Snapshot& s) const;

  /// A client's write of a plain DBR payload (to the "$" view when `asChars`). Returns the status
  /// for the reply; on any refusal the variable keeps its value.
  [[nodiscard]] protocol::EcaStatus write(std::uint16_t dataType, std::uint32_t count,
                                          protocol::ByteView payload, bool asChars = false) const;

  /// A field (or the "$" view of the value) derived from an update of the value: it carries the
  /// variable's alarm and time stamp, as a record's fields do.
  [[nodiscard]] UpdatePtr derive(const UpdatePtr& value, Field f, bool asChars) const;

 private:
  orvane::ProcessVariable& pv_;
  std::string name_;
  VariableMetadata conventions_;
  protocol::NativeType native_;
  std::uint32_t count_;
  protocol::Metadata baseMetadata_;
  [[nodiscard]] std::uint64_t referencesSequence() const;
  mutable std::mutex cacheMutex_;
  mutable UpdatePtr cached_;
  mutable std::uint64_t cachedSequence_ = 0;
  mutable std::uint64_t cachedReferences_ = 0;
};

} // namespace telvik::bridge
