#pragma once
// Gathers the channel's input-rejected reports (state machine, sum limiter, feed-forward
// compensation) into one time-stamped message and a flag that stays set until an operator
// clears it. An empty report means "accepted" and is never collected.

#include "framework/Orvane.hpp"

#include <chrono>
#include <functional>
#include <string>

namespace quellor {

class InputRejectedCollector : public orvane::ApplicationModule {
 public:
  using Clock = std::function<std::chrono::system_clock::time_point()>;

  InputRejectedCollector(orvane::EntityOwner* owner, const std::string& name, const std::string& description,
                         orvane::HierarchyModifier modifier = orvane::HierarchyModifier::none,
                         const orvane::TagSet& tags = {});
  ~InputRejectedCollector() override;
  void mainLoop() override;

  struct SourceGroup : orvane::VariableGroup {
    using orvane::VariableGroup::VariableGroup;
    orvane::ScalarPushInput<std::string> inputRejectedMessage{this, "inputRejectedMessage", "", ""};
  };
  SourceGroup stateMachine{this, "StateMachine", "", orvane::HierarchyModifier::oneLevelUp};
  SourceGroup voltageSumLimiter{this, "VoltageSumLimiter", "", orvane::HierarchyModifier::oneLevelUp};
  SourceGroup feedforwardCompensation{this, "FeedforwardCompensation", "",
                                      orvane::HierarchyModifier::oneLevelUp};

  struct HiddenGroup : orvane::VariableGroup {
    using orvane::VariableGroup::VariableGroup;
    orvane::ScalarOutput<std::string> inputRejectedMessage{this, "inputRejectedMessage", "n.a.",
                                                           "Information that user input has been discarded."};
    orvane::ScalarOutput<orvane::Boolean> inputRejectedFlag{this, "inputRejectedFlag", "n.a.",
                                                            "True if any information has been discarded."};
    orvane::ScalarPushInput<int32_t> clearInputRejectedMessage{
        this, "clearInputRejectedMessage", "",
        "Conceptually void. Write any value to clear the input rejected message and flag."};
  } hidden{this, "Hidden", "", orvane::HierarchyModifier::oneUpAndHide};

  /// "%Y-%m-%d %X" of the time cut to whole seconds, in local time and the classic locale.
  [[nodiscard]] static std::string timestamp(std::chrono::system_clock::time_point t);

  /// Replaces the system clock, for tests that need a known time stamp. Set before the threads run.
  void setClock(Clock clock) { clock_ = std::move(clock); }

 private:
  Clock clock_{[] { return std::chrono::system_clock::now(); }};
};

} // namespace quellor
