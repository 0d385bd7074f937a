#include "telvik/bridge/Persistence.hpp"

#include <cstdio>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include <fcntl.h>
#include <unistd.h>

namespace telvik::bridge {

namespace {

const char* const formatLine = "# quellor settings v1";

std::string escape(const std::string& s) {
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

} // namespace

bool SettingsStore::persists(const orvane::ProcessVariableInfo& info) {
  return info.writable() && info.type != orvane::ValueType::nothing && info.path != "/Server/triggerNumber";
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

std::vector<SettingsStore::Entry> SettingsStore::parse(const std::string& text, const std::string& fileName) {
  std::vector<Entry> out;
  std::istringstream in(text);
  std::string line;
  int lineNo = 0;
  auto fail = [&](const std::string& why) {
    throw std::runtime_error(fileName + ":" + std::to_string(lineNo) + ": " + why);
  };
  bool sawHeader = false;
  bool endedWithNewline = text.empty() || text.back() == '\n';
  while (std::getline(in, line)) {
    ++lineNo;
    if (!sawHeader) {
      if (line != formatLine)
        fail("not a settings file (first line must be '" + std::string(formatLine) + "')");
      sawHeader = true;
      continue;
    }
    if (line.empty()) continue;
    auto fields = splitTabs(line);
    if (fields.size() < 3) fail("expected path, type and count");
    Entry e;
    if (!unescape(fields[0], e.path) || e.path.empty() || e.path[0] != '/') fail("bad variable path");
    if (!orvane::parseConfigTypeName(fields[1]) && fields[1] != "Boolean")
      fail("unknown type '" + fields[1] + "'");
    size_t count = 0;
    try {
      size_t pos = 0;
      unsigned long long c = std::stoull(fields[2], &pos);
      if (pos != fields[2].size()) throw std::invalid_argument("count");
      count = static_cast<size_t>(c);
    } catch (const std::exception&) {
      fail("bad element count '" + fields[2] + "'");
    }
    if (fields.size() - 3 != count)
      fail("count says " + std::to_string(count) + " elements, the line holds " +
           std::to_string(fields.size() - 3));
    for (size_t i = 3; i < fields.size(); ++i) {
      std::string el;
      if (!unescape(fields[i], el)) fail("bad escape in element " + std::to_string(i - 3));
      e.elements.push_back(std::move(el));
    }
    out.push_back(std::move(e));
  }
  if (!sawHeader) fail("empty file");
  // A save cut short by a crash cannot happen with the rename, but a hand edit or a full disk
  // can leave a partial last line; that line would otherwise pass as a shorter array.
  if (!endedWithNewline) fail("last line is incomplete");
  return out;
}

SettingsStore::RestoreReport SettingsStore::restore(orvane::ProcessVariableRegistry& registry) {
  RestoreReport report;
  if (!enabled()) return report;
  std::ifstream in(file_, std::ios::binary);
  if (!in) return report;
  std::ostringstream buf;
  buf << in.rdbuf();
  in.close();

  struct Pending {
    orvane::ProcessVariable* pv;
    orvane::AnyVector value;
  };
  std::vector<Pending> pending;
  try {
    for (auto& e : parse(buf.str(), file_)) {
      auto* pv = registry.find(e.path);
      if (pv == nullptr) {
        report.notes.push_back(file_ + ": '" + e.path + "' is no longer served; its setting is dropped");
        continue;
      }
      if (!persists(pv->info())) {
        report.notes.push_back(file_ + ": '" + e.path + "' is not an operator setting; ignored");
        continue;
      }
      orvane::AnyVector text(std::in_place_type<std::vector<std::string>>, e.elements);
      orvane::AnyVector value;
      try {
        value = pv->info().type == orvane::ValueType::string
                    ? text
                    : orvane::convertAnyVector(text, pv->info().type);
      } catch (const std::exception& ex) {
        throw std::runtime_error(file_ + ": value of '" + e.path + "' does not convert: " + ex.what());
      }
      pending.push_back({pv, std::move(value)});
    }
  } catch (const std::exception& ex) {
    report.setAsideAs = file_ + ".corrupt";
    if (std::rename(file_.c_str(), report.setAsideAs.c_str()) != 0) report.setAsideAs.clear();
    report.notes.push_back(std::string(ex.what()) + "; the file is ignored" +
                           (report.setAsideAs.empty() ? std::string(" (it could not be renamed)")
                                                      : " and kept as '" + report.setAsideAs + "'"));
    return report;
  }
  for (auto& p : pending) {
    p.pv->write(p.value);
    ++report.restored;
  }
  return report;
}

bool SettingsStore::save(const orvane::ProcessVariableRegistry& registry, std::string& error) {
  if (!enabled()) return true;
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
  int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) {
    error = "cannot write '" + tmp + "'";
    return false;
  }
  size_t done = 0;
  while (done < text.size()) {
    ssize_t n = ::write(fd, text.data() + done, text.size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      break;
    }
    done += static_cast<size_t>(n);
  }
  bool ok = done == text.size() && ::fsync(fd) == 0;
  ok = (::close(fd) == 0) && ok;
  if (!ok || std::rename(tmp.c_str(), file_.c_str()) != 0) {
    error = "writing '" + file_ + "' failed";
    std::remove(tmp.c_str());
    return false;
  }
  lastWritten_ = std::move(text);
  return true;
}

} // namespace telvik::bridge
