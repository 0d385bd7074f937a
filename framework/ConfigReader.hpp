#pragma once
// The application's configuration: one XML file read when the reader is built, typed lookup by
// name, and every value published as a constant below the reader's own directory.

#include "framework/Accessor.hpp"
#include "framework/Entity.hpp"

#include <deque>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace orvane {

/// A configuration file that cannot be used: the message names the file, the line and the key.
class ConfigError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

class ConfigReader : public Module {
 public:
  struct Entry {
    std::string name; ///< "StateMachine/errorResetDelay"
    ValueType type{ValueType::int32};
    bool isArray{false};
    AnyVector value;
    int line{0};
  };

  /// Reads and checks the file; throws ConfigError.
  ConfigReader(EntityOwner* owner, const std::string& name, const std::string& fileName,
               HierarchyModifier modifier = HierarchyModifier::none, const TagSet& tags = {});

  /// The scalar value of that name and exactly that type; std::logic_error when there is none.
  template <typename T> const T& get(const std::string& name) const {
    const Entry& e = find(name, valueTypeOf<T>, false);
    return std::get<std::vector<T>>(e.value)[0];
  }
  /// The array value of that name and element type; std::logic_error when there is none.
  template <typename T> const std::vector<T>& getArray(const std::string& name) const {
    const Entry& e = find(name, valueTypeOf<T>, true);
    return std::get<std::vector<T>>(e.value);
  }
  /// The scalar value of that name and exactly that type, or nullopt when the file has no value of
  /// that name: for values that may be left out. A value of another type is a mistake, not an
  /// absence: std::logic_error as from get().
  template <typename T> std::optional<T> getOptional(const std::string& name) const {
    if (tryFind(name) == nullptr) return std::nullopt;
    return get<T>(name);
  }
  /// The value, or the default when the name is missing or holds another type.
  template <typename T> T get(const std::string& name, const T& defaultValue) const {
    const Entry* e = tryFind(name);
    if (e == nullptr || e->isArray || e->type != valueTypeOf<T>) return defaultValue;
    return std::get<std::vector<T>>(e->value)[0];
  }

  [[nodiscard]] const std::string& fileName() const { return fileName_; }
  /// "FILE:LINE" of the value, for messages about it; "FILE" when there is no such value.
  [[nodiscard]] std::string whereIs(const std::string& name) const;
  [[nodiscard]] const std::vector<Entry>& entries() const { return entries_; }

  /// Writes every constant, so consumers hold it as their initial value.
  void prepare() override;

 private:
  [[nodiscard]] const Entry* tryFind(const std::string& name) const;
  [[nodiscard]] const Entry& find(const std::string& name, ValueType type, bool array) const;
  void publish();

  std::string fileName_;
  std::vector<Entry> entries_;
  std::deque<std::unique_ptr<VariableGroup>> groups_;
  std::vector<std::unique_ptr<AccessorBase>> constants_;
};

/// The configuration reader among the application's own members, for modules that fetch their
/// configuration values while they are built. Throws std::logic_error when the application has none.
ConfigReader& appConfig();

} // namespace orvane
