#include "telvik/bridge/Persistence.hpp"

#include "telvik/bridge/Metadata.hpp"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <stdexcept>
#include <system_error>

#include <fcntl.h>
#include <unistd.h>

namespace telvik::bridge {

namespace {

namespace fs = std::filesystem;

const char* const formatLine = "# quellor settings v1";

std::string escape(std::string_view s) {
  std::string out;
  out.reserve(s.size());
  for (char c : s) {
    switch (c) {
    case '\\':
      out += "\\\\";
      break;
    case '\t':
      out += "\\t";
      break;
    case '\n':
      out += "\\n";
      break;
    case '\r':
      out += "\\r";
      break;
    default:
      out += c;
    }
  }
  return out;
}

bool unescape(const std::string& s, std::string& out) {
  out.clear();
  for (size_t i = 0; i < s.size(); ++i) {
    if (s[i] != '\\') {
      out += s[i];
      continue;
    }
    if (++i >= s.size()) return false;
    switch (s[i]) {
    case '\\':
      out += '\\';
      break;
    case 't':
      out += '\t';
      break;
    case 'n':
      out += '\n';
      break;
    case 'r':
      out += '\r';
      break;
    default:
      return false;
    }
  }
  return true;
}

std::vector<std::string> splitTabs(const std::string& line) {
  std::vector<std::string> out;
  size_t start = 0;
  for (;;) {
    auto tab = line.find('\t', start);
    out.push_back(line.substr(start, tab == std::string::npos ? std::string::npos : tab - start));
    if (tab == std::string::npos) break;
    start = tab + 1;
  }
  return out;
}

// Text from a file, quoted for a message. A hand-edited file may hold a value of megabytes, and
// a message is read on a terminal or in a journal: the start says which value it was.
std::string shown(std::string_view text) {
  constexpr size_t room = 64;
  if (text.size() <= room) return "'" + escape(text) + "'";
  return "'" + escape(text.substr(0, room)) + "...' (" + std::to_string(text.size()) + " bytes)";
}

std::string cut(const std::string& message) {
  constexpr size_t room = 240;
  if (message.size() <= room) return message;
  return message.substr(0, room) + "... (" + std::to_string(message.size()) + " bytes)";
}

std::string lineRef(const std::string& file, int line) {
  return file + ":" + std::to_string(line) + ": ";
}

bool isDirectory(const std::string& path) {
  std::error_code ec;
  return fs::is_directory(path, ec);
}

// Reads a whole file; false with `why` when it exists but cannot be read, false with `why` empty
// when it does not exist.
bool slurp(const std::string& path, std::string& text, std::string& why) {
  why.clear();
  std::error_code ec;
  if (!fs::exists(path, ec)) return false;
  if (isDirectory(path)) {
    why = "is a directory, not a file";
    return false;
  }
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    why = "cannot be read (" + std::generic_category().message(errno) + ")";
    return false;
  }
  std::ostringstream buf;
  buf << in.rdbuf();
  text = buf.str();
  return true;
}

// Skipped entries of one kind are reported in one line: an old file can hold dozens of them.
class SkippedEntries {
 public:
  void add(const std::string& why, const std::string& path) { byReason_[why].push_back(path); }
  void report(const std::string& file, std::vector<std::string>& notes) const {
    constexpr size_t named = 5;
    for (const auto& [why, paths] : byReason_) {
      std::string note = file + ": " + std::to_string(paths.size()) +
                         (paths.size() == 1 ? " entry" : " entries") + " not restored, " + why + ":";
      for (size_t i = 0; i < paths.size() && i < named; ++i)
        note += " " + shown(paths[i]);
      if (paths.size() > named) note += " and " + std::to_string(paths.size() - named) + " more";
      notes.push_back(note);
    }
  }

 private:
  std::map<std::string, std::vector<std::string>> byReason_;
};

std::string timeStamp() {
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  char buf[32];
  std::strftime(buf, sizeof buf, "%Y%m%d-%H%M%S", &local);
  return buf;
}

} // namespace

SettingsRequest SettingsRequest::read(const std::string& file) {
  std::string text, why;
  if (!slurp(file, text, why)) {
    SettingsRequest r;
    r.file_ = file;
    if (!why.empty()) r.problems_.push_back(file + ": " + why + "; no operator setting is saved or restored");
    return r;
  }
  return parse(text, file);
}

SettingsRequest SettingsRequest::parse(const std::string& text, const std::string& file) {
  SettingsRequest r;
  r.file_ = file;
  r.found_ = true;
  std::istringstream in(text);
  std::string line;
  int lineNo = 0;
  while (std::getline(in, line)) {
    ++lineNo;
    if (auto hash = line.find('#'); hash != std::string::npos) line.erase(hash);
    const auto first = line.find_first_not_of(" \t\r");
    if (first == std::string::npos) continue;
    const auto last = line.find_last_not_of(" \t\r");
    std::string pattern = line.substr(first, last - first + 1);
    if (pattern.find_first_of(" \t") != std::string::npos) {
      r.problems_.push_back(lineRef(file, lineNo) + shown(pattern) +
                            " is more than one path pattern (one per line); the line is ignored");
      continue;
    }
    if (pattern[0] != '/') pattern.insert(0, "/");
    r.patterns_.push_back({pattern, lineNo});
  }
  return r;
}

bool SettingsRequest::matches(const std::string& path) const {
  return std::any_of(patterns_.begin(), patterns_.end(),
                     [&path](const Pattern& p) { return matchesPathPattern(p.text, path); });
}

SettingsStore::SettingsStore(std::string file, SettingsRequest request)
    : file_(std::move(file)), request_(std::move(request)) {}

bool SettingsStore::neverSaved(const orvane::ProcessVariableInfo& info) {
  return !info.writable() || info.command || info.type == orvane::ValueType::nothing ||
         info.path == "/Server/triggerNumber" || info.path.rfind("/Sim/", 0) == 0;
}

bool SettingsStore::persists(const orvane::ProcessVariableInfo& info) const {
  return saving() && !neverSaved(info) && request_.matches(info.path);
}

std::string
SettingsStore::format(const std::vector<std::pair<orvane::ProcessVariableInfo, orvane::AnyVector>>& values) {
  std::string out = formatLine;
  out += '\n';
  for (auto& [info, value] : values) {
    out += escape(info.path);
    out += '\t';
    out += orvane::valueTypeName(info.type);
    out += '\t';
    const size_t n = orvane::sizeOf(value);
    out += std::to_string(n);
    for (size_t i = 0; i < n; ++i) {
      out += '\t';
      out += escape(orvane::elementToString(value, i));
    }
    out += '\n';
  }
  return out;
}

SettingsStore::Parsed SettingsStore::parse(const std::string& text, const std::string& fileName) {
  Parsed out;
  if (text.empty()) {
    out.problems.push_back(fileName + ": the file is empty");
    out.wholeFileRejected = true;
    return out;
  }
  std::istringstream in(text);
  std::string line;
  int lineNo = 0;
  std::map<std::string, int> firstLine;
  while (std::getline(in, line)) {
    ++lineNo;
    auto bad = [&](const std::string& why) { out.problems.push_back(lineRef(fileName, lineNo) + why); };
    if (lineNo == 1) {
      if (line != formatLine) {
        bad("not a settings file (its first line must be '" + std::string(formatLine) + "')");
        out.wholeFileRejected = true;
        return out;
      }
      continue;
    }
    if (line.empty()) continue;
    // A save cut short cannot happen with the rename, but a hand edit or a full disk can leave a
    // partial last line, which would otherwise pass as a shorter array.
    if (in.eof() && text.back() != '\n') {
      bad("the line is incomplete (no end of line); left out");
      break;
    }
    auto fields = splitTabs(line);
    if (fields.size() < 3) {
      bad("expected path, type and count; left out");
      continue;
    }
    Entry e;
    e.line = lineNo;
    if (!unescape(fields[0], e.path) || e.path.empty() || e.path[0] != '/') {
      bad("bad variable path " + shown(fields[0]) + "; left out");
      continue;
    }
    if (!orvane::parseConfigTypeName(fields[1]) && fields[1] != "Boolean") {
      bad("unknown type " + shown(fields[1]) + " for " + shown(e.path) + "; left out");
      continue;
    }
    size_t count = 0;
    try {
      size_t pos = 0;
      const unsigned long long c = std::stoull(fields[2], &pos);
      if (pos != fields[2].size()) throw std::invalid_argument("count");
      count = static_cast<size_t>(c);
    } catch (const std::exception&) {
      bad("bad element count " + shown(fields[2]) + " for " + shown(e.path) + "; left out");
      continue;
    }
    if (fields.size() - 3 != count) {
      bad("the count of " + shown(e.path) + " says " + std::to_string(count) + " elements, the line holds " +
          std::to_string(fields.size() - 3) + "; left out");
      continue;
    }
    bool escapes = true;
    for (size_t i = 3; i < fields.size() && escapes; ++i) {
      std::string el;
      escapes = unescape(fields[i], el);
      if (escapes)
        e.elements.push_back(std::move(el));
      else
        bad("bad escape in element " + std::to_string(i - 3) + " of " + shown(e.path) + "; left out");
    }
    if (!escapes) continue;
    auto [it, fresh] = firstLine.emplace(e.path, lineNo);
    if (!fresh) {
      bad(shown(e.path) + " was set on line " + std::to_string(it->second) +
          " already; this line is left out");
      continue;
    }
    out.entries.push_back(std::move(e));
  }
  return out;
}

std::string SettingsStore::setAside(bool move) const {
  std::string target = file_ + ".corrupt-" + timeStamp();
  std::error_code ec;
  for (int n = 2; fs::exists(target, ec); ++n)
    target = file_ + ".corrupt-" + timeStamp() + "-" + std::to_string(n);
  if (move)
    fs::rename(file_, target, ec);
  else
    fs::copy_file(file_, target, ec);
  if (ec) return {};
  // Only the last few: a file that keeps failing at every start must not fill the disk.
  const fs::path own(file_);
  const std::string prefix = own.filename().string() + ".corrupt-";
  const fs::path dir = own.has_parent_path() ? own.parent_path() : fs::path(".");
  std::vector<fs::path> copies;
  for (const auto& entry : fs::directory_iterator(dir, ec))
    if (entry.path().filename().string().rfind(prefix, 0) == 0) copies.push_back(entry.path());
  // The names hold the time (a renamed file keeps its old modification time).
  std::sort(copies.begin(), copies.end());
  for (size_t i = 0; i + keptCopies < copies.size(); ++i)
    fs::remove(copies[i], ec);
  return target;
}

SettingsStore::RestoreReport SettingsStore::restore(orvane::ProcessVariableRegistry& registry) {
  RestoreReport report;
  if (!enabled()) return report;
  auto& notes = report.notes;
  if (!request_.found()) {
    // The settings file is left as it is: a request file put back makes it count again.
    setProblem(request_.problems().empty()
                   ? "no request file '" + request_.file() + "': no operator setting is saved or restored"
                   : request_.problems().front());
    return report;
  }
  notes.insert(notes.end(), request_.problems().begin(), request_.problems().end());
  for (const auto& pattern : request_.patterns()) {
    bool any = false, kept = false;
    for (const auto& pv : registry.all()) {
      if (!matchesPathPattern(pattern.text, pv->info().path)) continue;
      any = true;
      kept = kept || !neverSaved(pv->info());
    }
    if (!any)
      notes.push_back(lineRef(request_.file(), pattern.line) + shown(pattern.text) + " matches no variable");
    else if (!kept)
      notes.push_back(lineRef(request_.file(), pattern.line) + shown(pattern.text) +
                      " matches only variables that are never saved (commands, events, read-only and "
                      "simulator variables)");
  }

  std::string text, why;
  if (!slurp(file_, text, why)) {
    if (!why.empty()) notes.push_back(file_ + ": " + why + "; nothing is restored");
  } else {
    auto parsed = parse(text, file_);
    bool faulty = !parsed.problems.empty();
    for (auto& p : parsed.problems)
      notes.push_back(cut(p));
    struct Pending {
      orvane::ProcessVariable* pv;
      orvane::AnyVector value;
    };
    std::vector<Pending> pending;
    SkippedEntries skipped;
    for (auto& e : parsed.entries) {
      auto* pv = registry.find(e.path);
      if (pv == nullptr) {
        skipped.add("their variables are no longer served", e.path);
        continue;
      }
      if (neverSaved(pv->info())) {
        skipped.add("commands, events, read-only and simulator variables are never restored", e.path);
        continue;
      }
      if (!request_.matches(e.path)) {
        skipped.add("not requested in '" + request_.file() + "'", e.path);
        continue;
      }
      orvane::AnyVector textValue(std::in_place_type<std::vector<std::string>>, e.elements);
      try {
        pending.push_back({pv, pv->info().type == orvane::ValueType::string
                                   ? textValue
                                   : orvane::convertAnyVector(textValue, pv->info().type)});
      } catch (const std::exception& ex) {
        faulty = true;
        notes.push_back(cut(lineRef(file_, e.line) + "the value of " + shown(e.path) + " does not convert (" +
                            ex.what()) +
                        "); left out");
      }
    }
    skipped.report(file_, notes);
    if (faulty) {
      report.setAsideAs = setAside(parsed.wholeFileRejected);
      notes.push_back(
          report.setAsideAs.empty()
              ? file_ + ": a copy of the faulty file could not be set aside"
              : file_ + ": the faulty file is kept as '" + report.setAsideAs + "'" +
                    (parsed.wholeFileRejected ? "; nothing of it is used" : "; the rest of it is used"));
    }
    for (auto& p : pending) {
      p.pv->write(p.value);
      ++report.restored;
    }
  }
  setProblem(checkWritable());
  return report;
}

std::string SettingsStore::checkWritable() const {
  if (isDirectory(file_)) return "'" + file_ + "' is a directory: operator settings are not saved";
  // The very steps of a save, without the rename: what fails here would fail at every save.
  const std::string tmp = file_ + ".tmp";
  const int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0)
    return "cannot write '" + tmp + "' (" + std::generic_category().message(errno) +
           "): operator settings are not saved";
  ::close(fd);
  std::remove(tmp.c_str());
  return {};
}

std::string SettingsStore::problem() const {
  boost::lock_guard<boost::mutex> g(problemMutex_);
  return problem_;
}

void SettingsStore::setProblem(const std::string& problem) {
  {
    boost::lock_guard<boost::mutex> g(problemMutex_);
    if (problem_ == problem) return;
    problem_ = problem;
  }
  if (listener_) listener_(problem);
}

bool SettingsStore::save(const orvane::ProcessVariableRegistry& registry, std::string& error) {
  if (!saving()) return true;
  std::vector<std::pair<orvane::ProcessVariableInfo, orvane::AnyVector>> values;
  for (auto& pv : registry.all()) {
    if (!persists(pv->info())) continue;
    auto s = pv->get();
    if (!s.hasValue) continue;
    values.emplace_back(pv->info(), std::move(s.value));
  }
  std::string text = format(values);
  boost::lock_guard<boost::mutex> g(saveMutex_);
  if (text == lastWritten_) return true;
  const std::string tmp = file_ + ".tmp";
  auto fail = [&](const std::string& why) {
    error = why + ": operator settings are not saved";
    setProblem(error);
    return false;
  };
  int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) return fail("cannot write '" + tmp + "' (" + std::generic_category().message(errno) + ")");
  size_t done = 0;
  int writeErrno = 0;
  while (done < text.size()) {
    ssize_t n = ::write(fd, text.data() + done, text.size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      writeErrno = errno;
      break;
    }
    done += static_cast<size_t>(n);
  }
  bool ok = done == text.size() && ::fsync(fd) == 0;
  if (!ok && writeErrno == 0) writeErrno = errno;
  ok = (::close(fd) == 0) && ok;
  if (!ok || std::rename(tmp.c_str(), file_.c_str()) != 0) {
    if (writeErrno == 0) writeErrno = errno;
    std::remove(tmp.c_str());
    return fail("writing '" + file_ + "' failed (" + std::generic_category().message(writeErrno) + ")");
  }
  lastWritten_ = std::move(text);
  setProblem({});
  return true;
}

} // namespace telvik::bridge
