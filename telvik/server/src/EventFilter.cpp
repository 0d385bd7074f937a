#include "EventFilter.hpp"

#include <cmath>
#include <type_traits>

namespace telvik::server {

namespace p = telvik::protocol;

bool exceedsDeadband(const p::Value& a, const p::Value& b, double deadband) {
  if (a.index() != b.index()) return true;
  return std::visit(
      [&](const auto& x) -> bool {
        using T = std::decay_t<decltype(x)>;
        const auto& y = std::get<T>(b);
        if constexpr (std::is_same_v<T, p::LongString> || std::is_same_v<T, std::vector<std::string>>) {
          return x != y;
        } else {
          if (x.size() != y.size()) return true;
          for (std::size_t i = 0; i < x.size(); ++i) {
            const auto u = static_cast<double>(x[i]);
            const auto v = static_cast<double>(y[i]);
            if (u == v || (std::isnan(u) && std::isnan(v))) continue;
            // Also true when either is NaN or infinite: such a move exceeds every deadband.
            if (!(std::abs(u - v) <= deadband)) return true;
          }
          return false;
        }
      },
      a);
}

bool sameProperties(const p::Metadata& a, const p::Metadata& b) {
  return a.units == b.units && a.precision == b.precision && a.upperDisplayLimit == b.upperDisplayLimit &&
         a.lowerDisplayLimit == b.lowerDisplayLimit && a.upperAlarmLimit == b.upperAlarmLimit &&
         a.upperWarningLimit == b.upperWarningLimit && a.lowerWarningLimit == b.lowerWarningLimit &&
         a.lowerAlarmLimit == b.lowerAlarmLimit && a.upperControlLimit == b.upperControlLimit &&
         a.lowerControlLimit == b.lowerControlLimit && a.enumStrings == b.enumStrings;
}

std::uint16_t PostedState::post(const bridge::UpdatePtr& u, const bridge::VariableMetadata& m, bool event) {
  std::uint16_t bits = 0;
  auto moved = [&](bridge::UpdatePtr& last, double deadband) {
    if (!event && last && !exceedsDeadband(u->value, last->value, deadband)) return false;
    last = u;
    return true;
  };
  if (moved(monitored_, m.deadband)) bits |= static_cast<std::uint16_t>(p::EventMask::Value);
  if (moved(archived_, m.archiveDeadband)) bits |= static_cast<std::uint16_t>(p::EventMask::Log);
  if (!alarm_ || alarm_->metadata.severity != u->metadata.severity ||
      alarm_->metadata.status != u->metadata.status) {
    bits |= alarmEventBit;
    alarm_ = u;
  }
  if (!properties_ || !sameProperties(properties_->metadata, u->metadata)) {
    if (properties_) bits |= propertyEventBit;
    properties_ = u;
  }
  return bits;
}

void PostedState::baseline(const bridge::UpdatePtr& u) {
  monitored_ = archived_ = alarm_ = properties_ = u;
}

std::uint16_t fieldEvents(bridge::Field f, const bridge::UpdatePtr& u, bridge::UpdatePtr& last) {
  if (last && !exceedsDeadband(u->value, last->value, 0)) return 0;
  last = u;
  const bool alarmField = f == bridge::Field::severity || f == bridge::Field::status;
  return alarmField ? static_cast<std::uint16_t>(valueEventBits | alarmEventBit) : valueEventBits;
}

} // namespace telvik::server
