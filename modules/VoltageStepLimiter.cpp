#include "modules/VoltageStepLimiter.hpp"

#include <cmath>

namespace quellor {

VoltageStepLimiter::VoltageStepLimiter(orvane::EntityOwner* owner, const std::string& name,
                                       const std::string& description, orvane::HierarchyModifier modifier,
                                       const orvane::TagSet& tags)
    : orvane::ApplicationModule(owner, name, description, modifier, tags) {}

VoltageStepLimiter::~VoltageStepLimiter() = default;

double VoltageStepLimiter::usableStep(double configured) {
  return std::isnan(configured) ? 0.0 : std::fabs(configured);
}

void VoltageStepLimiter::mainLoop() {
  orvane::ReadAnyGroup group{dcVoltageSetpoint, trigger};
  // The configuration value holds for the whole run; the group never refreshes it.
  const double maxStep = usableStep(configuration.maxDCVoltageStep);
  auto& voltage = channel.dcVoltage;

  auto directionTowardsSetpoint = [&] { return voltage.value() > dcVoltageSetpoint.value() ? -1.0 : 1.0; };

  double direction = directionTowardsSetpoint();
  ready.write();
  voltage = 0.0;
  voltage.write();
  bool stepping = false;

  for (;;) {
    const auto id = group.readAny();
    if (id == dcVoltageSetpoint.getId()) {
      direction = directionTowardsSetpoint();
      // A superseded ramp ends here; the state machine counts one answer per setpoint.
      if (stepping) ready.write();
      stepping = true;
      continue;
    }
    if (!stepping) continue;
    const double step = direction * maxStep;
    if (std::fabs(voltage.value() - dcVoltageSetpoint.value()) > std::fabs(step)) {
      voltage = voltage.value() + step;
      voltage.write();
    } else {
      voltage = dcVoltageSetpoint.value();
      voltage.write();
      ready.write();
      stepping = false;
    }
  }
}

} // namespace quellor
