#pragma once
// Ramps the channel's DC drive voltage towards the applied setpoint, at most one bounded step per
// machine trigger, landing exactly on the setpoint. Every ended ramp (reached, or superseded by a
// new setpoint) is answered on `ready`, which the state machine counts against its setpoints.

#include "framework/Orvane.hpp"

#include <cstdint>
#include <string>

namespace quellor {

class VoltageStepLimiter : public orvane::ApplicationModule {
 public:
  VoltageStepLimiter(orvane::EntityOwner* owner, const std::string& name, const std::string& description,
                     orvane::HierarchyModifier modifier = orvane::HierarchyModifier::none,
                     const orvane::TagSet& tags = {});
  ~VoltageStepLimiter() override;
  void mainLoop() override;

  orvane::ScalarPushInput<double> dcVoltageSetpoint{this, "dcVoltageSetpoint", "V",
                                                    "The target value for the voltage "};
  /// Reached by the application for the explicit trigger connection.
  orvane::ScalarPushInput<int64_t> trigger{this, "trigger", "", "Trigger to execute the next voltage step."};
  orvane::ScalarOutput<std::string> ready{
      this, "ready", "", "Updated if a stepping sequence has ended (setpoint reached or changed)"};

  struct ConfigurationGroup : orvane::VariableGroup {
    using orvane::VariableGroup::VariableGroup;
    orvane::ScalarPollInput<double> maxDCVoltageStep{this, "maxDCVoltageStep", "V/s",
                                                     "Maximum allowed DC voltage step per machine trigger"};
  } configuration{this, "Configuration", "", orvane::HierarchyModifier::moveToRoot};

  struct ChannelGroup : orvane::VariableGroup {
    using orvane::VariableGroup::VariableGroup;
    orvane::ScalarOutput<double> dcVoltage{this, "dcVoltage", "V", "The current voltage"};
  } channel{this, "channel", "", orvane::HierarchyModifier::oneUpAndHide};

  /// The step actually used for a configured value: a negative step would ramp away from the
  /// setpoint for ever and NaN would jump onto it in one step, so the magnitude is used and NaN
  /// stops the ramp from moving.
  [[nodiscard]] static double usableStep(double configured);
};

} // namespace quellor
