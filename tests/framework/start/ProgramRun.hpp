#pragma once
// A program run as an operator runs it, with its standard output and error kept apart.

#include <sys/wait.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

namespace orvane::test {

struct ProgramRun {
  int status{-1}; ///< exit status, or 128 + signal
  std::string out;
  std::string err;
};

/// Runs `command` through the shell in `directory`; its standard error goes to a file there.
inline ProgramRun runProgram(const std::filesystem::path& directory, const std::string& command) {
  const auto errFile = directory / "stderr.txt";
  const std::string line = "cd '" + directory.string() + "' && " + command + " 2>'" + errFile.string() + "'";
  ProgramRun r;
  FILE* pipe = ::popen(line.c_str(), "r");
  if (pipe == nullptr) return r;
  char buffer[4096];
  while (std::size_t n = std::fread(buffer, 1, sizeof buffer, pipe))
    r.out.append(buffer, n);
  const int status = ::pclose(pipe);
  r.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  std::ifstream err(errFile);
  r.err.assign(std::istreambuf_iterator<char>(err), std::istreambuf_iterator<char>());
  return r;
}

} // namespace orvane::test
