#pragma once
// The safety state machine of one piezo driver channel. It decides whether the piezo is connected
// to its drive, whether the feed-forward table and the firmware feedback reach the output, and
// which DC voltage the step limiter ramps to. The way back to DISABLED is gated by three pieces of
// bookkeeping: the DAC must be at zero with the table mode off, every applied setpoint must have
// been acknowledged by the step limiter, and neither the error reset delay nor the tolerance
// window after a protection reset may be open.

#include "framework/Orvane.hpp"
#include "modules/DelayModule.hpp"

#include <cstdint>
#include <string>

namespace quellor {

/// Published as a signed 32-bit integer.
enum class ChannelState : int32_t { DISABLED = 0, ENABLED = 1, ERROR = 2, DISABLING = 3 };

class StateMachine : public orvane::ModuleGroup {
 public:
  class Main : public orvane::ApplicationModule {
   public:
    Main(orvane::EntityOwner* owner, const std::string& name, const std::string& description,
         orvane::HierarchyModifier modifier = orvane::HierarchyModifier::none,
         const orvane::TagSet& tags = {});
    ~Main() override;
    void prepare() override;
    void mainLoop() override;

    orvane::ScalarPushInput<int32_t> requestedState{this, "requestedState", "n.A.",
                                                    "[DISABLED=0,ENABLED=1,ERROR=2]"};
    orvane::ScalarPushInput<int32_t> resetError{this, "resetError", "n.A.",
                                                "Start transiton from ERROR to DISABLED."};
    orvane::ScalarPushInput<int32_t> emergencyOff{
        this, "emergencyOff", "n.A.", "Immediately disconnect the piezo from the drive. Goes to ERROR."};
    orvane::ScalarOutput<int32_t> currentState{this, "currentState", "n.A.",
                                               "[DISABLED=0,ENABLED=1,ERROR=2,DISABLING=3]"};
    orvane::ScalarPushInput<double> dcVoltageSetpoint{this, "dcVoltageSetpoint", "V", ""};
    orvane::ScalarPushInput<orvane::Boolean> enableFeedforward{
        this, "enableFeedforward", "n.A.", "Add FF signal in control table to the output"};
    orvane::ScalarPushInput<orvane::Boolean> enableFeedback{this, "enableFeedback", "n.A.",
                                                            "Add FB controller signal to the output"};
    orvane::ScalarPushInputWB<orvane::Boolean> actuatorSensorRelayControl{
        this, "actuatorSensorRelayControl", "n.A.", "Swap actuator and sensor piezo"};

    struct DcVoltageStepLimiterGroup : orvane::VariableGroup {
      using orvane::VariableGroup::VariableGroup;
      orvane::ScalarOutput<double> dcVoltageSetpoint{this, "dcVoltageSetpoint", "V",
                                                     "applied DC setpoint (0 or dcVoltageSetpoint)"};
      orvane::ScalarPushInput<std::string> ready{this, "ready", "", ""};
    } dcVoltageStepLimiter{this, "DcVoltageStepLimiter", "", orvane::HierarchyModifier::oneLevelUp};

    struct ErrorResetDelayTimerGroup : orvane::VariableGroup {
      using orvane::VariableGroup::VariableGroup;
      orvane::ScalarOutput<int32_t> start{this, "start", "", ""};
      orvane::ScalarOutput<float> errorResetDelay{
          this, "errorResetDelay", "s", "Minimum time to to reset to DISABLED after entering ERROR"};
      orvane::ScalarPushInput<int32_t> delayPassed{this, "delayPassed", "", ""};
    } errorResetDelayTimer{this, "ErrorResetDelayTimer", ""};

    struct ChannelGroup : orvane::VariableGroup {
      ChannelGroup(orvane::EntityOwner* owner, const std::string& name, const std::string& description,
                   orvane::HierarchyModifier modifier);
      orvane::ArrayPushInput<int32_t> dacVoltage;
      orvane::ScalarOutput<orvane::Boolean> loadRelayControl{this, "loadRelayControl", "n.A.",
                                                             "Controls the load relay"};
      orvane::ScalarOutput<orvane::Boolean> actuatorSensorRelayControl{
          this, "actuatorSensorRelayControl", "n.A.", "Swap actuator and sensor piezo"};
      orvane::ScalarOutput<int32_t> controlTableMode{
          this, "controlTableMode", "n.A.",
          "Requested feed forward table mode: 0=OFF, 1=SYNC (synced to trigger)"};
      orvane::ScalarPushInput<int32_t> appliedTableMode{
          this, "appliedTableMode", "n.A.", "Feedback which feed forward table mode is active in the FW"};
      orvane::ScalarOutput<orvane::Boolean> enableFeedback{
          this, "enableFeedback", "n.A.", "Register that controls the firmware feedback loop"};
      orvane::VoidOutput hwProtectionReset{this, "hwProtectionReset", "", "aka BSP/WORD_PEM_CTL_RESET"};
    } channel{this, "channel", "", orvane::HierarchyModifier::oneUpAndHide};

    int32_t dacVoltageOffThreshold;

    orvane::ScalarOutput<std::string> errorMessage{this, "errorMessage", "n.A.",
                                                   "Reason why the error state was entered."};
    orvane::ScalarOutput<std::string> inputRejectedMessage{
        this, "inputRejectedMessage", "n.A.", "Information that user input has been discarded, and why."};

    orvane::ModifyHierarchy<orvane::ScalarPushInput<orvane::Boolean>> hwProtectionMonitor{
        this, "/Board/hwProtectionMonitor", "", "aka BSP/WORD_PEM_CTL_MON"};

    int32_t pendingReadyCount{0};
    int32_t hwMonitorIgnoreCount{0};
    bool errorResetDelayRunning{false};

   private:
    void handle(const orvane::TransferElementID& id);
    void applyMonitorRule();
    [[nodiscard]] ChannelState state() const { return static_cast<ChannelState>(currentState.value()); }
    void setState(ChannelState s);
    [[nodiscard]] bool isDacVoltageZero() const;
    void writeAppliedSetpoint(double value);
    void switchOn();
    void switchOff();
    void goToError(const std::string& message);
    void rejectRelaySwitching();
    void rejectRequest(const std::string& message);
    void tryFinishDisabling();

    int32_t maxHwMonitorIgnores{10};
  };

  StateMachine(orvane::EntityOwner* owner, const std::string& name, const std::string& description,
               orvane::HierarchyModifier modifier = orvane::HierarchyModifier::none,
               const orvane::TagSet& tags = {});
  ~StateMachine() override;

  Main main;
  DelayModule errorResetDelayTimer;
};

} // namespace quellor
