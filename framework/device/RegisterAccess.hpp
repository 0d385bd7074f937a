#pragma once
// Reading and writing whole registers as application values: what the device module calls.

#include "framework/device/Backend.hpp"
#include "framework/device/Conversion.hpp"

#include <stdexcept>
#include <vector>

namespace orvane::device {

namespace detail {
[[noreturn]] void throwAccessMisuse(const RegisterInfo& reg, const char* wanted);
} // namespace detail

/// Reads all elements of `reg` into `out` (resized to the element count). Throws DeviceError on a
/// backend failure, std::logic_error when the register cannot be read.
template <CookedType T> void readRegister(Backend& backend, const RegisterInfo& reg, std::vector<T>& out) {
  if (!reg.isReadable() || reg.type == RegisterType::nothing) detail::throwAccessMisuse(reg, "read");
  std::vector<std::uint32_t> words(wordCount(reg));
  backend.read(reg.offset, words.data(), words.size());
  decodeRegister(reg, words, out);
}

/// Writes all elements of `reg` from `in`, which must hold exactly the element count (any values
/// for a void register, whose write is the event). Throws DeviceError on a backend failure,
/// std::logic_error when the register cannot be written, std::invalid_argument for a wrong
/// count or a string that is not a number.
template <CookedType T>
void writeRegister(Backend& backend, const RegisterInfo& reg, const std::vector<T>& in) {
  if (!reg.isWritable()) detail::throwAccessMisuse(reg, "written");
  std::vector<std::uint32_t> words(wordCount(reg));
  encodeRegister(reg, in, words);
  backend.write(reg.offset, words.data(), words.size());
}

/// The event of a void register.
void writeEvent(Backend& backend, const RegisterInfo& reg);

} // namespace orvane::device
