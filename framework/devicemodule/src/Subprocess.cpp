#include "framework/devicemodule/src/Subprocess.hpp"

#include "framework/device/src/MappedWords.hpp" // errnoText

#include <boost/thread/thread.hpp>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sstream>
#include <sys/wait.h>
#include <unistd.h>

namespace orvane::device::detail {

namespace {

using Clock = std::chrono::steady_clock;

// Slices of waiting, so that a shutdown's interruption is seen soon.
constexpr int sliceMs = 50;

struct Fd {
  int fd{-1};
  Fd() = default;
  explicit Fd(int f) : fd(f) {}
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  ~Fd() { reset(); }
  void reset() {
    if (fd >= 0) ::close(fd);
    fd = -1;
  }
};

void makePipe(Fd& readEnd, Fd& writeEnd) {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) throw std::runtime_error("cannot create a pipe: " + errnoText(errno));
  readEnd.fd = fds[0];
  writeEnd.fd = fds[1];
}

int remainingMs(Clock::time_point deadline) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
  return static_cast<int>(std::clamp<long long>(left, 0, sliceMs));
}

// Only async-signal-safe calls between fork and exec: the parent has other threads, whose locks
// the child inherits in whatever state they were.
[[noreturn]] void execChild(char* const* argv, int devNull, int out, int status) {
  // A session of its own, not just a process group: a helper the command starts may move to a
  // group of its own (timeout(1) does), but it stays in the session, where it can be found.
  ::setsid();
  sigset_t none;
  sigemptyset(&none);
  // NOLINTNEXTLINE(concurrency-mt-unsafe): the child has one thread, and this call is async-signal-safe
  ::sigprocmask(SIG_SETMASK, &none, nullptr);
  struct sigaction dfl {};
  dfl.sa_handler = SIG_DFL;
  ::sigaction(SIGPIPE, &dfl, nullptr);
  if (::dup2(devNull, 0) < 0 || ::dup2(out, 1) < 0 || ::dup2(out, 2) < 0) {
    const int e = errno;
    (void)!::write(status, &e, sizeof e);
    ::_exit(127);
  }
  ::execvp(argv[0], argv);
  const int e = errno;
  (void)!::write(status, &e, sizeof e);
  ::_exit(127);
}

// Session id and state of a process from /proc/PID/stat; false when it is gone.
bool sessionOf(const char* pidText, pid_t& session, char& state) {
  char path[64];
  std::snprintf(path, sizeof path, "/proc/%s/stat", pidText);
  const int fd = ::open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  char buffer[512];
  const ssize_t n = ::read(fd, buffer, sizeof buffer - 1);
  ::close(fd);
  if (n <= 0) return false;
  buffer[n] = '\0';
  // "pid (comm) state ppid pgrp session ...": the name may hold anything, even ')'.
  const char* rest = std::strrchr(buffer, ')');
  if (rest == nullptr) return false;
  int ppid = 0, group = 0, sid = 0;
  if (std::sscanf(rest + 1, " %c %d %d %d", &state, &ppid, &group, &sid) != 4) return false;
  session = sid;
  return true;
}

// Kills every process of the command's session that still lives; returns how many it found.
int killSessionOnce(pid_t leader) {
  int found = 0;
  DIR* proc = ::opendir("/proc");
  if (proc == nullptr) return 0;
  while (const dirent* entry = ::readdir(proc)) {
    if (entry->d_name[0] < '0' || entry->d_name[0] > '9') continue;
    pid_t session = 0;
    char state = '?';
    if (!sessionOf(entry->d_name, session, state) || session != leader) continue;
    if (state == 'Z' || state == 'X') continue; // dead, waiting for its parent
    ++found;
    ::kill(static_cast<pid_t>(std::atoi(entry->d_name)), SIGKILL);
  }
  ::closedir(proc);
  return found;
}

// Ends the command and everything it started that is still in its session. The leader is a
// zombie at most (never reaped before this), so its pid, and with it the session id, cannot have
// been reused. Processes may fork while being killed, so the sweep repeats until one finds none.
void killSession(pid_t leader) {
  ::kill(-leader, SIGKILL);
  ::kill(leader, SIGKILL);
  for (int round = 0; round < 200 && killSessionOnce(leader) > 0; ++round)
    ::poll(nullptr, 0, round < 10 ? 0 : 5);
}

bool hasEnded(pid_t pid) {
  siginfo_t info{};
  // WNOWAIT leaves the zombie, so that the pid stays the session's until killSession().
  return ::waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) == 0 &&
         info.si_pid == pid;
}

// A status that cannot be had (SIGCHLD ignored by someone, so the child was reaped for us) must
// not pass for success.
void reap(pid_t pid, int& status) {
  for (;;) {
    if (::waitpid(pid, &status, 0) == pid) return;
    if (errno != EINTR) break;
  }
  status = 0xff00; // as exit status 255
}

} // namespace

std::string CommandResult::describe(std::chrono::milliseconds timeLimit) const {
  std::ostringstream s;
  switch (outcome) {
  case Outcome::exited:
    s << "exited with status " << code;
    break;
  case Outcome::signalled:
    // NOLINTNEXTLINE(concurrency-mt-unsafe): glibc (2.32 on) keeps strsignal's buffer per thread
    s << "was killed by signal " << code << " (" << ::strsignal(code) << ")";
    break;
  case Outcome::timedOut: {
    s << "did not finish within ";
    if (timeLimit.count() % 1000 == 0)
      s << timeLimit.count() / 1000 << " s";
    else
      s << timeLimit.count() << " ms";
    s << " and was killed";
    break;
  }
  case Outcome::notStarted:
    s << "cannot be started: " << errnoText(code);
    break;
  }
  return s.str();
}

std::vector<std::string> splitCommand(const std::string& command) {
  std::vector<std::string> words;
  std::istringstream in(command);
  for (std::string w; in >> w;)
    words.push_back(w);
  return words;
}

CommandResult runCommand(const std::vector<std::string>& args, std::chrono::milliseconds timeLimit,
                         std::size_t maxOutput) {
  if (args.empty()) throw std::invalid_argument("empty command");
  std::vector<std::string> copies(args);
  std::vector<char*> argv;
  argv.reserve(copies.size() + 1);
  for (auto& a : copies)
    argv.push_back(a.data());
  argv.push_back(nullptr);

  Fd outRead, outWrite, statusRead, statusWrite;
  makePipe(outRead, outWrite);
  makePipe(statusRead, statusWrite);
  Fd devNull(::open("/dev/null", O_RDONLY | O_CLOEXEC));
  if (devNull.fd < 0) throw std::runtime_error("cannot open /dev/null: " + errnoText(errno));

  const auto deadline = Clock::now() + timeLimit;
  const pid_t pid = ::fork();
  if (pid < 0) throw std::runtime_error("cannot fork: " + errnoText(errno));
  if (pid == 0) execChild(argv.data(), devNull.fd, outWrite.fd, statusWrite.fd);

  outWrite.reset();
  statusWrite.reset();
  devNull.reset();

  CommandResult result;
  int status = 0;

  // The status pipe closes at a successful exec (close-on-exec) or carries exec's errno.
  int execErrno = 0;
  ssize_t got;
  do {
    got = ::read(statusRead.fd, &execErrno, sizeof execErrno);
  } while (got < 0 && errno == EINTR);
  if (got == static_cast<ssize_t>(sizeof execErrno)) {
    reap(pid, status);
    result.outcome = CommandResult::Outcome::notStarted;
    result.code = execErrno;
    return result;
  }

  try {
    char buffer[4096];
    auto take = [&](ssize_t n) {
      const auto room = maxOutput - std::min(maxOutput, result.output.size());
      result.output.append(buffer, std::min(room, static_cast<std::size_t>(n)));
      if (static_cast<std::size_t>(n) > room) result.truncated = true;
    };
    for (;;) {
      boost::this_thread::interruption_point();
      if (Clock::now() >= deadline) break;
      pollfd p{outRead.fd, POLLIN, 0};
      const int ready = ::poll(&p, 1, remainingMs(deadline));
      if (ready < 0 && errno != EINTR) break;
      if (ready == 0) {
        // Something the command left behind may hold the output open after the command has
        // ended; it is ended below with the session, and is no reason to wait for the time limit.
        if (hasEnded(pid)) break;
        continue;
      }
      if (ready < 0) continue;
      const ssize_t n = ::read(outRead.fd, buffer, sizeof buffer);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) break;
      take(n);
    }
    for (;;) {
      if (hasEnded(pid)) break;
      boost::this_thread::interruption_point();
      if (Clock::now() >= deadline) {
        killSession(pid);
        reap(pid, status);
        result.outcome = CommandResult::Outcome::timedOut;
        return result;
      }
      ::poll(nullptr, 0, std::min(10, std::max(1, remainingMs(deadline))));
    }
  } catch (...) {
    killSession(pid);
    reap(pid, status);
    throw;
  }
  // Whatever the command started dies with it, so nothing outlives an attempt.
  killSession(pid);
  reap(pid, status);
  if (WIFSIGNALED(status)) {
    result.outcome = CommandResult::Outcome::signalled;
    result.code = WTERMSIG(status);
  } else {
    result.outcome = CommandResult::Outcome::exited;
    result.code = WEXITSTATUS(status);
  }
  return result;
}

} // namespace orvane::device::detail
