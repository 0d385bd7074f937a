#pragma once
// From a dmap file and an alias to a backend ready to open.

#include "framework/device/Backend.hpp"
#include "framework/device/DeviceMap.hpp"
#include "framework/device/RegisterMap.hpp"

#include <filesystem>
#include <memory>
#include <string_view>

namespace orvane::device {

/// A device as the dmap describes it: its entry, its parsed register map and its backend
/// (not yet opened). Move-only.
struct Device {
  DeviceEntry entry;
  std::shared_ptr<const RegisterMap> registers;
  std::unique_ptr<Backend> backend;
};

/// The backend of `entry`, closed.
[[nodiscard]] std::unique_ptr<Backend> createBackend(const DeviceEntry& entry,
                                                     std::shared_ptr<const RegisterMap> registers);

/// Parses the dmap, finds the alias, parses its register map and creates the backend without
/// opening it. Throws MapError for every fault of either file, including an unknown alias.
[[nodiscard]] Device openDevice(const std::filesystem::path& dmapFile, std::string_view alias);

} // namespace orvane::device
