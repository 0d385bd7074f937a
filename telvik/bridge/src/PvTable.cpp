#include "telvik/bridge/PvTable.hpp"

#include "telvik/protocol/ChannelName.hpp"

#include <algorithm>

namespace telvik::bridge {

using protocol::NativeType;

namespace {

const std::string& fieldText(const ChannelTarget& t) {
  switch (t.field) {
  case Field::description:
    return t.variable->info().description;
  case Field::units:
    return t.variable->info().unit;
  case Field::name:
    return t.variable->name();
  default:
    return t.variable->recordType();
  }
}

} // namespace

NativeType ChannelTarget::nativeType() const {
  if (asChars) return NativeType::LongString;
  switch (field) {
  case Field::value:
    return variable->nativeType();
  case Field::severity:
  case Field::status:
    return NativeType::Enum;
  case Field::precision:
    return NativeType::Short;
  case Field::highDisplay:
  case Field::lowDisplay:
  case Field::highDrive:
  case Field::lowDrive:
    return NativeType::Double;
  default:
    return NativeType::String;
  }
}

std::uint32_t ChannelTarget::nativeCount() const {
  if (field == Field::value) return asChars ? longStringCapacity : variable->nativeCount();
  if (!asChars) return 1;
  return std::max<std::uint32_t>(static_cast<std::uint32_t>(protocol::maxStringSize),
                                 static_cast<std::uint32_t>(fieldText(*this).size() + 1));
}

protocol::EcaStatus ChannelTarget::write(std::uint16_t dataType, std::uint32_t count,
                                         protocol::ByteView payload) const {
  if (field != Field::value) return protocol::EcaStatus::NoWtAccess;
  return variable->write(dataType, count, payload, asChars);
}

std::string PvTable::pvName(const std::string& prefix, const std::string& path) {
  std::string rest = !path.empty() && path[0] == '/' ? path.substr(1) : path;
  for (auto& c : rest)
    if (c == '/') c = ':';
  return prefix + rest;
}

PvTable::PvTable(orvane::ProcessVariableRegistry& registry, const std::string& prefix,
                 const MetadataRules& rules) {
  for (auto& pv : registry.all()) {
    auto sv = std::make_unique<ServedVariable>(*pv, pvName(prefix, pv->info().path),
                                               rules.resolve(pv->info(), registry));
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
  const auto field = fieldNamed(parts.field);
  if (!field) return std::nullopt;
  t.field = *field;
  t.asChars = parts.longString;
  // "$" only makes sense on text; the number fields only on numbers.
  if (t.asChars && !(isTextField(t.field) || (t.field == Field::value && t.variable->isText())))
    return std::nullopt;
  if (isNumberField(t.field) && !t.variable->hasNumberFields()) return std::nullopt;
  return t;
}

} // namespace telvik::bridge
