#include "board/RebootWatchdog.hpp"

#include "framework/devicemodule/DeviceModule.hpp"

namespace quellor {

RebootWatchdog::RebootWatchdog(orvane::EntityOwner* owner, const std::string& name,
                               const std::string& description, orvane::DeviceModule& deviceModule,
                               const std::string& statusPath)
    : orvane::ApplicationModule(owner, name, description), bootStatus(this, statusPath, "", ""),
      device(deviceModule) {}

RebootWatchdog::~RebootWatchdog() = default;

void RebootWatchdog::mainLoop() {
  // The initial value is deliberately not tested: at start-up the init script has just run, and a
  // stale 0 read before it finished must not trigger a second recovery.
  while (true) {
    bootStatus->read();
    // While the board is in error its values arrive faulty; a faulty 0 says nothing about a reboot.
    if (bootStatus->dataValidity() == orvane::DataValidity::ok && static_cast<uint32_t>(*bootStatus) == 0) {
      device.reportException("RebootWatchdog: Reboot detected. " + bootStatus->getName() + " is 0.");
    }
  }
}

} // namespace quellor
