#pragma once
// Running an outside command without a shell: fork and exec, standard output and error captured
// together, a time limit. The command runs in a session of its own, and when it ends, however it
// ends, every process still in that session is killed: nothing it started outlives the attempt.
// Only a process that deliberately leaves the session (setsid) escapes.

#include <chrono>
#include <cstddef>
#include <string>
#include <vector>

namespace orvane::device::detail {

struct CommandResult {
  enum class Outcome {
    exited,     ///< `code` is the exit status
    signalled,  ///< `code` is the signal
    timedOut,   ///< killed at the time limit
    notStarted, ///< exec failed; `code` is errno
  };
  Outcome outcome{Outcome::notStarted};
  int code{0};
  std::string output;
  bool truncated{false}; ///< output beyond the limit was dropped

  [[nodiscard]] bool succeeded() const { return outcome == Outcome::exited && code == 0; }
  /// "exited with status 3", "was killed by signal 9 (Killed)", "cannot be started: ...".
  [[nodiscard]] std::string describe(std::chrono::milliseconds timeLimit) const;
};

/// Runs argv[0] (looked up in PATH when it has no '/') in the working directory, with standard
/// input from /dev/null. Keeps at most `maxOutput` bytes of output. A Boost.Thread interruption
/// kills the command and is rethrown.
CommandResult runCommand(const std::vector<std::string>& argv, std::chrono::milliseconds timeLimit,
                         std::size_t maxOutput);

/// Words separated by blanks; no quoting, globbing or redirection, since no shell is involved.
std::vector<std::string> splitCommand(const std::string& command);

} // namespace orvane::device::detail
