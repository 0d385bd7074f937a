#include "telvik/bridge/PvTable.hpp"

#include "telvik/protocol/ChannelName.hpp"

#include <algorithm>

namespace telvik::bridge {

using protocol::NativeType;

NativeType ChannelTarget::nativeType() const {
  if (field == Field::value) return variable->nativeType();
  return asChars ? NativeType::LongString : NativeType::String;
}

std::uint32_t ChannelTarget::nativeCount() const {
  if (field == Field::value) return variable->nativeCount();
  if (!asChars) return 1;
  const auto& text = field == Field::description ? variable->info().description : variable->info().unit;
  return std::max<std::uint32_t>(static_cast<std::uint32_t>(protocol::maxStringSize),
                                 static_cast<std::uint32_t>(text.size() + 1));
}

UpdatePtr ChannelTarget::current() const {
  return field == Field::value ? variable->current() : variable->fieldUpdate(field, asChars);
}

std::string PvTable::pvName(const std::string& prefix, const std::string& path) {
  std::string rest = !path.empty() && path[0] == '/' ? path.substr(1) : path;
  for (auto& c : rest)
    if (c == '/') c = ':';
  return prefix + rest;
}

PvTable::PvTable(orvane::ProcessVariableRegistry& registry, const std::string& prefix) {
  for (auto& pv : registry.all()) {
    auto sv = std::make_unique<ServedVariable>(*pv, pvName(prefix, pv->info().path));
    if (byIndex_.size() <= pv->index()) byIndex_.resize(pv->index() + 1, nullptr);
    byIndex_[pv->index()] = sv.get();
    byName_.emplace(sv->name(), sv.get());
    vars_.push_back(std::move(sv));
  }
}

ServedVariable* PvTable::byPath(const std::string& path) const {
  for (auto& v : vars_)
    if (v->info().path == path) return v.get();
  return nullptr;
}

std::optional<ChannelTarget> PvTable::resolve(std::string_view channelName) const {
  auto parts = protocol::splitChannelName(channelName);
  if (!parts.valid || !parts.modifier.empty()) return std::nullopt;
  auto it = byName_.find(std::string(parts.base));
  if (it == byName_.end()) return std::nullopt;
  ChannelTarget t;
  t.variable = it->second;
  if (parts.field == "VAL") {
    t.field = Field::value;
    // "$" on the value only makes sense where the value already is text in a char array.
    if (parts.longString && t.variable->nativeType() != NativeType::LongString) return std::nullopt;
  } else if (parts.field == "DESC") {
    t.field = Field::description;
    t.asChars = parts.longString;
  } else if (parts.field == "EGU") {
    t.field = Field::units;
    t.asChars = parts.longString;
  } else {
    return std::nullopt;
  }
  return t;
}

} // namespace telvik::bridge
