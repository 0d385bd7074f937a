#pragma once
// The two ways the device layer fails, kept apart on purpose: a DeviceError is a fault of the
// running device (the recovery thread re-opens and tries again), a MapError is a broken device
// map or register map (trying again cannot help, so it must stop the start-up).

#include <cstddef>
#include <stdexcept>
#include <string>

namespace orvane::device {

/// A backend could not open, read or write. The message names the device.
class DeviceError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

/// A device map or register map is malformed or does not match its device. The message starts
/// with "FILE:LINE: " (or "FILE: " when no single line is to blame), FILE as it was given.
class MapError : public std::runtime_error {
 public:
  MapError(std::string file, std::size_t line, const std::string& message);

  [[nodiscard]] const std::string& file() const noexcept { return file_; }
  /// 0 when the error concerns the whole file.
  [[nodiscard]] std::size_t line() const noexcept { return line_; }

 private:
  std::string file_;
  std::size_t line_;
};

} // namespace orvane::device
