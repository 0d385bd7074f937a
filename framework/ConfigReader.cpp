#include "framework/ConfigReader.hpp"

#include "framework/Application.hpp"
#include "framework/device/Numbers.hpp"
#include "framework/device/TextFile.hpp"

#include <pugixml.hpp>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <limits>
#include <map>
#include <sstream>

namespace orvane {

namespace {

int lineOf(const std::string& text, ptrdiff_t offset) {
  if (offset < 0) return 0;
  auto end = text.begin() + std::min<ptrdiff_t>(offset, static_cast<ptrdiff_t>(text.size()));
  return 1 + static_cast<int>(std::count(text.begin(), end, '\n'));
}

std::string trim(const std::string& s) {
  auto b = s.find_first_not_of(" \t\r\n");
  if (b == std::string::npos) return {};
  auto e = s.find_last_not_of(" \t\r\n");
  return s.substr(b, e - b + 1);
}

// A sign of either kind, decimal or 0x-hexadecimal, as a person writes a value by hand.
constexpr device::NumberSyntax valueSyntax{.plusSign = true, .hexadecimal = true};

template <typename T> bool parseInteger(const std::string& text, T& out) {
  const auto v = device::parseInteger<T>(text, valueSyntax);
  if (!v) return false;
  out = *v;
  return true;
}

template <typename T> bool parseFloat(const std::string& text, T& out) {
  // A value too small for the type reads as the nearest one it has; one too large is a mistake.
  const auto parsed = device::parseFloating(text, valueSyntax);
  if (!parsed || (parsed->outOfRange && std::isinf(parsed->value))) return false;
  const double d = parsed->value;
  if constexpr (std::is_same_v<T, float>) {
    if (std::isfinite(d) && std::fabs(d) > std::numeric_limits<float>::max()) return false;
  }
  out = static_cast<T>(d);
  return true;
}

/// One element of the given type from text; false when it does not parse or does not fit.
bool parseElement(ValueType type, const std::string& text, AnyVector& into) {
  return dispatchValueType(type, [&](auto tag) -> bool {
    using T = decltype(tag);
    auto& vec = std::get<std::vector<T>>(into);
    if constexpr (std::is_same_v<T, std::string>) {
      vec.push_back(text);
      return true;
    } else if constexpr (std::is_same_v<T, Boolean>) {
      if (text == "true" || text == "1")
        vec.push_back(Boolean(true));
      else if (text == "false" || text == "0")
        vec.push_back(Boolean(false));
      else
        return false;
      return true;
    } else if constexpr (std::is_floating_point_v<T>) {
      T v{};
      if (!parseFloat(text, v)) return false;
      vec.push_back(v);
      return true;
    } else if constexpr (std::is_same_v<T, Void>) {
      return false;
    } else {
      T v{};
      if (!parseInteger(text, v)) return false;
      vec.push_back(v);
      return true;
    }
  });
}

} // namespace

ConfigReader::ConfigReader(EntityOwner* owner, const std::string& name, const std::string& fileName,
                           HierarchyModifier modifier, const TagSet& tags)
    : Module(owner, name, "Configuration values from " + fileName, modifier, tags), fileName_(fileName) {
  std::string reason;
  const auto content = device::readTextFile(fileName_, reason);
  if (!content) throw ConfigError("Cannot read configuration file '" + fileName_ + "': " + reason + ".");
  const std::string& text = *content;

  pugi::xml_document doc;
  auto result = doc.load_buffer(text.data(), text.size());
  if (!result)
    throw ConfigError(fileName_ + ":" + std::to_string(lineOf(text, result.offset)) +
                      ": malformed XML: " + result.description() + ".");
  auto root = doc.child("configuration");
  if (!root) throw ConfigError(fileName_ + ": the root element must be <configuration>.");

  std::map<std::string, int> seen;
  std::function<void(const pugi::xml_node&, const std::string&)> walk = [&](const pugi::xml_node& parent,
                                                                            const std::string& prefix) {
    for (auto node : parent.children()) {
      if (node.type() != pugi::node_element) continue;
      const int line = lineOf(text, node.offset_debug());
      const std::string where = fileName_ + ":" + std::to_string(line) + ": ";
      const std::string element = node.name();
      const std::string keyName = node.attribute("name").as_string();
      if (keyName.empty()) throw ConfigError(where + "<" + element + "> has no name attribute.");
      if (keyName.find('/') != std::string::npos)
        throw ConfigError(where + "key '" + keyName + "': names must not contain '/', use <group>.");
      const std::string key = prefix.empty() ? keyName : prefix + "/" + keyName;
      if (element == "group") {
        walk(node, key);
        continue;
      }
      if (element != "value" && element != "array")
        throw ConfigError(where + "key '" + key + "': unknown element <" + element +
                          "> (expected <value>, <array> or <group>).");
      if (auto it = seen.find(key); it != seen.end())
        throw ConfigError(where + "duplicate key '" + key + "' (first defined at line " +
                          std::to_string(it->second) + ").");
      const std::string typeName = node.attribute("type").as_string();
      auto type = parseConfigTypeName(typeName);
      if (!type)
        throw ConfigError(
            where + "key '" + key + "': unknown type '" + typeName +
            "' (int8 int16 int32 int64 uint8 uint16 uint32 uint64 float double boolean string).");
      Entry e;
      e.name = key;
      e.type = *type;
      e.isArray = element == "array";
      e.line = line;
      e.value = makeAnyVector(*type, 0);
      const std::string valueText = node.child_value();
      if (!e.isArray) {
        const std::string t = *type == ValueType::string ? valueText : trim(valueText);
        if (!parseElement(*type, t, e.value))
          throw ConfigError(where + "key '" + key + "': '" + t + "' is not a valid " + typeName + ".");
      } else {
        std::istringstream words(valueText);
        std::string w;
        while (words >> w)
          if (!parseElement(*type, w, e.value))
            throw ConfigError(where + "key '" + key + "': element '" + w + "' is not a valid " + typeName +
                              ".");
        if (sizeOf(e.value) == 0) throw ConfigError(where + "key '" + key + "': the array is empty.");
      }
      seen[key] = line;
      entries_.push_back(std::move(e));
    }
  };
  walk(root, "");
  publish();
}

std::string ConfigReader::whereIs(const std::string& name) const {
  const Entry* e = tryFind(name);
  return e == nullptr ? fileName_ : fileName_ + ":" + std::to_string(e->line);
}

const ConfigReader::Entry* ConfigReader::tryFind(const std::string& name) const {
  for (auto& e : entries_)
    if (e.name == name) return &e;
  return nullptr;
}

const ConfigReader::Entry& ConfigReader::find(const std::string& name, ValueType type, bool array) const {
  const Entry* e = tryFind(name);
  const std::string wanted = std::string(array ? "an array of " : "a ") + valueTypeName(type);
  if (e == nullptr)
    throw std::logic_error("ConfigReader: no configuration value '" + name + "' (" + wanted + ") in file '" +
                           fileName_ + "'.");
  if (e->type != type || e->isArray != array)
    throw std::logic_error("ConfigReader: configuration value '" + name + "' in file '" + fileName_ +
                           "' (line " + std::to_string(e->line) + ") is " +
                           (e->isArray ? "an array of " : "a ") + valueTypeName(e->type) + ", not " + wanted +
                           ".");
  return *e;
}

void ConfigReader::publish() {
  std::map<std::string, EntityOwner*> dirs;
  for (auto& e : entries_) {
    EntityOwner* owner = this;
    std::string dir;
    std::string rest = e.name;
    for (auto pos = rest.find('/'); pos != std::string::npos; pos = rest.find('/')) {
      const std::string part = rest.substr(0, pos);
      rest = rest.substr(pos + 1);
      dir = dir.empty() ? part : dir + "/" + part;
      auto it = dirs.find(dir);
      if (it == dirs.end()) {
        groups_.push_back(std::make_unique<VariableGroup>(owner, part, ""));
        it = dirs.emplace(dir, groups_.back().get()).first;
      }
      owner = it->second;
    }
    const size_t n = sizeOf(e.value);
    dispatchValueType(e.type, [&](auto tag) {
      using T = decltype(tag);
      if constexpr (!std::is_same_v<T, Void>) {
        if (e.isArray)
          constants_.push_back(std::make_unique<ArrayOutput<T>>(owner, rest, "", n, ""));
        else
          constants_.push_back(std::make_unique<ScalarOutput<T>>(owner, rest, "", ""));
      }
    });
  }
}

void ConfigReader::prepare() {
  for (size_t i = 0; i < entries_.size(); ++i) {
    constants_[i]->assignAny(entries_[i].value);
    constants_[i]->write();
  }
}

ConfigReader& appConfig() {
  auto& app = Application::getInstance();
  for (auto* e : app.getSubmodules())
    if (auto* reader = dynamic_cast<ConfigReader*>(e)) return *reader;
  throw std::logic_error("Application '" + app.getName() +
                         "' has no configuration reader; it must be built before the modules that read it.");
}

} // namespace orvane
