// Kept apart from the network code: it only reads the counters the queues keep.
#include "framework/Application.hpp"

#include <map>

namespace orvane {

LostValues Application::lostValues() const {
  LostValues out;
  if (!initialised_) return out;
  std::map<std::string, uint64_t> byVariable;
  for (auto* a : getAllAccessors()) {
    if (!a->isPushInput() || a->network() == nullptr) continue;
    const uint64_t lost = a->getLostCount();
    if (lost == 0) continue;
    byVariable[a->network()->path()] += lost;
  }
  for (const auto& e : externals_) {
    if (!e.lostCount) continue;
    if (const uint64_t lost = e.lostCount(); lost > 0) byVariable[e.path] += lost;
  }
  for (auto& [path, lost] : byVariable) {
    out.total += lost;
    if (lost > out.worstCount) {
      out.worstCount = lost;
      out.worstPath = path;
    }
  }
  return out;
}

} // namespace orvane
