// quellor_server as a whole, from outside: a benchmark-owned shared-memory board, the server's
// own trigger generator, operator steps over Channel Access (libca), the board's registers read
// directly and the server's CPU time from /proc.
//
//   bench_server ramp SERVER DEPLOY_DIR [CHANNELS] [SECONDS] [RATE...]
//     every channel enabled and ramping 0 -> 50 V -> 0 (0.5 V per trigger) for SECONDS per rate:
//     ramp time against the ideal (median and worst), server CPU, values lost (the server's own
//     report at exit, where it gives one)
//   bench_server startup SERVER XMLGEN DEPLOY_DIR
//     start-up time of quellor_xmlgen and quellor_server with 32 channels beside the start of
//     /bin/true; resident memory with 8 and 32 channels beside the server without channels
//
// Output: one "RESULT {json}" line per figure, read by bench/run.sh.
#include "BenchBoard.hpp"
#include "LibCa.h"

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <optional>
#include <regex>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/wait.h>

namespace {

using bench::result;

using Clock = std::chrono::steady_clock;
namespace fs = std::filesystem;

int freeUdpPort() {
  const int s = ::socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t n = sizeof a;
  const bool bound = ::bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
                     ::getsockname(s, reinterpret_cast<sockaddr*>(&a), &n) == 0;
  ::close(s);
  // Port 0 would leave the choice to every later user of the variable, one port each.
  if (!bound) throw std::runtime_error("no free UDP port on 127.0.0.1");
  return ntohs(a.sin_port);
}

double cpuSeconds(pid_t pid) {
  std::ifstream f("/proc/" + std::to_string(pid) + "/stat");
  std::string text((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
  std::istringstream rest(text.substr(text.rfind(')') + 2));
  std::vector<std::string> fields{std::istream_iterator<std::string>(rest), {}};
  if (fields.size() < 13) return 0;
  return (std::stod(fields[11]) + std::stod(fields[12])) / static_cast<double>(::sysconf(_SC_CLK_TCK));
}

double residentMiB(pid_t pid) {
  std::ifstream f("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(f, line))
    if (line.rfind("VmRSS:", 0) == 0) return std::stod(line.substr(6)) / 1024.0;
  return 0;
}

std::string readFile(const fs::path& p) {
  std::ifstream f(p);
  return std::string((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
}

void sleepFor(std::chrono::nanoseconds d) {
  timespec ts{static_cast<time_t>(d.count() / 1000000000), static_cast<long>(d.count() % 1000000000)};
  while (::clock_nanosleep(CLOCK_MONOTONIC, 0, &ts, &ts) != 0) {
  }
}

/// One quellor_server process in a runtime directory, with the CA environment of the benchmark.
class ServerProcess {
 public:
  ServerProcess(const std::string& binary, const fs::path& dir, const std::vector<std::string>& extra)
      : dir_(dir), repeaterPort_(freeUdpPort()) {
    fs::remove(dir / "server.err"); // a last run's "serving" line must not be taken for this one's
    started_ = Clock::now();
    pid_ = ::fork();
    if (pid_ == 0) {
      if (::chdir(dir.c_str()) != 0) std::_Exit(126);
      setCaEnvironment(0);
      std::freopen("server.out", "w", stdout);
      std::freopen("server.err", "w", stderr);
      std::vector<std::string> args{binary,
                                    "--prefix",
                                    "BQ:",
                                    "--interface",
                                    "127.0.0.1",
                                    "--port",
                                    "0",
                                    "--persist",
                                    "none",
                                    "--beacon-address",
                                    "127.255.255.255:" + std::to_string(repeaterPort_)};
      args.insert(args.end(), extra.begin(), extra.end());
      std::vector<char*> argv;
      argv.reserve(args.size() + 1);
      for (auto& a : args)
        argv.push_back(a.data());
      argv.push_back(nullptr);
      ::execv(binary.c_str(), argv.data());
      std::_Exit(127);
    }
    const std::regex serving(R"(serving \d+ channels with prefix \S+ on [0-9.]+:(\d+))");
    const auto deadline = Clock::now() + std::chrono::seconds(60);
    while (Clock::now() < deadline) {
      std::smatch m;
      const std::string err = readFile(dir / "server.err");
      if (std::regex_search(err, m, serving)) {
        port_ = std::stoi(m[1]);
        break;
      }
      int status = 0;
      if (::waitpid(pid_, &status, WNOHANG) == pid_) {
        pid_ = -1;
        throw std::runtime_error("quellor_server ended at start:\n" + err);
      }
      sleepFor(std::chrono::milliseconds(2));
    }
    if (port_ == 0)
      throw std::runtime_error("quellor_server did not start:\n" + readFile(dir / "server.err"));
  }
  ~ServerProcess() { stop(); }

  // In the forked child before exec, and in the benchmark before its CA client starts a thread.
  // NOLINTBEGIN(concurrency-mt-unsafe)
  void setCaEnvironment(int port) const {
    ::setenv("EPICS_CA_AUTO_ADDR_LIST", "NO", 1);
    ::setenv("EPICS_CA_ADDR_LIST", ("127.0.0.1:" + std::to_string(port)).c_str(), 1);
    ::setenv("EPICS_CAS_INTF_ADDR_LIST", "127.0.0.1", 1);
    ::setenv("EPICS_CAS_AUTO_BEACON_ADDR_LIST", "NO", 1);
    ::setenv("EPICS_CAS_BEACON_ADDR_LIST", "127.255.255.255", 1);
    ::setenv("EPICS_CA_REPEATER_PORT", std::to_string(repeaterPort_).c_str(), 1);
    ::setenv("EPICS_CAS_BEACON_PORT", std::to_string(repeaterPort_).c_str(), 1);
  }
  // NOLINTEND(concurrency-mt-unsafe)
  /// Exit status, or -1.
  int stop() {
    if (pid_ <= 0) return -1;
    ::kill(pid_, SIGTERM);
    int status = 0;
    for (int i = 0; i < 3000; ++i) {
      if (::waitpid(pid_, &status, WNOHANG) == pid_) {
        pid_ = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
      }
      sleepFor(std::chrono::milliseconds(10));
    }
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, &status, 0);
    pid_ = -1;
    return -1;
  }
  [[nodiscard]] pid_t pid() const { return pid_; }
  [[nodiscard]] int port() const { return port_; }
  [[nodiscard]] Clock::time_point started() const { return started_; }
  [[nodiscard]] std::string stderrText() const { return readFile(dir_ / "server.err"); }

 private:
  fs::path dir_;
  int repeaterPort_;
  pid_t pid_{-1};
  int port_{0};
  Clock::time_point started_;
};

/// A CA client context for one server.
class CaClient {
 public:
  explicit CaClient(const ServerProcess& server) {
    server.setCaEnvironment(server.port());
    if (ca_context_create(0) != ECA_NORMAL) throw std::runtime_error("ca_context_create failed");
  }
  ~CaClient() { ca_context_destroy(); }
  CaClient(const CaClient&) = delete;
  CaClient& operator=(const CaClient&) = delete;

  std::vector<chid> connect(const std::vector<std::string>& names, double timeout = 30) {
    std::vector<chid> ids(names.size());
    for (size_t i = 0; i < names.size(); ++i)
      ca_create_channel(names[i].c_str(), nullptr, nullptr, 0, &ids[i]);
    if (ca_pend_io(timeout) != ECA_NORMAL)
      throw std::runtime_error("CA channels did not connect: " + names[0] + " (" +
                               std::getenv("EPICS_CA_ADDR_LIST") + ")");
    return ids;
  }
  void putAll(const std::vector<chid>& ids, double value) {
    for (auto id : ids)
      ca_array_put(QCA_DBR_DOUBLE, 1, id, &value);
    ca_flush_io();
  }
  std::vector<double> getAll(const std::vector<chid>& ids) {
    std::vector<double> v(ids.size());
    for (size_t i = 0; i < ids.size(); ++i)
      ca_array_get(QCA_DBR_DOUBLE, 1, ids[i], &v[i]);
    if (ca_pend_io(10) != ECA_NORMAL) throw std::runtime_error("CA get timed out");
    return v;
  }
};

std::vector<std::string> channelNames(int n, const std::string& suffix) {
  std::vector<std::string> out;
  out.reserve(static_cast<std::size_t>(std::max(n, 0)));
  for (int c = 0; c < n; ++c)
    out.push_back("BQ:Channel" + std::to_string(c) + ":" + suffix);
  return out;
}

std::string shmName(const std::string& what) {
  return "quellor-bench-" + what + "-" + std::to_string(::getpid());
}

struct RampFigures {
  std::vector<double> ratios;
  double cpuShare{0};
  std::optional<long> lost;
};

RampFigures rampAtRate(const std::string& server, const std::string& deployDir, int channels, double rate,
                       double seconds) {
  const fs::path dir = fs::temp_directory_path() / ("quellor-bench-ramp-" + std::to_string(::getpid()));
  fs::remove_all(dir);
  const std::string shm = shmName("ramp");
  bench::writeRuntimeDirectory(dir, deployDir, channels, shm);
  bench::ShmBoard board(shm, bench::boardLayout(deployDir + "/quellor.map", channels).requiredBytes);
  RampFigures out;
  {
    ServerProcess proc(server, dir, {"--trigger-rate", std::to_string(rate)});
    CaClient ca(proc);
    auto requested = ca.connect(channelNames(channels, "StateMachine:requestedState"));
    auto current = ca.connect(channelNames(channels, "StateMachine:currentState"));
    auto setpoints = ca.connect(channelNames(channels, "VoltageSumLimiter:dcVoltageSetpoint"));
    ca.putAll(requested, 1);
    const auto enableDeadline = Clock::now() + std::chrono::seconds(30);
    for (;;) {
      auto states = ca.getAll(current);
      if (std::all_of(states.begin(), states.end(), [](double s) { return s == 1; })) break;
      if (Clock::now() > enableDeadline) throw std::runtime_error("channels did not reach ENABLED");
      sleepFor(std::chrono::milliseconds(20));
    }
    const double period = 1.0 / rate;
    const auto poll =
        std::chrono::nanoseconds(std::clamp<long>(static_cast<long>(period * 1e9 / 8), 20000, 1000000));
    const double ideal = 99 * period; // first step to hundredth step
    const double cpu0 = cpuSeconds(proc.pid());
    const auto t0 = Clock::now();
    double from = 0, to = 50;
    while (out.ratios.size() < 2 || std::chrono::duration<double>(Clock::now() - t0).count() < seconds) {
      ca.putAll(setpoints, to);
      std::optional<Clock::time_point> first;
      const auto deadline = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                               std::chrono::duration<double>(ideal * 10 + 5));
      for (;;) {
        const auto now = Clock::now();
        bool all = true, any = false;
        for (int c = 0; c < channels; ++c) {
          const double v = board.dcVoltage(c);
          all &= v == to;
          any |= v != from;
        }
        if (any && !first) first = now;
        if (all) {
          out.ratios.push_back(std::chrono::duration<double>(now - *first).count() / ideal);
          break;
        }
        if (now > deadline) throw std::runtime_error("a ramp did not end");
        sleepFor(poll);
      }
      std::swap(from, to);
    }
    out.cpuShare = (cpuSeconds(proc.pid()) - cpu0) / std::chrono::duration<double>(Clock::now() - t0).count();
    proc.stop();
    std::smatch m;
    const std::string err = proc.stderrText();
    if (std::regex_search(err, m, std::regex(R"((\d+) values? lost)"))) out.lost = std::stol(m[1]);
  }
  fs::remove_all(dir);
  return out;
}

int ramp(int argc, char** argv) {
  if (argc < 4) return 2;
  const std::string server = fs::absolute(argv[2]), deployDir = fs::absolute(argv[3]);
  const int channels = argc > 4 ? std::atoi(argv[4]) : 32;
  const double seconds = argc > 5 ? std::atof(argv[5]) : 4;
  std::vector<double> rates;
  for (int i = 6; i < argc; ++i)
    rates.push_back(std::atof(argv[i]));
  if (rates.empty()) rates = {100, 1000, 2000, 5000, 10000};
  for (double rate : rates) {
    const auto f = rampAtRate(server, deployDir, channels, rate, seconds);
    auto sorted = f.ratios;
    std::sort(sorted.begin(), sorted.end());
    const std::string tag = std::to_string(channels) + "ch@" + std::to_string(static_cast<int>(rate)) + "Hz";
    result("ramp time " + tag + " median (" + std::to_string(sorted.size()) + " ramps)",
           sorted[sorted.size() / 2], "x", "ideal", 1.0);
    result("ramp time " + tag + " worst", sorted.back(), "x", "ideal", 1.0);
    result("server CPU " + tag, f.cpuShare * 100, "% of a core", "one core", 100);
    result("values lost " + tag, f.lost ? static_cast<double>(*f.lost) : -1,
           f.lost ? "values" : "n/a (not reported)", "none", 0);
  }
  return 0;
}

double medianOf(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

double runToEnd(const std::vector<std::string>& args, const fs::path& dir) {
  const auto t0 = Clock::now();
  const pid_t pid = ::fork();
  if (pid == 0) {
    if (::chdir(dir.c_str()) != 0) std::_Exit(126);
    std::freopen("/dev/null", "w", stdout);
    std::vector<char*> argv;
    argv.reserve(args.size() + 1);
    for (auto& a : args)
      argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    ::execv(args[0].c_str(), argv.data());
    std::_Exit(127);
  }
  int status = 0;
  ::waitpid(pid, &status, 0);
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) throw std::runtime_error(args[0] + " failed");
  return std::chrono::duration<double, std::milli>(Clock::now() - t0).count();
}

int startup(int argc, char** argv) {
  if (argc < 5) return 2;
  const std::string server = fs::absolute(argv[2]), xmlgen = fs::absolute(argv[3]),
                    deployDir = fs::absolute(argv[4]);
  const fs::path dir = fs::temp_directory_path() / ("quellor-bench-start-" + std::to_string(::getpid()));
  std::vector<double> trueMs, xmlgenMs;
  fs::remove_all(dir);
  bench::writeRuntimeDirectory(dir, deployDir, 32, shmName("start"));
  for (int i = 0; i < 5; ++i) {
    trueMs.push_back(runToEnd({"/bin/true"}, dir));
    xmlgenMs.push_back(runToEnd({xmlgen}, dir));
  }
  result("start-up quellor_xmlgen 32ch", medianOf(xmlgenMs), "ms", "/bin/true", medianOf(trueMs));

  std::map<int, double> rss;
  std::vector<double> serverMs;
  for (int channels : {0, 8, 32}) {
    fs::remove_all(dir);
    const std::string shm = shmName("start");
    bench::writeRuntimeDirectory(dir, deployDir, channels, shm);
    bench::ShmBoard board(shm, bench::boardLayout(deployDir + "/quellor.map", channels).requiredBytes);
    for (int i = 0; i < (channels == 32 ? 3 : 1); ++i) {
      ServerProcess proc(server, dir, {"--trigger-rate", "10"});
      {
        // Serving means answering: the CA server runs only after every module has started.
        CaClient ca(proc);
        auto id = ca.connect({"BQ:Server:triggerNumber"});
        ca.getAll(id);
        if (channels == 32)
          serverMs.push_back(
              std::chrono::duration<double, std::milli>(Clock::now() - proc.started()).count());
      }
      sleepFor(std::chrono::seconds(1));
      rss[channels] = residentMiB(proc.pid());
    }
  }
  fs::remove_all(dir);
  result("start-up quellor_server 32ch (until a CA get answers)", medianOf(serverMs), "ms", "/bin/true",
         medianOf(trueMs));
  result("resident memory 8ch", rss[8], "MiB", "server without channels", rss[0]);
  result("resident memory 32ch", rss[32], "MiB", "server without channels", rss[0]);
  return 0;
}

} // namespace

int main(int argc, char** argv) {
  std::signal(SIGPIPE, SIG_IGN);
  const std::string mode = argc > 1 ? argv[1] : "";
  try {
    if (mode == "ramp") return ramp(argc, argv);
    if (mode == "startup") return startup(argc, argv);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "bench_server: %s\n", e.what());
    return 1;
  }
  std::fprintf(stderr, "usage: bench_server ramp SERVER DEPLOY_DIR [CHANNELS] [SECONDS] [RATE...]\n"
                       "       bench_server startup SERVER XMLGEN DEPLOY_DIR\n");
  return 2;
}
