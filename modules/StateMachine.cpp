#include "modules/StateMachine.hpp"

#include <algorithm>
#include <limits>
#include <stdexcept>

namespace quellor {

using orvane::Boolean;

StateMachine::StateMachine(orvane::EntityOwner* owner, const std::string& name,
                           const std::string& description, orvane::HierarchyModifier modifier,
                           const orvane::TagSet& tags)
    : orvane::ModuleGroup(owner, name, description, modifier, tags),
      main(this, "Main", "", orvane::HierarchyModifier::hideThis),
      errorResetDelayTimer(this, "ErrorResetDelayTimer",
                           "Delay the transition to DISABLED after detecting an error", "errorResetDelay") {}

StateMachine::~StateMachine() = default;

StateMachine::Main::ChannelGroup::ChannelGroup(orvane::EntityOwner* owner, const std::string& name,
                                               const std::string& description,
                                               orvane::HierarchyModifier modifier)
    : orvane::VariableGroup(owner, name, description, modifier),
      dacVoltage(this, "dacVoltage", "V", orvane::appConfig().get<uint32_t>("daqTableLength"),
                 "Output voltage of the DAC") {}

StateMachine::Main::Main(orvane::EntityOwner* owner, const std::string& name, const std::string& description,
                         orvane::HierarchyModifier modifier, const orvane::TagSet& tags)
    : orvane::ApplicationModule(owner, name, description, modifier, tags),
      dacVoltageOffThreshold(orvane::appConfig().get<int32_t>("StateMachine/dacVoltageOffThreshold")) {
  // Main counts one `ready` for every applied setpoint and one `delayPassed` for every start; one
  // value lost on these ways would leave a count wrong for ever and DISABLING without an end. The
  // reset event needs no such care: a reset merged with another is still a reset.
  for (orvane::AccessorBase* counted : std::initializer_list<orvane::AccessorBase*>{
           &dcVoltageStepLimiter.dcVoltageSetpoint, &dcVoltageStepLimiter.ready, &errorResetDelayTimer.start,
           &errorResetDelayTimer.delayPassed})
    counted->setQueuePolicy(orvane::QueuePolicy::keepAll);
  // Requests to act, not settings: a restart must never repeat them.
  for (orvane::AccessorBase* request :
       std::initializer_list<orvane::AccessorBase*>{&requestedState, &resetError, &emergencyOff})
    request->markAsCommand();
}

StateMachine::Main::~Main() = default;

void StateMachine::Main::prepare() {
  errorResetDelayTimer.errorResetDelay = orvane::appConfig().get<float>("StateMachine/errorResetDelay");
  errorResetDelayTimer.writeAll();
  channel.loadRelayControl = Boolean(false);
  channel.loadRelayControl.write();
  channel.controlTableMode = 0;
  channel.controlTableMode.write();
  channel.enableFeedback = Boolean(false);
  channel.enableFeedback.write();
  // The reset writer takes this first event as its input's initial value, not as a reset.
  channel.hwProtectionReset.write();
  // Not counted: the step limiter's own start answers with the initial `ready`.
  dcVoltageStepLimiter.dcVoltageSetpoint = 0.0;
  dcVoltageStepLimiter.writeAll();
  setState(ChannelState::DISABLED);
  errorMessage.write();
  inputRejectedMessage.write();
}

void StateMachine::Main::mainLoop() {
  const auto configured = orvane::appConfig().get<uint32_t>("maxHwMonitorIgnores", 10U);
  maxHwMonitorIgnores =
      static_cast<int32_t>(std::min<uint32_t>(configured, std::numeric_limits<int32_t>::max()));

  channel.actuatorSensorRelayControl = actuatorSensorRelayControl.value();
  channel.actuatorSensorRelayControl.write();

  orvane::ReadAnyGroup group{requestedState,
                             dcVoltageSetpoint,
                             enableFeedforward,
                             enableFeedback,
                             dcVoltageStepLimiter.ready,
                             emergencyOff,
                             resetError,
                             errorResetDelayTimer.delayPassed,
                             actuatorSensorRelayControl,
                             channel.appliedTableMode,
                             channel.dacVoltage,
                             hwProtectionMonitor.value};
  errorResetDelayRunning = false;
  for (;;) {
    const auto id = group.readAny();
    if (id.isValid()) handle(id);
  }
}

void StateMachine::Main::handle(const orvane::TransferElementID& id) {
  if (id == emergencyOff.getId()) {
    if (emergencyOff == 1 && state() != ChannelState::ERROR) goToError("EmergencyOff was pressed.");
    return;
  }
  if (id == hwProtectionMonitor->getId()) {
    applyMonitorRule();
    return;
  }

  switch (state()) {
  case ChannelState::DISABLED:
    if (id == requestedState.getId()) {
      if (requestedState != 1) return;
      if (isDacVoltageZero()) {
        switchOn();
        setState(ChannelState::ENABLED);
      } else {
        goToError("DAC not zero when enabling.");
      }
    } else if (id == dcVoltageStepLimiter.ready.getId()) {
      // DISABLED is only reached with every acknowledgement in, so this one answers nothing.
      throw std::logic_error("StateMachine: voltageRampReady is not allowed in DISABLED.");
    } else if (id == actuatorSensorRelayControl.getId()) {
      channel.actuatorSensorRelayControl = actuatorSensorRelayControl.value();
      channel.actuatorSensorRelayControl.write();
    }
    return;

  case ChannelState::ENABLED:
    if (id == requestedState.getId()) {
      if (requestedState != 0) return;
      switchOff();
      setState(ChannelState::DISABLING);
    } else if (id == dcVoltageSetpoint.getId()) {
      writeAppliedSetpoint(dcVoltageSetpoint);
    } else if (id == enableFeedforward.getId()) {
      channel.controlTableMode = enableFeedforward.value().value ? 1 : 0;
      channel.controlTableMode.write();
    } else if (id == enableFeedback.getId()) {
      channel.enableFeedback = enableFeedback.value();
      channel.enableFeedback.write();
    } else if (id == dcVoltageStepLimiter.ready.getId()) {
      --pendingReadyCount;
    } else if (id == actuatorSensorRelayControl.getId()) {
      rejectRelaySwitching();
    }
    return;

  case ChannelState::ERROR:
    if (id == resetError.getId()) {
      if (hwProtectionMonitor->value().value) {
        channel.hwProtectionReset.write();
        hwMonitorIgnoreCount = maxHwMonitorIgnores;
      }
      switchOff();
      setState(ChannelState::DISABLING);
      errorMessage = std::string();
      errorMessage.write();
    } else if (id == dcVoltageStepLimiter.ready.getId()) {
      --pendingReadyCount;
    } else if (id == errorResetDelayTimer.delayPassed.getId()) {
      errorResetDelayRunning = false;
    } else if (id == actuatorSensorRelayControl.getId()) {
      rejectRelaySwitching();
    } else if (id == requestedState.getId()) {
      rejectRequest("Requested state change rejected. Reset the ERROR state first.");
    }
    return;

  case ChannelState::DISABLING:
    if (id == dcVoltageStepLimiter.ready.getId()) {
      --pendingReadyCount;
      tryFinishDisabling();
    } else if (id == errorResetDelayTimer.delayPassed.getId()) {
      errorResetDelayRunning = false;
      tryFinishDisabling();
    } else if (id == actuatorSensorRelayControl.getId()) {
      rejectRelaySwitching();
    } else if (id == requestedState.getId()) {
      rejectRequest("Requested state change rejected. Still DISABLING.");
    } else if (id == channel.dacVoltage.getId() || id == channel.appliedTableMode.getId()) {
      tryFinishDisabling();
    }
    return;
  }
  // Any other state value: the update is ignored.
}

void StateMachine::Main::applyMonitorRule() {
  if (!hwProtectionMonitor->value().value) {
    hwMonitorIgnoreCount = 0;
    return;
  }
  if (hwMonitorIgnoreCount != 0) {
    --hwMonitorIgnoreCount;
    if (hwMonitorIgnoreCount != 0) return;
  }
  if (state() != ChannelState::ERROR) goToError("Hardware protection monitor reports error.");
}

void StateMachine::Main::setState(ChannelState s) {
  currentState = static_cast<int32_t>(s);
  currentState.write();
}

bool StateMachine::Main::isDacVoltageZero() const {
  // Widened, so that the most negative sample has a magnitude instead of overflowing.
  const int64_t limit = dacVoltageOffThreshold;
  return std::all_of(channel.dacVoltage.begin(), channel.dacVoltage.end(), [limit](int32_t v) {
    const int64_t w = v;
    return (w < 0 ? -w : w) <= limit;
  });
}

void StateMachine::Main::writeAppliedSetpoint(double value) {
  dcVoltageStepLimiter.dcVoltageSetpoint = value;
  dcVoltageStepLimiter.dcVoltageSetpoint.write();
  // Counted also when the write lost data: the limiter answers every setpoint it receives.
  ++pendingReadyCount;
}

void StateMachine::Main::switchOn() {
  channel.loadRelayControl = Boolean(true);
  channel.loadRelayControl.write();
  channel.controlTableMode = enableFeedforward.value().value ? 1 : 0;
  channel.controlTableMode.write();
  channel.enableFeedback = enableFeedback.value();
  channel.enableFeedback.write();
  writeAppliedSetpoint(dcVoltageSetpoint);
}

void StateMachine::Main::switchOff() {
  channel.controlTableMode = 0;
  channel.controlTableMode.write();
  channel.enableFeedback = Boolean(false);
  channel.enableFeedback.write();
  writeAppliedSetpoint(0.0);
}

void StateMachine::Main::goToError(const std::string& message) {
  channel.loadRelayControl = Boolean(false);
  channel.loadRelayControl.write();
  switchOff();
  // One delay per error episode: a second start while the timer runs would be refused by it.
  if (!errorResetDelayRunning) {
    errorResetDelayRunning = true;
    errorResetDelayTimer.start.write();
  }
  setState(ChannelState::ERROR);
  errorMessage = message;
  errorMessage.write();
}

void StateMachine::Main::rejectRelaySwitching() {
  inputRejectedMessage = std::string("Switching actuator and sensor rejected! It's on possible in DISABLED.");
  inputRejectedMessage.write();
  actuatorSensorRelayControl = channel.actuatorSensorRelayControl.value();
  actuatorSensorRelayControl.write();
}

void StateMachine::Main::rejectRequest(const std::string& message) {
  inputRejectedMessage = message;
  inputRejectedMessage.write();
}

void StateMachine::Main::tryFinishDisabling() {
  if (!isDacVoltageZero()) return;
  if (channel.appliedTableMode != 0) return;
  if (errorResetDelayRunning) return;
  if (pendingReadyCount != 0 || hwMonitorIgnoreCount != 0) return;
  channel.loadRelayControl = Boolean(false);
  channel.loadRelayControl.write();
  setState(ChannelState::DISABLED);
}

} // namespace quellor
