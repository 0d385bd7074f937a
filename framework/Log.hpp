#pragma once
// The event log: one line per event on standard error, each with a severity and its source.
//
// When standard error is the systemd journal (JOURNAL_STREAM names it), a line is
// "<N>source: message" with the syslog priority N, which journald turns into the entry's
// priority and strips; anywhere else it is "2024-05-01T12:00:00.123 warning source: message" in
// local time, so that a log file or a terminal shows when and how bad.
//
// Threads: any. A line goes out in one piece and never interleaves with another of this log.
// Like any program's, a write to a standard error that nobody drains blocks the caller.

#include <chrono>
#include <string>
#include <string_view>
#include <vector>

namespace orvane::log {

/// The syslog levels that this system uses, with their syslog numbers.
enum class Severity : int { critical = 2, error = 3, warning = 4, notice = 5, info = 6, debug = 7 };

/// "critical", "error", "warning", "notice", "info", "debug".
[[nodiscard]] const char* severityName(Severity s);

/// The line as written, without the newline. Control characters of source and message are
/// escaped ("\n", "\x1b") so that one event stays one line, and a message longer than a few
/// kilobytes is cut with a note of how much is left out.
[[nodiscard]] std::string formatLine(Severity s, std::string_view source, std::string_view message,
                                     bool journal, std::chrono::system_clock::time_point now);

/// Whether standard error is the journal (checked once, by JOURNAL_STREAM against the descriptor).
[[nodiscard]] bool toJournal();

void write(Severity s, std::string_view source, std::string_view message);

inline void critical(std::string_view source, std::string_view message) {
  write(Severity::critical, source, message);
}
inline void error(std::string_view source, std::string_view message) {
  write(Severity::error, source, message);
}
inline void warning(std::string_view source, std::string_view message) {
  write(Severity::warning, source, message);
}
inline void notice(std::string_view source, std::string_view message) {
  write(Severity::notice, source, message);
}
inline void info(std::string_view source, std::string_view message) {
  write(Severity::info, source, message);
}

/// While it lives, lines are kept here instead of going to standard error (tests). One at a time.
class Capture {
 public:
  struct Entry {
    Severity severity;
    std::string source;
    std::string message;
  };
  Capture();
  ~Capture();
  Capture(const Capture&) = delete;
  Capture& operator=(const Capture&) = delete;

  [[nodiscard]] std::vector<Entry> entries() const;
  /// Entries whose message contains `text`.
  [[nodiscard]] std::vector<Entry> find(std::string_view text) const;
  void clear();
};

} // namespace orvane::log
