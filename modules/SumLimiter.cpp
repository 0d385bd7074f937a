#include "modules/SumLimiter.hpp"

#include "modules/MessageNumbers.hpp"

#include <cmath>

namespace quellor {

SumLimiter::SumLimiter(orvane::EntityOwner* owner, const std::string& name, const std::string& description,
                       orvane::HierarchyModifier modifier, const orvane::TagSet& tags)
    : orvane::ApplicationModule(owner, name, description, modifier, tags) {}

SumLimiter::~SumLimiter() = default;

void SumLimiter::prepare() {}

bool SumLimiter::exceedsLimit(double ac, double dc, double limit) {
  return !(std::fabs(ac) + std::fabs(dc) <= limit);
}

void SumLimiter::mainLoop() {
  orvane::ReadAnyGroup group{acVoltageSetpoint, dcVoltageSetpoint};
  const double limit = configuration.maxDriveVoltage;
  auto& amplitude = feedforwardCompensation.amplitude;
  auto& limitedDc = stateMachine.dcVoltageSetpoint;

  auto terms = [&](double a, double d) {
    return " (abs(" + formatFixed(a) + ") + abs(" + formatFixed(d) + ") > " + formatFixed(limit) + ").";
  };

  const double a0 = acVoltageSetpoint;
  const double d0 = dcVoltageSetpoint;
  if (exceedsLimit(a0, d0, limit)) {
    inputRejectedMessage =
        "Error in initialisation: Sum of AC and DC voltage setpoins exeeds limit. Keeping them at 0" +
        terms(a0, d0);
    acVoltageSetpoint = 0.0;
    acVoltageSetpoint.write();
    dcVoltageSetpoint = 0.0;
    dcVoltageSetpoint.write();
  } else {
    amplitude = a0;
    limitedDc = d0;
  }
  writeAll();

  for (;;) {
    const auto id = group.readAny();
    if (id == acVoltageSetpoint.getId()) {
      const double a = acVoltageSetpoint;
      const double d = limitedDc;
      if (exceedsLimit(a, d, limit)) {
        inputRejectedMessage = "AC voltage setpoint " + formatFixed(a) + " rejected. Set back to " +
                               formatFixed(amplitude) + terms(a, d);
        acVoltageSetpoint = amplitude.value();
        acVoltageSetpoint.write();
        inputRejectedMessage.write();
      } else {
        amplitude = a;
        amplitude.write();
        inputRejectedMessage = std::string();
        inputRejectedMessage.write();
      }
    } else if (id == dcVoltageSetpoint.getId()) {
      const double a = amplitude;
      const double d = dcVoltageSetpoint;
      if (exceedsLimit(a, d, limit)) {
        inputRejectedMessage = "DC voltage setpoint " + formatFixed(d) + " rejected. Set back to " +
                               formatFixed(limitedDc) + terms(a, d);
        dcVoltageSetpoint = limitedDc.value();
        dcVoltageSetpoint.write();
        inputRejectedMessage.write();
      } else {
        limitedDc = d;
        limitedDc.write();
        inputRejectedMessage = std::string();
        inputRejectedMessage.write();
      }
    }
  }
}

} // namespace quellor
