#pragma once
// A one-shot timer: every start event is answered by one time-passed event after a configurable
// delay. The channel's state machine uses it to hold the way back to DISABLED after an error.

#include "framework/Orvane.hpp"

#include <cstdint>
#include <string>

namespace quellor {

class DelayModule : public orvane::ApplicationModule {
 public:
  DelayModule(orvane::EntityOwner* owner, const std::string& name, const std::string& description,
              const std::string& delayName,
              orvane::HierarchyModifier modifier = orvane::HierarchyModifier::none);
  ~DelayModule() override;

  void prepare() override;
  void mainLoop() override;

  /// Testable mode only: sends the time-passed event for the start the main loop has noted.
  /// Called by the test's thread; throws std::logic_error outside testable mode or without a start.
  void sendTimePassed();

  /// The sleep of one start in whole milliseconds: the single-precision product 1000 × seconds,
  /// truncated toward zero. Values that do not fit (and NaN) are clamped, so a mistyped delay can
  /// neither wrap around into a negative wait nor sleep for ever.
  [[nodiscard]] static int32_t delayMilliseconds(float seconds);

  orvane::ScalarPushInput<int32_t> start;
  orvane::ScalarOutput<int32_t> delayPassed;
  orvane::ScalarPollInput<float> delay;

 private:
  bool startReceived{false};
};

} // namespace quellor
