#include "framework/device/Device.hpp"

#include "framework/device/DummyBackend.hpp"
#include "framework/device/MmapBackend.hpp"
#include "framework/device/ShmBackend.hpp"

namespace orvane::device {

std::unique_ptr<Backend> createBackend(const DeviceEntry& entry,
                                       std::shared_ptr<const RegisterMap> registers) {
  switch (entry.kind) {
  case BackendKind::dummy:
    return std::make_unique<DummyBackend>(entry.alias, std::move(registers));
  case BackendKind::shm:
    return std::make_unique<ShmBackend>(entry.alias, entry.target, std::move(registers));
  case BackendKind::mmap:
    return std::make_unique<MmapBackend>(entry.alias, entry.target, std::move(registers));
  }
  throw std::logic_error("device '" + entry.alias + "': unknown backend kind");
}

Device openDevice(const std::filesystem::path& dmapFile, std::string_view alias) {
  const DeviceMap dmap = parseDeviceMap(dmapFile);
  Device device{dmap.get(alias), nullptr, nullptr};
  device.registers = std::make_shared<const RegisterMap>(parseRegisterMap(device.entry.mapFile));
  device.backend = createBackend(device.entry, device.registers);
  return device;
}

} // namespace orvane::device
