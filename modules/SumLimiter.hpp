#pragma once
// Passes the operator's AC amplitude and DC bias on only while the sum of their magnitudes stays
// within the piezos' drive range. A change that would leave the range is set back through the
// operator variable's return channel and reported on `inputRejectedMessage`.

#include "framework/Orvane.hpp"

#include <string>

namespace quellor {

class SumLimiter : public orvane::ApplicationModule {
 public:
  SumLimiter(orvane::EntityOwner* owner, const std::string& name, const std::string& description,
             orvane::HierarchyModifier modifier = orvane::HierarchyModifier::none,
             const orvane::TagSet& tags = {});
  ~SumLimiter() override;
  void prepare() override;
  void mainLoop() override;

  orvane::ScalarPushInputWB<double> acVoltageSetpoint{this, "acVoltageSetpoint", "V",
                                                      "Voltage setpoint of the compensation signal "};
  orvane::ScalarPushInputWB<double> dcVoltageSetpoint{this, "dcVoltageSetpoint", "V",
                                                      "Volatge setpoint of the DC bias"};
  orvane::ScalarOutput<std::string> inputRejectedMessage{
      this, "inputRejectedMessage", ".n.A.",
      "Message whether limit was exceeded in last write and changes have been rejected."};

  struct ConfigurationGroup : orvane::VariableGroup {
    using orvane::VariableGroup::VariableGroup;
    orvane::ScalarPollInput<double> maxDriveVoltage{this, "maxDriveVoltage", "V",
                                                    "Maximum drive range of the piezos (absolute value)"};
  } configuration{this, "Configuration", "", orvane::HierarchyModifier::moveToRoot};

  struct StateMachineGroup : orvane::VariableGroup {
    using orvane::VariableGroup::VariableGroup;
    orvane::ScalarOutput<double> dcVoltageSetpoint{this, "dcVoltageSetpoint", "V",
                                                   "Volatge setpoint of the DC bias (limited)"};
  } stateMachine{this, "StateMachine", "", orvane::HierarchyModifier::oneLevelUp};

  struct FeedforwardCompensationGroup : orvane::VariableGroup {
    using orvane::VariableGroup::VariableGroup;
    orvane::ScalarOutput<double> amplitude{this, "amplitude", "V",
                                           "Voltage setpoint of the compensation signal (limited)"};
  } feedforwardCompensation{this, "FeedforwardCompensation", "", orvane::HierarchyModifier::oneLevelUp};

  /// True when the pair exceeds the range. A sum that is not a number counts as exceeding it:
  /// a NaN setpoint must never reach the drive.
  [[nodiscard]] static bool exceedsLimit(double ac, double dc, double limit);
};

} // namespace quellor
