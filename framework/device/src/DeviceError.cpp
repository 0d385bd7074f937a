#include "framework/device/DeviceError.hpp"

namespace orvane::device {

MapError::MapError(std::string file, std::size_t line, const std::string& message)
    : std::runtime_error(file + (line != 0 ? ":" + std::to_string(line) : std::string()) + ": " + message),
      file_(std::move(file)), line_(line) {}

} // namespace orvane::device
