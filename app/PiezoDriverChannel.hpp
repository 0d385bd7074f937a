#pragma once
// One piezo driver channel: builds the channel's modules and fixes their directories. It makes no
// connection itself; everything between its modules, the board and the operators follows from
// equal paths when the application publishes them.

#include "framework/Orvane.hpp"
#include "modules/FeedforwardCompensation.hpp"
#include "modules/InputRejectedCollector.hpp"
#include "modules/StateMachine.hpp"
#include "modules/SumLimiter.hpp"
#include "modules/VoltageStepLimiter.hpp"

#include <string>

namespace quellor {

class PiezoDriverChannel : public orvane::ModuleGroup {
 public:
  PiezoDriverChannel(orvane::EntityOwner* owner, const std::string& name, const std::string& description,
                     orvane::HierarchyModifier modifier = orvane::HierarchyModifier::none,
                     const orvane::TagSet& tags = {});
  ~PiezoDriverChannel() override;

  SumLimiter voltageSumLimiter;
  StateMachine stateMachine;
  VoltageStepLimiter dcVoltageStepLimiter;
  FeedforwardCompensation feedforwardCompensation;
  InputRejectedCollector inputRejectedCollector;
};

} // namespace quellor
