#include "telvik/bridge/Metadata.hpp"

#include "framework/device/TextFile.hpp"
#include "telvik/protocol/Convert.hpp"

#include <algorithm>
#include <cmath>
#include <fstream>
#include <map>
#include <sstream>

namespace telvik::bridge {

namespace p = telvik::protocol;
using orvane::ValueType;

namespace {

constexpr std::string_view blanks = " \t\r\n";
// The word a text variable's severity is given under.
constexpr std::string_view nonEmptyKey = "non-empty";

std::string_view trim(std::string_view s) {
  const auto first = s.find_first_not_of(blanks);
  if (first == std::string_view::npos) return {};
  return s.substr(first, s.find_last_not_of(blanks) - first + 1);
}

std::vector<std::string> splitList(std::string_view s) {
  std::vector<std::string> out;
  for (;;) {
    const auto comma = s.find(',');
    out.emplace_back(trim(s.substr(0, comma)));
    if (comma == std::string_view::npos) break;
    s.remove_prefix(comma + 1);
  }
  return out;
}

std::vector<std::string> words(std::string_view s) {
  std::istringstream in{std::string(s)};
  std::vector<std::string> out;
  std::string w;
  while (in >> w)
    out.push_back(w);
  return out;
}

struct Fault {
  std::string message;
};

std::optional<p::AlarmSeverity> severityNamed(std::string_view s) {
  for (std::size_t i = 0; i < p::alarmSeverityCount; ++i)
    if (p::name(static_cast<p::AlarmSeverity>(i)) == s) return static_cast<p::AlarmSeverity>(i);
  return std::nullopt;
}

p::AlarmStatus statusNamed(std::string_view s) {
  for (std::size_t i = 0; i < p::alarmStatusCount; ++i)
    if (p::name(static_cast<p::AlarmStatus>(i)) == s) return static_cast<p::AlarmStatus>(i);
  throw Fault{"'" + std::string(s) +
              "' is no alarm status (NO_ALARM, READ, WRITE, ..., STATE, COS, COMM, ...)"};
}

std::vector<std::string> parseStates(std::string_view value) {
  auto states = splitList(value);
  if (states.size() > p::maxEnumStates)
    throw Fault{"at most " + std::to_string(p::maxEnumStates) + " states reach Channel Access clients"};
  for (std::size_t i = 0; i < states.size(); ++i) {
    const auto& s = states[i];
    if (s.empty()) throw Fault{"empty state name (states are separated by commas)"};
    if (s.size() >= p::maxEnumStringSize)
      throw Fault{"state '" + s + "' is longer than " + std::to_string(p::maxEnumStringSize - 1) +
                  " characters"};
    for (std::size_t j = 0; j < i; ++j)
      if (states[j] == s) throw Fault{"state '" + s + "' is named twice"};
  }
  return states;
}

// "STATE: SEVERITY, ..." in the order given.
std::vector<std::pair<std::string, p::AlarmSeverity>> parseSeverities(std::string_view value) {
  std::vector<std::pair<std::string, p::AlarmSeverity>> out;
  for (const auto& item : splitList(value)) {
    const auto colon = item.rfind(':');
    if (colon == std::string::npos) throw Fault{"'" + item + "' is not 'state: SEVERITY'"};
    std::string state(trim(std::string_view(item).substr(0, colon)));
    const std::string sev(trim(std::string_view(item).substr(colon + 1)));
    const auto s = severityNamed(sev);
    if (!s) throw Fault{"'" + sev + "' is no severity (NO_ALARM, MINOR, MAJOR, INVALID)"};
    if (state.empty()) throw Fault{"'" + item + "' names no state"};
    out.emplace_back(std::move(state), *s);
  }
  return out;
}

double parseNumberOrFail(std::string_view value, const char* what) {
  const auto v = p::parseNumber(value);
  if (!v || !std::isfinite(*v))
    throw Fault{std::string(what) + " '" + std::string(value) + "' is not a number"};
  return *v;
}

struct BoundText {
  double number = 0;
  std::string path;
  bool negate = false;
};

BoundText parseBound(std::string_view s) {
  s = trim(s);
  BoundText b;
  if (s.size() > 1 && s[0] == '-' && s[1] == '/') {
    b.negate = true;
    s.remove_prefix(1);
  }
  if (!s.empty() && s[0] == '/') {
    b.path = std::string(s);
    return b;
  }
  b.number = parseNumberOrFail(s, "limit");
  return b;
}

std::pair<BoundText, BoundText> parseLimits(std::string_view value) {
  const auto parts = splitList(value);
  if (parts.size() != 2) throw Fault{"limits are 'low, high'"};
  return {parseBound(parts[0]), parseBound(parts[1])};
}

std::int16_t parsePrecision(std::string_view value) {
  const double d = parseNumberOrFail(value, "precision");
  if (d != static_cast<int>(d) || d < 0 || d > 17) throw Fault{"precision is a whole number from 0 to 17"};
  return static_cast<std::int16_t>(d);
}

double parseDeadband(std::string_view value) {
  const double d = parseNumberOrFail(value, "deadband");
  if (d < 0) throw Fault{"a deadband is not negative"};
  return d;
}

// Checks the value's syntax as soon as the file is read, so that a typo fails at start whatever
// the variables are.
void checkSyntax(const MetadataRules::Attribute& a) {
  if (a.key == "record") {
    const auto w = words(a.value);
    if (w.size() != 1 || w[0].size() >= p::maxStringSize)
      throw Fault{"record is one word, a record type name"};
  } else if (a.key == "states") {
    (void)parseStates(a.value);
  } else if (a.key == "severity") {
    (void)parseSeverities(a.value);
  } else if (a.key == "status") {
    (void)statusNamed(trim(a.value));
  } else if (a.key == "precision") {
    (void)parsePrecision(a.value);
  } else if (a.key == "display" || a.key == "drive") {
    (void)parseLimits(a.value);
  } else if (a.key == "deadband" || a.key == "archiveDeadband") {
    (void)parseDeadband(a.value);
  } else {
    throw Fault{"unknown attribute '" + a.key +
                "' (record, states, severity, status, precision, display, drive, deadband, archiveDeadband)"};
  }
}

bool isInteger(ValueType t) {
  switch (t) {
  case ValueType::int8:
  case ValueType::uint8:
  case ValueType::int16:
  case ValueType::uint16:
  case ValueType::int32:
  case ValueType::uint32:
  case ValueType::int64:
  case ValueType::uint64:
    return true;
  default:
    return false;
  }
}

bool isNumber(ValueType t) {
  return isInteger(t) || t == ValueType::float32 || t == ValueType::float64;
}

} // namespace

double LimitBound::value() const {
  double v = number;
  if (variable != nullptr) {
    const auto s = variable->get();
    v = 0;
    if (s.hasValue && orvane::sizeOf(s.value) > 0) v = orvane::anyVectorAs<double>(s.value).front();
  }
  return negate ? -v : v;
}

bool matchesPathPattern(std::string_view pattern, std::string_view path) {
  // Tokens: a character, '?', '*' (one level) or '**' (any levels); matched by dynamic
  // programming, so that no pattern from a file costs more than tokens × characters (trying
  // every split of every star takes exponential time on a pattern with many of them).
  enum : int { anyOne = -1, inLevel = -2, acrossLevels = -3 };
  std::vector<int> tokens;
  for (size_t i = 0; i < pattern.size(); ++i) {
    if (pattern[i] == '*' && i + 1 < pattern.size() && pattern[i + 1] == '*') {
      tokens.push_back(acrossLevels);
      ++i;
    } else if (pattern[i] == '*') {
      tokens.push_back(inLevel);
    } else if (pattern[i] == '?') {
      tokens.push_back(anyOne);
    } else {
      tokens.push_back(static_cast<unsigned char>(pattern[i]));
    }
  }
  const size_t n = path.size();
  // next[j]: the tokens after the current one match path[j..]; built from the last token back.
  std::vector<char> next(n + 1, 0), cur(n + 1, 0);
  next[n] = 1;
  for (size_t t = tokens.size(); t-- > 0;) {
    const int tok = tokens[t];
    for (size_t j = n + 1; j-- > 0;) {
      const bool more = j < n;
      switch (tok) {
      case acrossLevels:
        cur[j] = static_cast<char>(next[j] || (more && cur[j + 1]));
        break;
      case inLevel:
        cur[j] = static_cast<char>(next[j] || (more && path[j] != '/' && cur[j + 1]));
        break;
      case anyOne:
        cur[j] = static_cast<char>(more && path[j] != '/' && next[j + 1]);
        break;
      default:
        cur[j] = static_cast<char>(more && static_cast<unsigned char>(path[j]) == tok && next[j + 1]);
      }
    }
    std::swap(next, cur);
  }
  return next[0] != 0;
}

MetadataRules MetadataRules::parse(std::string_view text, const std::string& origin) {
  MetadataRules rules;
  rules.origin_ = origin;
  std::size_t lineNo = 0;
  auto fail = [&](const std::string& why) {
    throw MetadataError(origin + ":" + std::to_string(lineNo) + ": " + why);
  };
  while (!text.empty()) {
    ++lineNo;
    const auto nl = text.find('\n');
    std::string_view line = text.substr(0, nl);
    text.remove_prefix(nl == std::string_view::npos ? text.size() : nl + 1);
    line = trim(line.substr(0, line.find('#')));
    if (line.empty()) continue;
    if (line.front() == '[') {
      if (line.back() != ']') fail("a block starts with '[pattern ...]'");
      Block b;
      b.line = lineNo;
      b.patterns = words(line.substr(1, line.size() - 2));
      if (b.patterns.empty()) fail("a block needs at least one path pattern");
      for (const auto& pattern : b.patterns)
        if (pattern.front() != '/') fail("pattern '" + pattern + "' is not a path starting with '/'");
      rules.blocks_.push_back(std::move(b));
      continue;
    }
    const auto eq = line.find('=');
    if (eq == std::string_view::npos) fail("expected 'attribute = value' or '[pattern]'");
    if (rules.blocks_.empty()) fail("an attribute before the first [pattern]");
    Attribute a{std::string(trim(line.substr(0, eq))), std::string(trim(line.substr(eq + 1))), lineNo};
    try {
      checkSyntax(a);
    } catch (const Fault& f) {
      fail(f.message);
    }
    rules.blocks_.back().attributes.push_back(std::move(a));
  }
  return rules;
}

MetadataRules MetadataRules::fromFile(const std::string& file) {
  // A folder would otherwise read as an empty description: no conventions, and no word why.
  std::string reason;
  const auto text = orvane::device::readTextFile(file, reason);
  if (!text) throw MetadataError(file + ": cannot be read: " + reason);
  return parse(*text, file);
}

VariableMetadata MetadataRules::resolve(const orvane::ProcessVariableInfo& info,
                                        const orvane::ProcessVariableRegistry& registry) const {
  // The last value of each attribute wins.
  std::map<std::string, const Attribute*> effective;
  for (const auto& b : blocks_) {
    bool matches = false;
    for (const auto& pattern : b.patterns)
      matches = matches || matchesPathPattern(pattern, info.path);
    if (!matches) continue;
    for (const auto& a : b.attributes)
      effective[a.key] = &a;
  }

  VariableMetadata m;
  const Attribute* current = nullptr;
  auto fail = [&](const std::string& why) {
    throw MetadataError(origin_ + ":" + std::to_string(current->line) + ": " + current->key + " of " +
                        info.path + ": " + why);
  };
  auto get = [&](const char* key) -> const Attribute* {
    auto it = effective.find(key);
    current = it == effective.end() ? nullptr : it->second;
    return current;
  };
  const bool scalar = info.nElements == 1;
  const bool boolean = info.type == ValueType::boolean;
  const std::string typeName = std::string(orvane::valueTypeName(info.type)) +
                               (scalar ? "" : " array of " + std::to_string(info.nElements));

  try {
    if (const auto* a = get("record")) m.recordType = words(a->value).front();
    if (const auto* a = get("states")) {
      if (!scalar || !(isInteger(info.type) || boolean))
        fail("states need a scalar integer or Boolean variable, not a " + typeName);
      m.states = parseStates(a->value);
      if (boolean && m.states.size() != 2) fail("a Boolean has exactly two states");
    } else if (boolean) {
      m.states = {"false", "true"};
    }
    const bool enumerated = !m.states.empty();
    if (const auto* a = get("severity")) {
      const auto severities = parseSeverities(a->value);
      if (enumerated) {
        m.stateSeverity.assign(m.states.size(), p::AlarmSeverity::NoAlarm);
        for (const auto& [state, sev] : severities) {
          auto it = std::find(m.states.begin(), m.states.end(), state);
          if (it == m.states.end()) fail("'" + state + "' is not one of its states");
          m.stateSeverity[static_cast<std::size_t>(it - m.states.begin())] = sev;
        }
      } else if (scalar && info.type == ValueType::string) {
        for (const auto& [state, sev] : severities) {
          if (state != nonEmptyKey) fail("a text takes only 'non-empty: SEVERITY', not '" + state + "'");
          m.nonEmptySeverity = sev;
        }
      } else {
        fail("severities need named states or a text, not a " + typeName);
      }
    }
    if (const auto* a = get("status")) m.alarmStatus = statusNamed(trim(a->value));

    const bool numeric = isNumber(info.type) && !enumerated;
    auto needNumeric = [&] {
      if (!numeric) fail("only numbers without states have it, not a " + typeName);
    };
    if (const auto* a = get("precision")) {
      needNumeric();
      m.precision = parsePrecision(a->value);
    }
    auto limits = [&](std::optional<LimitPair>& target) {
      needNumeric();
      const auto [low, high] = parseLimits(current->value);
      LimitPair pair;
      for (auto [text, bound] : {std::pair{&low, &pair.low}, std::pair{&high, &pair.high}}) {
        bound->number = text->number;
        bound->negate = text->negate;
        if (text->path.empty()) continue;
        const auto* ref = registry.find(text->path);
        if (ref == nullptr) fail("no variable " + text->path);
        const auto& ri = ref->info();
        if (ri.nElements != 1 || !isNumber(ri.type))
          fail(text->path + " is no numeric scalar but a " + orvane::valueTypeName(ri.type));
        bound->variable = ref;
        if (std::find(m.references.begin(), m.references.end(), ref) == m.references.end())
          m.references.push_back(ref);
      }
      target = pair;
    };
    if (get("display") != nullptr) limits(m.display);
    if (get("drive") != nullptr) limits(m.drive);
    if (const auto* a = get("deadband")) {
      needNumeric();
      m.deadband = parseDeadband(a->value);
    }
    if (const auto* a = get("archiveDeadband")) {
      needNumeric();
      m.archiveDeadband = parseDeadband(a->value);
    }
  } catch (const Fault& f) {
    fail(f.message);
  }
  return m;
}

std::vector<std::string> MetadataRules::unmatched(const orvane::ProcessVariableRegistry& registry) const {
  std::vector<std::string> notes;
  for (const auto& b : blocks_) {
    bool any = false;
    for (const auto& pv : registry.all()) {
      for (const auto& pattern : b.patterns)
        any = any || matchesPathPattern(pattern, pv->info().path);
      if (any) break;
    }
    if (any) continue;
    std::string list;
    for (const auto& pattern : b.patterns)
      list += (list.empty() ? "" : " ") + pattern;
    notes.push_back(origin_ + ":" + std::to_string(b.line) + ": [" + list + "] matches no variable");
  }
  return notes;
}

namespace {
std::optional<std::pair<std::string, std::string>>& builtinSlot() {
  static std::optional<std::pair<std::string, std::string>> slot;
  return slot;
}
} // namespace

BuiltinMetadata::BuiltinMetadata(const char* text, const char* origin) {
  builtinSlot() = std::make_pair(std::string(text), std::string(origin));
}

std::optional<std::pair<std::string, std::string>> builtinMetadata() {
  return builtinSlot();
}

MetadataRules loadMetadata(const std::string& file, const std::string& defaultFile) {
  if (file == "none") return {};
  if (!file.empty()) return MetadataRules::fromFile(file);
  if (std::ifstream(defaultFile).good()) return MetadataRules::fromFile(defaultFile);
  if (auto builtin = builtinMetadata()) return MetadataRules::parse(builtin->first, builtin->second);
  return {};
}

} // namespace telvik::bridge
