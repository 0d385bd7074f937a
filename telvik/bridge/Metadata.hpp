// The record conventions of the served variables: named states, alarm severities, display and
// control limits, precision, record type and monitor deadbands, read from a metadata description
// that the application or the deployment provides. A variable's own unit and description are
// never changed here; they stay the application's.
//
// The description is text, blocks of attributes under path patterns:
//
//   # comment
//   [/Channel*/StateMachine/currentState]
//   states   = DISABLED, ENABLED, ERROR, DISABLING
//   severity = ERROR: MAJOR, DISABLING: MINOR
//
// A pattern matches whole paths: '*' stands for any characters within one directory level, '**'
// for any number of levels, '?' for one character. A block may list several patterns. Blocks apply
// in file order; a later block overrides an earlier one attribute by attribute.
#pragma once

#include "framework/ControlSystem.hpp"
#include "telvik/protocol/Constants.hpp"

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace telvik::bridge {

// A fault of the description or of its fit to the variables; the text starts with "file:line: ".
class MetadataError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// One end of a limit pair: a number, or the current value of another variable (negated when
// written "-/path"), so that a limit follows the configuration.
struct LimitBound {
  double number = 0;
  const orvane::ProcessVariable* variable = nullptr;
  bool negate = false;
  [[nodiscard]] double value() const;
};

struct LimitPair {
  LimitBound low, high;
};

// What the description says about one variable, checked against its type.
struct VariableMetadata {
  std::string recordType;                             // empty: derived from type and direction
  std::vector<std::string> states;                    // non-empty: served as DBR_ENUM with these names
  std::vector<protocol::AlarmSeverity> stateSeverity; // by state index (empty: none)
  protocol::AlarmSeverity nonEmptySeverity = protocol::AlarmSeverity::NoAlarm; // text variables
  protocol::AlarmStatus alarmStatus = protocol::AlarmStatus::State;
  std::optional<std::int16_t> precision;
  std::optional<LimitPair> display; // LOPR, HOPR
  std::optional<LimitPair> drive;   // DRVL, DRVH
  double deadband = 0;              // DBE_VALUE: posted when the value moves by more than this
  double archiveDeadband = 0;       // DBE_LOG likewise
  // Variables whose value a limit refers to: a change of theirs is a property change of this one.
  std::vector<const orvane::ProcessVariable*> references;
};

class MetadataRules {
 public:
  /// No rules: every variable is served plainly.
  MetadataRules() = default;

  /// Parses a description; `origin` names it in messages. MetadataError on any syntax fault.
  static MetadataRules parse(std::string_view text, const std::string& origin);
  /// Reads and parses a file; MetadataError naming the file when it cannot be read.
  static MetadataRules fromFile(const std::string& file);

  /// The attributes of every matching block, in order, checked against the variable's type and
  /// with the referenced variables looked up in `registry`. MetadataError naming file and line
  /// of the offending attribute.
  [[nodiscard]] VariableMetadata resolve(const orvane::ProcessVariableInfo& info,
                                         const orvane::ProcessVariableRegistry& registry) const;

  /// "file:line: [pattern] matches no variable" for every block that matched none of `registry`,
  /// since such a block is most likely a misspelt path.
  [[nodiscard]] std::vector<std::string> unmatched(const orvane::ProcessVariableRegistry& registry) const;

  [[nodiscard]] const std::string& origin() const { return origin_; }
  [[nodiscard]] std::size_t blockCount() const { return blocks_.size(); }

  struct Attribute {
    std::string key, value;
    std::size_t line = 0;
  };
  struct Block {
    std::vector<std::string> patterns;
    std::vector<Attribute> attributes;
    std::size_t line = 0;
  };

 private:
  std::string origin_;
  std::vector<Block> blocks_;
};

/// Whether `path` matches `pattern` ('*' within a level, '**' across levels, '?' one character).
[[nodiscard]] bool matchesPathPattern(std::string_view pattern, std::string_view path);

/// The description a server uses: `file` when one is given ("none": no conventions at all), else
/// `defaultFile` when it exists, else the program's built-in one, else none. MetadataError when
/// the one chosen cannot be read or parsed.
[[nodiscard]] MetadataRules loadMetadata(const std::string& file, const std::string& defaultFile);

/// A description built into the program, used when the runtime directory has none. The
/// application registers it with a static object of this type.
struct BuiltinMetadata {
  BuiltinMetadata(const char* text, const char* origin);
};
/// The registered built-in description, if any: {text, origin}.
[[nodiscard]] std::optional<std::pair<std::string, std::string>> builtinMetadata();

} // namespace telvik::bridge
