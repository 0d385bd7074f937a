#pragma once
// A one-shot timer: every start event is answered by one time-passed event after a configurable
// delay. The channel's state machine uses it to hold the way back to DISABLED after an error.

#include "framework/Orvane.hpp"

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>

namespace quellor {

class DelayModule : public orvane::ApplicationModule {
 public:
  /// Waits out one delay in the module's loop: through framework waits only, an interruption point.
  using Sleep = std::function<void(std::chrono::milliseconds)>;

  DelayModule(orvane::EntityOwner* owner, const std::string& name, const std::string& description,
              const std::string& delayName,
              orvane::HierarchyModifier modifier = orvane::HierarchyModifier::none);
  ~DelayModule() override;

  void prepare() override;
  void mainLoop() override;

  /// Replaces the framework's interruptible sleep. Set before the threads run.
  void setSleep(Sleep sleep) { sleep_ = std::move(sleep); }

  /// For tests (testable mode has no clock): every sleep, whatever its length, lasts until the test
  /// calls sendTimePassed(), and a start that comes before that ends the loop with an error at once.
  /// Replaces the sleep; set before the threads run.
  void sleepUntilTimePassed();
  /// Ends the sleep of the start the main loop has taken; the time-passed event follows at the next
  /// step. Called by the test's thread between steps; throws std::logic_error unless
  /// sleepUntilTimePassed() was called, or without a start.
  void sendTimePassed();

  /// The sleep of one start in whole milliseconds: the single-precision product 1000 × seconds,
  /// truncated toward zero. Values that do not fit (and NaN) are clamped, so a mistyped delay can
  /// neither wrap around into a negative wait nor sleep for ever.
  [[nodiscard]] static int32_t delayMilliseconds(float seconds);

  orvane::ScalarPushInput<int32_t> start;
  orvane::ScalarOutput<int32_t> delayPassed;
  orvane::ScalarPollInput<float> delay;

 private:
  Sleep sleep_{orvane::interruptibleSleep};
  bool sleepsUntilTimePassed_{false};
  bool sleeping_{false}; ///< in the test's sleep; guarded by the inbox's mutex
};

} // namespace quellor
