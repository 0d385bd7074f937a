// Which events an update is, as records post them: a value event (DBE_VALUE, DBE_LOG) only when
// the value moved by more than its deadband since the last one posted, an alarm event when
// severity or status changed, a property event when units, precision, limits or states changed.
#pragma once

#include "telvik/bridge/ServedVariable.hpp"

#include <cstdint>

namespace telvik::server {

// Change bits of an update, matched against subscription masks.
inline constexpr std::uint16_t valueEventBits = protocol::EventMask::Value | protocol::EventMask::Log;
inline constexpr std::uint16_t alarmEventBit = static_cast<std::uint16_t>(protocol::EventMask::Alarm);
inline constexpr std::uint16_t propertyEventBit = static_cast<std::uint16_t>(protocol::EventMask::Property);
inline constexpr std::uint16_t anyEventBits = 0x0F;

/// Whether `a` differs from `b` by more than `deadband` in any element; text, element counts and
/// types differ or not. NaN equals NaN (a value that stays NaN is no change).
[[nodiscard]] bool exceedsDeadband(const protocol::Value& a, const protocol::Value& b, double deadband);
/// Whether the metadata that DBE_PROPERTY is about (units, precision, limits, states) are equal.
[[nodiscard]] bool sameProperties(const protocol::Metadata& a, const protocol::Metadata& b);

// What was last posted of one variable (a record's MLST, ALST and alarm), so that the next update
// can be told apart from it.
class PostedState {
 public:
  /// The event bits of `u` and, for those it has, `u` becomes the last posted. An `event`
  /// variable (Void) posts a value event on every update, since its arrival is its content.
  [[nodiscard]] std::uint16_t post(const bridge::UpdatePtr& u, const bridge::VariableMetadata& m, bool event);
  /// Takes `u` as posted without events: the value a first subscriber gets on subscribing.
  void baseline(const bridge::UpdatePtr& u);
  [[nodiscard]] bool empty() const { return !monitored_; }
  /// Forgets everything: nobody watches, so the next subscriber starts a new baseline.
  void reset() { *this = PostedState{}; }

 private:
  bridge::UpdatePtr monitored_, archived_, alarm_, properties_;
};

/// The event bits of a record-like field's new update against the last one posted to a
/// subscription (`last`, updated): value events when the field changed; for .SEVR and .STAT also
/// an alarm event.
[[nodiscard]] std::uint16_t fieldEvents(bridge::Field f, const bridge::UpdatePtr& u, bridge::UpdatePtr& last);

} // namespace telvik::server
