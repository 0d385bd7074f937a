#include "modules/DelayModule.hpp"

#include <chrono>
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
  for (;;) {
    readAll();
    const int32_t ms = delayMilliseconds(delay);
    // The framework's sleep (unless a test has put its own in) is an interruption point, so shutdown
    // need not wait out a long delay, and it suspends only this loop, not the worker thread it
    // shares with other modules. Even no delay goes through it: a test's sleep decides then too.
    sleep_(std::chrono::milliseconds(ms));
    if (start.readLatest())
      throw std::logic_error("Module must wait for timeout to be sent before next start.");
    delayPassed.write();
  }
}

void DelayModule::sleepUntilTimePassed() {
  sleepsUntilTimePassed_ = true;
  setSleep([this](std::chrono::milliseconds) {
    auto& box = inbox();
    {
      boost::lock_guard<boost::mutex> g(box.mutex);
      sleeping_ = true;
    }
    // A start wakes the loop too: the test would otherwise learn of it only after it has let the
    // time pass, in the error that the loop gives then.
    bool started = false;
    box.waitUntil([this, &started] {
      started = !start.queue()->emptyLocked();
      return !sleeping_ || started;
    });
    boost::lock_guard<boost::mutex> g(box.mutex);
    if (sleeping_)
      throw std::logic_error("TestableMode: The DelayModule received multiple starts. The test has to call "
                             "sendTimePassed before the application sends the next start.");
  });
}

void DelayModule::sendTimePassed() {
  if (!sleepsUntilTimePassed_)
    throw std::logic_error("DelayModule::sendTimePassed can only be used in TestableMode.");
  {
    boost::lock_guard<boost::mutex> g(inbox().mutex);
    if (!sleeping_)
      throw std::logic_error(
          "The test must not call sendTimePassed if no start has been received by the DelayModule.");
    sleeping_ = false;
  }
  inbox().notify();
}

} // namespace quellor
