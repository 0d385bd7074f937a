#pragma once
// What every module test needs: a configuration file of its own, and a journal of the values the
// application publishes, in the order they were published across all paths.

#include "framework/Orvane.hpp"
#include "framework/TestFacility.hpp"

#include <atomic>
#include <cstdio>
#include <fstream>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <unistd.h>
#include <vector>

namespace quellor::test {

using Overrides = std::map<std::string, std::string>;

/// A configuration file with the channel's keys; `overrides` replaces or adds values by key
/// ("type:value"; the value "-" drops the key).
class ConfigFile {
 public:
  explicit ConfigFile(const std::map<std::string, std::string>& overrides = {}) {
    static std::atomic<int> counter{0};
    path_ = "/tmp/quellor_modules_" + std::to_string(getpid()) + "_" + std::to_string(counter++) + ".xml";
    std::map<std::string, std::string> values{
        {"nChannels", "int32:1"},
        {"daqTableLength", "uint32:16"},
        {"maxHwMonitorIgnores", "uint32:10"},
        {"maxDriveVoltage", "double:10"},
        {"maxDCVoltageStep", "double:3"},
        {"StateMachine/dacVoltageOffThreshold", "int32:100"},
        {"StateMachine/errorResetDelay", "float:2"},
        {"FeedforwardCompensation/controlTableLength", "uint32:65536"},
        {"FeedforwardCompensation/controlTableSampleRate", "uint32:1000000"},
    };
    for (auto& [k, v] : overrides) {
      if (v == "-")
        values.erase(k);
      else
        values[k] = v;
    }
    std::map<std::string, std::map<std::string, std::string>> groups; // "" is the top level
    for (auto& [k, v] : values) {
      const auto slash = k.find('/');
      if (slash == std::string::npos)
        groups[""][k] = v;
      else
        groups[k.substr(0, slash)][k.substr(slash + 1)] = v;
    }
    std::ofstream f(path_);
    f << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<configuration>\n";
    for (auto& [group, entries] : groups) {
      if (!group.empty()) f << "<group name=\"" << group << "\">\n";
      for (auto& [k, v] : entries) {
        const auto colon = v.find(':');
        f << "  <value name=\"" << k << "\" type=\"" << v.substr(0, colon) << "\">" << v.substr(colon + 1)
          << "</value>\n";
      }
      if (!group.empty()) f << "</group>\n";
    }
    f << "</configuration>\n";
  }
  ~ConfigFile() { std::remove(path_.c_str()); }
  ConfigFile(const ConfigFile&) = delete;
  ConfigFile& operator=(const ConfigFile&) = delete;
  [[nodiscard]] const std::string& path() const { return path_; }

 private:
  std::string path_;
};

/// Records "name=value" for every value published on the watched paths, in publishing order.
/// `name` is the path's last component unless the watched name says otherwise.
class Journal {
 public:
  /// Attach after the application is initialised and before it runs.
  void watch(orvane::Application& app, const std::map<std::string, std::string>& pathToName) {
    app.processVariables().addUpdateHook([this, pathToName](const orvane::ProcessVariable& pv) {
      auto it = pathToName.find(pv.info().path);
      if (it == pathToName.end()) return;
      const auto snap = pv.get();
      std::string text = it->second;
      if (pv.info().type != orvane::ValueType::nothing && pv.info().nElements == 1)
        text += "=" + orvane::elementToString(snap.value, 0);
      std::lock_guard<std::mutex> g(mutex_);
      events_.push_back(text);
    });
  }
  std::vector<std::string> take() {
    std::lock_guard<std::mutex> g(mutex_);
    std::vector<std::string> out;
    out.swap(events_);
    return out;
  }

 private:
  std::mutex mutex_;
  std::vector<std::string> events_;
};

} // namespace quellor::test
