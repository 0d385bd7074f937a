// Trigger to board: the whole application in one process on a shared-memory board, every channel
// enabled and ramping; a trigger is written at 1 kHz as the CA server's generator writes it, and
// the time runs until the last channel's dcVoltage register has been written for that trigger
// (the register is written before the variable's control-system copy, whose update hook stops
// the clock). Baseline in the same run: one hop between two threads over a condition variable.
//
//   bench_trigger_board DEPLOY_DIR CHANNELS [TRIGGERS]
#include "BenchBoard.hpp"
#include "app/QuellorCtrlServer.hpp"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <fcntl.h>
#include <mutex>
#include <optional>
#include <thread>
#include <unistd.h>

namespace {

using bench::result;

using Clock = std::chrono::steady_clock;
using orvane::AnyVector;

std::vector<double> conditionVariableHops(size_t n) {
  std::mutex m;
  std::condition_variable cv;
  size_t ping = 0, pong = 0;
  std::thread other([&] {
    std::unique_lock<std::mutex> l(m);
    for (size_t i = 1; i <= n; ++i) {
      cv.wait(l, [&] { return ping == i; });
      pong = i;
      cv.notify_all();
    }
  });
  std::vector<double> hops;
  for (size_t i = 1; i <= n; ++i) {
    const auto t0 = Clock::now();
    std::unique_lock<std::mutex> l(m);
    ping = i;
    cv.notify_all();
    cv.wait(l, [&] { return pong == i; });
    hops.push_back(std::chrono::duration<double, std::micro>(Clock::now() - t0).count() / 2);
  }
  other.join();
  return hops;
}

double percentile(std::vector<double> v, double p) {
  std::sort(v.begin(), v.end());
  return v[std::min(v.size() - 1, static_cast<size_t>(static_cast<double>(v.size()) * p))];
}

} // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: bench_trigger_board DEPLOY_DIR CHANNELS [TRIGGERS]\n");
    return 2;
  }
  const std::string deployDir = std::filesystem::absolute(argv[1]);
  const int channels = std::atoi(argv[2]);
  const size_t triggers = argc > 3 ? std::strtoul(argv[3], nullptr, 10) : 3000;
  const auto dir =
      std::filesystem::temp_directory_path() / ("quellor-bench-t2b-" + std::to_string(::getpid()));
  const std::string shm = "quellor-bench-t2b-" + std::to_string(::getpid());
  std::vector<double> latencies;
  int ownStdout = -1;
  try {
    // Steps far smaller than the ramp, so that every trigger of the run moves every channel.
    bench::writeRuntimeDirectory(dir, deployDir, channels, shm, "0.0001");
    bench::ShmBoard board(shm, bench::boardLayout(deployDir + "/quellor.map", channels).requiredBytes);
    std::filesystem::current_path(dir);
    // The banner and listings of the application are not the benchmark's output.
    std::fflush(stdout);
    ownStdout = ::dup(1);
    const int devNull = ::open("/dev/null", O_WRONLY);
    ::dup2(devNull, 1);
    ::close(devNull);
    quellor::QuellorCtrlServer app;
    app.initialise();
    auto& pvs = app.processVariables();
    std::vector<size_t> boardWrites;
    boardWrites.reserve(static_cast<size_t>(channels));
    for (int c = 0; c < channels; ++c)
      boardWrites.push_back(pvs.find("/Channel" + std::to_string(c) + "/dcVoltage")->index());
    std::sort(boardWrites.begin(), boardWrites.end());

    std::mutex mutex;
    std::condition_variable done;
    orvane::VersionNumber expected{nullptr};
    Clock::time_point written;
    int count = 0;
    std::optional<double> latency;
    pvs.addUpdateHook([&](const orvane::ProcessVariable& pv) {
      if (!std::binary_search(boardWrites.begin(), boardWrites.end(), pv.index())) return;
      const auto now = Clock::now();
      const auto version = pv.get().version;
      std::lock_guard g(mutex);
      if (version != expected || ++count != channels) return;
      latency = std::chrono::duration<double, std::micro>(now - written).count();
      done.notify_one();
    });
    app.run();

    auto write = [&](const std::string& path, auto value, orvane::VersionNumber version = {}) {
      using T = decltype(value);
      pvs.find(path)->write(AnyVector(std::in_place_type<std::vector<T>>, std::vector<T>{value}), version);
    };
    for (int c = 0; c < channels; ++c)
      write("/Channel" + std::to_string(c) + "/StateMachine/requestedState", int32_t{1});
    const auto deadline = Clock::now() + std::chrono::seconds(30);
    for (int c = 0; c < channels; ++c) {
      const auto* state = pvs.find("/Channel" + std::to_string(c) + "/StateMachine/currentState");
      while (std::get<std::vector<int32_t>>(state->get().value).at(0) != 1) {
        if (Clock::now() > deadline) throw std::runtime_error("channels did not reach ENABLED");
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
      }
    }
    for (int c = 0; c < channels; ++c)
      write("/Channel" + std::to_string(c) + "/VoltageSumLimiter/dcVoltageSetpoint", 50.0);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));

    const size_t warmup = 200;
    auto next = Clock::now();
    for (size_t k = 1; k <= warmup + triggers; ++k) {
      next += std::chrono::milliseconds(1);
      std::this_thread::sleep_until(next);
      orvane::VersionNumber version;
      {
        std::lock_guard g(mutex);
        expected = version;
        count = 0;
        latency.reset();
        written = Clock::now();
      }
      write("/Server/triggerNumber", static_cast<int64_t>(k), version);
      std::unique_lock l(mutex);
      if (!done.wait_for(l, std::chrono::seconds(5), [&] { return latency.has_value(); }))
        throw std::runtime_error("trigger " + std::to_string(k) + " did not reach every channel");
      if (k > warmup) latencies.push_back(*latency);
    }
    app.shutdown();
  } catch (const std::exception& e) {
    std::fprintf(stderr, "bench_trigger_board: %s\n", e.what());
    std::filesystem::current_path("/");
    std::filesystem::remove_all(dir);
    return 1;
  }
  std::filesystem::current_path("/");
  std::filesystem::remove_all(dir);
  std::fflush(stdout);
  if (ownStdout >= 0) ::dup2(ownStdout, 1);
  const auto hops = conditionVariableHops(2000);
  const double hop = percentile(hops, 0.5);
  const std::string tag = std::to_string(channels) + "ch@1kHz";
  result("trigger to board " + tag + " median", percentile(latencies, 0.5), "us", "condition-variable hop",
         hop);
  result("trigger to board " + tag + " p99", percentile(latencies, 0.99), "us", "condition-variable hop",
         hop);
  return 0;
}
