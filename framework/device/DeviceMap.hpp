#pragma once
// The device map (quellor.dmap): which backend and which register map stand behind a device
// alias. One device per line, "ALIAS URI", '#' comments:
//
//   PiezoDriver  shm:quellor-board?map=quellor.map
//
// URIs: dummy:?map=FILE, shm:NAME?map=FILE, mmap:PATH?map=FILE. Relative paths are taken from the
// directory of the dmap file, because the server and the tests start from different places.

#include <cstddef>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

namespace orvane::device {

enum class BackendKind { dummy, shm, mmap };

[[nodiscard]] std::string_view toString(BackendKind kind) noexcept;

struct DeviceEntry {
  std::string alias;
  BackendKind kind{BackendKind::dummy};
  /// shm: the object name without the leading '/'; mmap: the absolute file path; dummy: empty.
  std::string target;
  /// Absolute and lexically normalised.
  std::filesystem::path mapFile;
  /// The URI as written, for messages.
  std::string uri;
  std::size_t line{0};
};

class DeviceMap {
 public:
  DeviceMap() = default;
  DeviceMap(std::string file, std::vector<DeviceEntry> devices);

  /// The file as it was given to the parser; messages start with it.
  [[nodiscard]] const std::string& file() const noexcept { return file_; }
  /// In file order.
  [[nodiscard]] const std::vector<DeviceEntry>& devices() const noexcept { return devices_; }
  /// nullptr when no device has this alias.
  [[nodiscard]] const DeviceEntry* find(std::string_view alias) const noexcept;
  /// Throws MapError naming the file and the known aliases when there is no such device.
  [[nodiscard]] const DeviceEntry& get(std::string_view alias) const;

 private:
  std::string file_;
  std::vector<DeviceEntry> devices_;
};

/// Reads and parses a dmap file. Throws MapError ("FILE:LINE: ...") on any fault, including an
/// unreadable file. Does not look at the register map files.
[[nodiscard]] DeviceMap parseDeviceMap(const std::filesystem::path& dmapFile);

/// Parses dmap text; fileName is used in messages only, relative paths are resolved against
/// baseDirectory (made absolute first). Touches no file.
[[nodiscard]] DeviceMap parseDeviceMapText(std::string_view text, std::string fileName,
                                           const std::filesystem::path& baseDirectory);

} // namespace orvane::device
