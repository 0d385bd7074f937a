// The channels a server offers: every variable of the registry under its PV name, and what a
// channel name (with its field and "$" modifier) resolves to.
#pragma once

#include "telvik/bridge/ServedVariable.hpp"

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace telvik::bridge {

// What a channel name resolves to.
struct ChannelTarget {
  ServedVariable* variable = nullptr;
  Field field = Field::value;
  bool asChars = false; // "$": a text field served as char array

  [[nodiscard]] protocol::NativeType nativeType() const;
  [[nodiscard]] std::uint32_t nativeCount() const;
  [[nodiscard]] bool writable() const { return field == Field::value && variable->writable(); }
  [[nodiscard]] UpdatePtr current() const { return derive(variable->current()); }
  /// What this channel shows of an update of its variable's value.
  [[nodiscard]] UpdatePtr derive(const UpdatePtr& value) const {
    return variable->derive(value, field, asChars);
  }
  /// A client's write; only the value (and its "$" view) can be written.
  [[nodiscard]] protocol::EcaStatus write(std::uint16_t dataType, std::uint32_t count,
                                          protocol::ByteView payload) const;
};

class PvTable {
 public:
  /// Every variable of the registry, named prefix + path with ":" for "/", with its record
  /// conventions from `rules` (MetadataError when they do not fit a variable).
  PvTable(orvane::ProcessVariableRegistry& registry, const std::string& prefix,
          const MetadataRules& rules = {});

  [[nodiscard]] static std::string pvName(const std::string& prefix, const std::string& path);

  /// "NAME", "NAME.VAL" and the record-like fields (Field), "$" forms of the text ones (and of a
  /// text variable's value); nullopt otherwise.
  [[nodiscard]] std::optional<ChannelTarget> resolve(std::string_view channelName) const;

  [[nodiscard]] const std::vector<std::unique_ptr<ServedVariable>>& all() const { return vars_; }
  /// By the process variable's registry index.
  [[nodiscard]] ServedVariable* byIndex(size_t index) const {
    return index < byIndex_.size() ? byIndex_[index] : nullptr;
  }
  [[nodiscard]] ServedVariable* byPath(const std::string& path) const;

 private:
  std::vector<std::unique_ptr<ServedVariable>> vars_;
  std::vector<ServedVariable*> byIndex_;
  std::unordered_map<std::string, ServedVariable*> byName_;
};

} // namespace telvik::bridge
