#include "framework/Log.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <memory>
#include <mutex>

namespace orvane::log {

namespace {

// Journald splits longer lines into several entries; an event cut here stays one.
constexpr std::size_t maxMessageBytes = 4000;

std::mutex& mutex() {
  static std::mutex m;
  return m;
}

std::unique_ptr<std::vector<Capture::Entry>> captured; // guarded by mutex()

void appendEscaped(std::string& out, std::string_view text) {
  for (char c : text) {
    const auto u = static_cast<unsigned char>(c);
    if (c == '\n') {
      out += "\\n";
    } else if (c == '\r') {
      out += "\\r";
    } else if (u < 0x20 && c != '\t') {
      char hex[8];
      std::snprintf(hex, sizeof hex, "\\x%02x", u);
      out += hex;
    } else if (u == 0x7f) {
      out += "\\x7f";
    } else {
      out += c;
    }
  }
}

void writeAll(const std::string& line) {
  const char* p = line.data();
  std::size_t left = line.size();
  while (left > 0) {
    ssize_t n = ::write(STDERR_FILENO, p, left);
    if (n < 0) {
      if (errno == EINTR) continue;
      return; // nowhere left to report it
    }
    p += n;
    left -= static_cast<std::size_t>(n);
  }
}

} // namespace

const char* severityName(Severity s) {
  switch (s) {
  case Severity::critical:
    return "critical";
  case Severity::error:
    return "error";
  case Severity::warning:
    return "warning";
  case Severity::notice:
    return "notice";
  case Severity::info:
    return "info";
  case Severity::debug:
    return "debug";
  }
  return "error";
}

std::string formatLine(Severity s, std::string_view source, std::string_view message, bool journal,
                       std::chrono::system_clock::time_point now) {
  std::string out;
  out.reserve(source.size() + std::min(message.size(), maxMessageBytes) + 48);
  if (journal) {
    out += '<';
    out += std::to_string(static_cast<int>(s));
    out += '>';
  } else {
    const std::time_t t = std::chrono::system_clock::to_time_t(now);
    std::tm local{};
    ::localtime_r(&t, &local);
    char stamp[32];
    std::strftime(stamp, sizeof stamp, "%Y-%m-%dT%H:%M:%S", &local);
    const auto ms =
        std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000;
    char millis[8];
    std::snprintf(millis, sizeof millis, ".%03d ", static_cast<int>(ms));
    out += stamp;
    out += millis;
    out += severityName(s);
    out += ' ';
  }
  appendEscaped(out, source);
  out += ": ";
  if (message.size() > maxMessageBytes) {
    appendEscaped(out, message.substr(0, maxMessageBytes));
    out += " ... (" + std::to_string(message.size() - maxMessageBytes) + " more bytes)";
  } else {
    appendEscaped(out, message);
  }
  return out;
}

bool toJournal() {
  static const bool journal = [] {
    const char* stream = std::getenv("JOURNAL_STREAM");
    if (stream == nullptr) return false;
    unsigned long long dev = 0, ino = 0;
    if (std::sscanf(stream, "%llu:%llu", &dev, &ino) != 2) return false;
    struct stat st {};
    if (::fstat(STDERR_FILENO, &st) != 0) return false;
    // Inherited by a child whose standard error was redirected elsewhere, it no longer applies.
    return static_cast<unsigned long long>(st.st_dev) == dev &&
           static_cast<unsigned long long>(st.st_ino) == ino;
  }();
  return journal;
}

void write(Severity s, std::string_view source, std::string_view message) {
  std::string line = formatLine(s, source, message, toJournal(), std::chrono::system_clock::now());
  line += '\n';
  std::lock_guard g(mutex());
  if (captured != nullptr) {
    captured->push_back(Capture::Entry{s, std::string(source), std::string(message)});
    return;
  }
  writeAll(line);
}

Capture::Capture() {
  std::lock_guard g(mutex());
  captured = std::make_unique<std::vector<Entry>>();
}

Capture::~Capture() {
  std::lock_guard g(mutex());
  captured.reset();
}

std::vector<Capture::Entry> Capture::entries() const {
  std::lock_guard g(mutex());
  return captured != nullptr ? *captured : std::vector<Entry>{};
}

std::vector<Capture::Entry> Capture::find(std::string_view text) const {
  std::vector<Entry> out;
  for (auto& e : entries())
    if (e.message.find(text) != std::string::npos) out.push_back(e);
  return out;
}

void Capture::clear() {
  std::lock_guard g(mutex());
  if (captured != nullptr) captured->clear();
}

} // namespace orvane::log
