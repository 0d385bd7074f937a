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
  [[nodiscard]] UpdatePtr current() const;
};

class PvTable {
 public:
  /// Every variable of the registry, named prefix + path with ":" for "/".
  PvTable(orvane::ProcessVariableRegistry& registry, const std::string& prefix);

  [[nodiscard]] static std::string pvName(const std::string& prefix, const std::string& path);

  /// "NAME", "NAME.VAL", "NAME.DESC", "NAME.EGU", and "$" forms of the text ones; nullopt otherwise.
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
