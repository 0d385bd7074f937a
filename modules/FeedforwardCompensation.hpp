#pragma once
// Produces the channel's feed-forward control table: a sine burst of nPeriods periods at
// `frequency`, `delay` ms after the trigger, scaled by `amplitude`, or in pass-through mode the
// operator's own table. After every table it flips the board's buffer select, so that the board
// takes up the new one. Every change of frequency, delay and nPeriods is checked first.

#include "framework/Orvane.hpp"
#include "modules/ControlTable.hpp"

#include <cstdint>
#include <string>

namespace quellor {

class FeedforwardCompensation : public orvane::ApplicationModule {
 public:
  FeedforwardCompensation(orvane::EntityOwner* owner, const std::string& name, const std::string& description,
                          orvane::HierarchyModifier modifier = orvane::HierarchyModifier::none,
                          const orvane::TagSet& tags = {});
  ~FeedforwardCompensation() override;
  void mainLoop() override;

  /// Whether the set yields a burst that starts at or after the trigger and ends inside the
  /// table. At start-up a burst end that is not a number is refused as well.
  [[nodiscard]] bool checkParameters(const SineBurstParameters& p, bool startUp) const;
  /// Writes the table for the accepted set (or the operator's table in pass-through mode) and
  /// then flips the buffer select. Computes in the output's own buffer.
  void computeControlTable(const SineBurstParameters& p);

  uint64_t controlTableLength;
  uint32_t controlTableSampleRate;
  /// The drive range that the operator's own table must keep to beside the DC bias.
  double maxDriveVoltage;

  orvane::ScalarPushInput<double> amplitude{this, "amplitude", "V", "Voltage setpoint of the FF signal "};
  orvane::ScalarPushInputWB<double> frequency{this, "frequency", "Hz", "Frequency setpint of the FF signal "};
  orvane::ScalarPushInputWB<double> delay{this, "delay", "ms",
                                          "Delay of the FF signal, relative to the machine trigger"};
  orvane::ScalarPushInputWB<uint32_t> nPeriods{this, "nPeriods", "", "Number of periods of the sine wave"};
  orvane::ScalarPollInput<orvane::Boolean> disableFFComputation{this, "disableFFComputation", "", ""};
  orvane::ArrayPushInput<float> ffCompensation;
  orvane::ScalarOutput<std::string> inputRejectedMessage{
      this, "inputRejectedMessage", "",
      "Message whether the last input for FeedforwardCompensation has been rejected."};

  struct ChannelGroup : orvane::VariableGroup {
    ChannelGroup(orvane::EntityOwner* owner, const std::string& name, const std::string& description,
                 orvane::HierarchyModifier modifier);
    orvane::ArrayOutput<double> controlTable;
    orvane::ScalarOutput<int32_t> swapControlTable{this, "swapControlTable", "",
                                                   "Selects the control table buffer (0|1)"};
  } channel{this, "channel", "", orvane::HierarchyModifier::oneUpAndHide};

  // The DC bias that the sum limiter has accepted, for the test of the operator's own table; it is
  // read where the sum limiter publishes it.
  struct StateMachineGroup : orvane::VariableGroup {
    using orvane::VariableGroup::VariableGroup;
    orvane::ScalarPollInput<double> dcVoltageSetpoint{this, "dcVoltageSetpoint", "V",
                                                      "Volatge setpoint of the DC bias (limited)"};
  } stateMachine{this, "StateMachine", "", orvane::HierarchyModifier::oneLevelUp};

  /// Why the operator's table in `ffCompensation` must not reach the board, or empty when it may:
  /// an element that is not finite, or a peak whose magnitude plus that of the accepted DC bias
  /// exceeds the drive range (the sum limiter's rule, with the peak as the AC part).
  [[nodiscard]] std::string userTableRefusal() const;

 private:
  void reject(const std::string& inputName, const std::string& previous);
  /// Writes the table for the accepted set, unless the operator's table is to be sent and is
  /// refused: then the refusal is the message and the board keeps its table.
  void sendTable(const SineBurstParameters& p);
};

} // namespace quellor
