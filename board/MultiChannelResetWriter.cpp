#include "board/MultiChannelResetWriter.hpp"

#include "framework/Log.hpp"

#include <cstdio>

namespace quellor {

MultiChannelResetWriter::MultiChannelResetWriter(orvane::EntityOwner* owner, const std::string& name,
                                                 const std::string& description, uint64_t numberOfChannels,
                                                 orvane::HierarchyModifier modifier)
    : orvane::ApplicationModule(owner, name, description, modifier),
      boardReset(this, "/Board/hwProtectionReset", "", "aka BSP/WORD_PEM_CTL_RESET") {
  for (uint64_t i = 0; i < numberOfChannels; ++i) {
    char buffer[48];
    std::snprintf(buffer, sizeof buffer, "/Channel%lu/hwProtectionReset", static_cast<unsigned long>(i));
    channelResets.emplace_back(this, buffer, "", "");
  }
}

MultiChannelResetWriter::~MultiChannelResetWriter() = default;

void MultiChannelResetWriter::mainLoop() {
  if (channelResets.empty()) {
    // Without channels nothing can ask for a reset; waiting on an empty group would be refused by
    // the framework and stop the whole server, which is worse than an idle module.
    orvane::log::warning(getQualifiedName(),
                         "no channels configured, so no protection reset will be written");
    return;
  }
  auto group = readAnyGroup();
  while (true) {
    group.readAny();
    boardReset->write();
  }
}

} // namespace quellor
