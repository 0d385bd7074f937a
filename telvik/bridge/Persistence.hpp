// Operator settings that outlive the process. The file is text, one variable per line:
//   path <TAB> type <TAB> count <TAB> element <TAB> element ...
// with backslash escapes for tab, newline, carriage return and backslash inside elements. The
// first line names the format, so that a file of some other kind is never taken for ours.
#pragma once

#include "framework/ControlSystem.hpp"

#include <boost/thread/mutex.hpp>

#include <functional>
#include <map>
#include <string>
#include <vector>

namespace telvik::bridge {

class SettingsStore {
 public:
  /// `file` empty: persistence is off and every call does nothing.
  explicit SettingsStore(std::string file) : file_(std::move(file)) {}

  /// Whether the variable's value is saved: fed by operators, and not the trigger.
  [[nodiscard]] static bool persists(const orvane::ProcessVariableInfo& info);

  struct RestoreReport {
    size_t restored = 0;
    std::vector<std::string> notes; // skipped entries, or the reason the file was set aside
    std::string setAsideAs;         // where a corrupt file went
  };

  /// Before the application runs: sets the saved values as initial values. A file that does not
  /// parse, or whose values do not convert, is renamed to "<file>.corrupt" and nothing of it is
  /// used. A missing file is a first start and no fault.
  RestoreReport restore(orvane::ProcessVariableRegistry& registry);

  /// Writes every persisting variable's current value: to "<file>.tmp", flushed, then renamed
  /// over the file, so a crash leaves either the old or the new file. Any thread.
  /// Returns false (with `error`) when writing failed.
  bool save(const orvane::ProcessVariableRegistry& registry, std::string& error);

  [[nodiscard]] const std::string& file() const { return file_; }
  [[nodiscard]] bool enabled() const { return !file_.empty(); }

  /// Text of the file for the given values (exposed for tests).
  static std::string
  format(const std::vector<std::pair<orvane::ProcessVariableInfo, orvane::AnyVector>>& values);
  struct Entry {
    std::string path;
    std::vector<std::string> elements;
  };
  /// Parses the text; std::runtime_error "<file>:<line>: <why>" on any fault.
  static std::vector<Entry> parse(const std::string& text, const std::string& fileName);

 private:
  std::string file_;
  boost::mutex saveMutex_;
  std::string lastWritten_;
};

} // namespace telvik::bridge
