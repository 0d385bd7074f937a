// The test facility's access to dummy devices lives with the device layer, which knows them.
#include "framework/TestFacility.hpp"
#include "framework/device/DummyBackend.hpp"
#include "framework/devicemodule/DeviceModule.hpp"

namespace orvane {

namespace {
device::DummyDevice& dummyOf(const std::string& alias) {
  return DeviceModule::find(alias).dummyDevice();
}
} // namespace

std::vector<uint32_t> TestFacility::readDeviceRaw(const std::string& alias, const std::string& registerPath) {
  return dummyOf(alias).peekRegister(registerPath);
}

void TestFacility::writeDeviceRaw(const std::string& alias, const std::string& registerPath,
                                  const std::vector<uint32_t>& words) {
  dummyOf(alias).pokeRegister(registerPath, words);
}

AnyVector TestFacility::readDeviceAny(const std::string& alias, const std::string& registerPath,
                                      ValueType type) {
  auto& dummy = dummyOf(alias);
  return dispatchValueType(type, [&](auto tag) -> AnyVector {
    using T = decltype(tag);
    if constexpr (std::is_same_v<T, Void>) {
      throw std::logic_error("Register '" + registerPath + "' of device '" + alias +
                             "' cannot be read as Void.");
    } else {
      return AnyVector(std::in_place_type<std::vector<T>>, dummy.read<T>(registerPath));
    }
  });
}

void TestFacility::writeDeviceAny(const std::string& alias, const std::string& registerPath,
                                  const AnyVector& value) {
  auto& dummy = dummyOf(alias);
  std::visit(
      [&](const auto& vec) {
        using T = typename std::decay_t<decltype(vec)>::value_type;
        if constexpr (std::is_same_v<T, Void>) {
          throw std::logic_error("Register '" + registerPath + "' of device '" + alias +
                                 "' cannot be set to Void.");
        } else {
          dummy.write<T>(registerPath, vec);
        }
      },
      value);
}

void TestFacility::injectDeviceFault(const std::string& alias, size_t count) {
  dummyOf(alias).failNextAccesses(count);
}

void TestFacility::failDeviceOpens(const std::string& alias, size_t count) {
  dummyOf(alias).failNextOpens(count);
}

void TestFacility::retryDeviceRecovery(const std::string& alias) {
  DeviceModule::find(alias).retryRecoveryNow();
}

} // namespace orvane
