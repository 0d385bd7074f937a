// Operator settings that outlive the process, in the manner of autosave: a request file names the
// variables whose settings are kept, a settings file holds their values.
//
// Request file: one variable path pattern per line (the patterns of the metadata description,
// matchesPathPattern; the leading "/" may be left out), "#" starts a comment.
//
// Settings file: text, one variable per line:
//   path <TAB> type <TAB> count <TAB> element <TAB> element ...
// with backslash escapes for tab, newline, carriage return and backslash inside elements. The
// first line names the format, so that a file of some other kind is never taken for ours.
#pragma once

#include "framework/ControlSystem.hpp"

#include <boost/thread/mutex.hpp>

#include <functional>
#include <string>
#include <vector>

namespace telvik::bridge {

/// The request file: the variables whose operator settings are saved and restored.
class SettingsRequest {
 public:
  struct Pattern {
    std::string text; ///< with the leading "/"
    int line = 0;
  };

  /// A request for nothing.
  SettingsRequest() = default;
  /// Reads the file. A missing file requests nothing (found() is false); a file that cannot be read
  /// and a line that is no pattern are reported in problems(). Throws nothing.
  [[nodiscard]] static SettingsRequest read(const std::string& file);
  [[nodiscard]] static SettingsRequest parse(const std::string& text, const std::string& file);

  [[nodiscard]] const std::string& file() const { return file_; }
  [[nodiscard]] bool found() const { return found_; }
  [[nodiscard]] bool matches(const std::string& path) const;
  [[nodiscard]] const std::vector<Pattern>& patterns() const { return patterns_; }
  /// Each "<file>:<line>: <why>" or "<file>: <why>".
  [[nodiscard]] const std::vector<std::string>& problems() const { return problems_; }

 private:
  std::string file_;
  bool found_ = false;
  std::vector<Pattern> patterns_;
  std::vector<std::string> problems_;
};

class SettingsStore {
 public:
  /// `file` empty: persistence is off and every call does nothing.
  SettingsStore(std::string file, SettingsRequest request);

  /// Never saved or restored, whatever the request says: variables that operators do not feed,
  /// commands, state requests and events (ProcessVariableInfo::command), the trigger, and the
  /// registers of a board simulator (under /Sim/), whose fault injection must not survive a
  /// restart.
  [[nodiscard]] static bool neverSaved(const orvane::ProcessVariableInfo& info);
  /// Whether the variable's setting is saved and restored: requested, and not neverSaved().
  [[nodiscard]] bool persists(const orvane::ProcessVariableInfo& info) const;

  struct RestoreReport {
    size_t restored = 0;
    std::vector<std::string> notes; // about the request, skipped entries, faults with their line
    std::string setAsideAs;         // where a copy of a faulty file went
  };

  /// Once, before the application runs: sets the saved values of the requested variables as
  /// initial values. A faulty entry is reported with its line and left out, the rest is used, and
  /// a copy of the file is set aside as "<file>.corrupt-<time>" (the last few are kept). A file
  /// that is no settings file is set aside as a whole. A missing file is a first start. Then
  /// checks that the file can be written (problem()).
  RestoreReport restore(orvane::ProcessVariableRegistry& registry);

  /// Writes every persisting variable's current value: to "<file>.tmp", flushed, then renamed
  /// over the file, so a crash leaves either the old or the new file. Nothing is written without
  /// a request file. Any thread. Returns false (with `error`) when writing failed.
  bool save(const orvane::ProcessVariableRegistry& registry, std::string& error);

  /// Why operator settings are not being saved (no request file, a file that cannot be written,
  /// the last save failed), or empty while they are or persistence is off. Any thread.
  [[nodiscard]] std::string problem() const;
  /// Called with the new problem() each time it changes after this call, in the thread that
  /// changed it.
  void onProblemChange(std::function<void(const std::string&)> listener) { listener_ = std::move(listener); }

  [[nodiscard]] const std::string& file() const { return file_; }
  [[nodiscard]] bool enabled() const { return !file_.empty(); }
  [[nodiscard]] const SettingsRequest& request() const { return request_; }

  /// How many set-aside copies of faulty files are kept.
  static constexpr size_t keptCopies = 5;

  /// Text of the file for the given values (exposed for tests).
  static std::string
  format(const std::vector<std::pair<orvane::ProcessVariableInfo, orvane::AnyVector>>& values);
  struct Entry {
    std::string path;
    std::vector<std::string> elements;
    int line = 0;
  };
  struct Parsed {
    std::vector<Entry> entries;
    std::vector<std::string> problems; // "<file>:<line>: <why>"; those lines are left out
    bool wholeFileRejected = false;    // no settings file at all: nothing of it is used
  };
  /// Parses the text. Never throws.
  static Parsed parse(const std::string& text, const std::string& fileName);

 private:
  [[nodiscard]] bool saving() const { return enabled() && request_.found(); }
  void setProblem(const std::string& problem);
  /// Why the file cannot be written, or empty.
  [[nodiscard]] std::string checkWritable() const;
  /// Copies (or with `move` renames) the file aside; returns the new name, empty on failure.
  std::string setAside(bool move) const;

  std::string file_;
  SettingsRequest request_;
  boost::mutex saveMutex_;
  std::string lastWritten_;
  mutable boost::mutex problemMutex_;
  std::string problem_;
  std::function<void(const std::string&)> listener_;
};

} // namespace telvik::bridge
