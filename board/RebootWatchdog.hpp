#pragma once
// Watches the board's boot status word: the firmware clears it when the board restarts, so a valid
// 0 means every register the server wrote since the last initialisation is gone.

#include "framework/Orvane.hpp"

#include <string>

namespace orvane {
class DeviceModule;
}

namespace quellor {

class RebootWatchdog : public orvane::ApplicationModule {
 public:
  RebootWatchdog(orvane::EntityOwner* owner, const std::string& name, const std::string& description,
                 orvane::DeviceModule& deviceModule, const std::string& statusPath);
  ~RebootWatchdog() override;

  orvane::ModifyHierarchy<orvane::ScalarPushInput<uint32_t>> bootStatus;

  void mainLoop() override;

 private:
  orvane::DeviceModule& device;
};

} // namespace quellor
