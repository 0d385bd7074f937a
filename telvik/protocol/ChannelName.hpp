// Record-field naming as IOCs use it: "REC", "REC.VAL", "REC.DESC", "REC.VAL$", "REC$".
#pragma once

#include <string_view>

namespace telvik::protocol {

// The parts of a requested channel name. Views into the name passed in.
struct ChannelName {
  std::string_view base;          // the PV (record) name
  std::string_view field = "VAL"; // "VAL" when none is given, so "REC" and "REC.VAL" compare equal
  bool fieldGiven = false;
  bool longString = false;   // "$": present the (string) field as a NUL-terminated char array
  std::string_view modifier; // "[...]" range or "{...}" filter after the field, if any
  bool valid = false;
};

// Splits at the first '.', as record names cannot hold one. A field name is upper-case letters,
// digits and '_', starting with a letter; "$" may follow it, then a modifier. Without a '.', only a
// trailing "$" is recognised (names such as "SR{BPM}X" carry braces of their own). Anything else
// after the '.' makes the name invalid: a server answers it as not found.
[[nodiscard]] ChannelName splitChannelName(std::string_view name);

} // namespace telvik::protocol
