#include "app/PiezoDriverChannel.hpp"

namespace quellor {

PiezoDriverChannel::PiezoDriverChannel(orvane::EntityOwner* owner, const std::string& name,
                                       const std::string& description, orvane::HierarchyModifier modifier,
                                       const orvane::TagSet& tags)
    : orvane::ModuleGroup(owner, name, description, modifier, tags),
      voltageSumLimiter(this, "VoltageSumLimiter",
                        "Limit the sum of the AD and DC drive voltage components."),
      stateMachine(this, "StateMachine", "FIXME"),
      dcVoltageStepLimiter(this, "DcVoltageStepLimiter",
                           "Change the DC voltage in small stept towards the setpoint."),
      feedforwardCompensation(this, "FeedforwardCompensation", ""),
      inputRejectedCollector(this, "InputRejectedCollector", "") {}

PiezoDriverChannel::~PiezoDriverChannel() = default;

} // namespace quellor
