#include "modules/DelayModule.hpp"

#include <boost/chrono.hpp>
#include <boost/thread/thread.hpp>

#include <cmath>
#include <limits>
#include <stdexcept>

namespace quellor {

DelayModule::DelayModule(orvane::EntityOwner* owner, const std::string& name, const std::string& description,
                         const std::string& delayName, orvane::HierarchyModifier modifier)
    : orvane::ApplicationModule(owner, name, description, modifier, {}),
      start(this, "start", "void", "Start the delay"),
      delayPassed(this, "delayPassed", "void", "Inform that the delay time has passed"),
      delay(this, delayName, "s", "Time between receiving start and sending timeout.") {}

DelayModule::~DelayModule() = default;

int32_t DelayModule::delayMilliseconds(float seconds) {
  const float ms = 1000.0F * seconds;
  if (std::isnan(ms) || ms <= 0.0F) return 0;
  // 2^31 is exactly representable as float; anything at or above it does not fit.
  if (ms >= 2147483648.0F) return std::numeric_limits<int32_t>::max();
  return static_cast<int32_t>(ms);
}

void DelayModule::prepare() {
  writeAll();
}

void DelayModule::mainLoop() {
  const bool testable = orvane::Application::getInstance().isTestableMode();
  for (;;) {
    readAll();
    if (testable) {
      if (startReceived)
        throw std::logic_error("TestableMode: The DelayModule received multiple starts. The test has to call "
                               "sendTimePassed before the application sends the next start.");
      startReceived = true;
      continue;
    }
    const int32_t ms = delayMilliseconds(delay);
    // The framework's sleep is an interruption point (shutdown must not wait out a long delay)
    // and counts as idle, so that a long delay is not taken for a hung loop.
    if (ms > 0) sleepFor(boost::chrono::milliseconds(ms));
    if (start.readLatest())
      throw std::logic_error("Module must wait for timeout to be sent before next start.");
    delayPassed.write();
  }
}

void DelayModule::sendTimePassed() {
  if (!orvane::Application::getInstance().isTestableMode())
    throw std::logic_error("DelayModule::sendTimePassed can only be used in TestableMode.");
  if (!startReceived)
    throw std::logic_error(
        "The test must not call sendTimePassed if no start has been received by the DelayModule.");
  startReceived = false;
  delayPassed.write();
}

} // namespace quellor
