// Device-map parser: any input either parses or throws MapError.
#include "framework/device/DeviceError.hpp"
#include "framework/device/DeviceMap.hpp"

#include <cstdint>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace orvane::device;
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  try {
    const auto dmap = parseDeviceMapText(text, "fuzz.dmap", "/fuzz/etc");
    for (const auto& d : dmap.devices()) {
      if (dmap.find(d.alias) != &d) __builtin_trap();
      if (!d.mapFile.is_absolute()) __builtin_trap();
      if (d.kind == BackendKind::mmap && !std::filesystem::path(d.target).is_absolute()) __builtin_trap();
    }
    (void)dmap.find("PiezoDriver");
  } catch (const MapError&) {
  }
  return 0;
}
