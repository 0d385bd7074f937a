#pragma once
// The board has one protection reset word for all channels; every channel's state machine may ask
// for a reset on its own, so the requests are funnelled into single writes here.

#include "framework/Orvane.hpp"

#include <cstdint>
#include <deque>
#include <string>

namespace quellor {

class MultiChannelResetWriter : public orvane::ApplicationModule {
 public:
  MultiChannelResetWriter(orvane::EntityOwner* owner, const std::string& name, const std::string& description,
                          uint64_t numberOfChannels,
                          orvane::HierarchyModifier modifier = orvane::HierarchyModifier::none);
  ~MultiChannelResetWriter() override;

  // A deque, because the framework entities register their own address and must never move.
  std::deque<orvane::ModifyHierarchy<orvane::VoidInput>> channelResets;
  orvane::ModifyHierarchy<orvane::VoidOutput> boardReset;

  void mainLoop() override;
};

} // namespace quellor
