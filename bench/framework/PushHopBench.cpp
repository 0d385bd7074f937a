// Latency of one push-input hop: a value written by one module loop until the module loop that
// waits on it has read it. Two modules play ping-pong; half a round trip is one hop. Two
// baselines from the same run: the same ping-pong between two plain threads over a mutex and
// condition variable, and the executor's own floor, two bare tasks handing a counter over through
// inboxes (no accessors, no networks): what the mechanism costs below the framework.
//
//   bench_push_hop [ROUND_TRIPS]   (default 20000)

#include "framework/Executor.hpp"
#include "framework/Orvane.hpp"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <future>
#include <mutex>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

size_t roundTrips = 20000;
std::vector<double> frameworkHops; // µs
std::promise<void> frameworkDone;

struct Ping : orvane::ApplicationModule {
  using ApplicationModule::ApplicationModule;
  orvane::ModifyHierarchy<orvane::ScalarOutput<int64_t>> ping{this, "/Hop/ping", "", ""};
  orvane::ModifyHierarchy<orvane::ScalarPushInput<int64_t>> pong{this, "/Hop/pong", "", ""};
  void prepare() override { ping->write(); }
  void mainLoop() override {
    frameworkHops.reserve(roundTrips);
    for (size_t i = 1; i <= roundTrips; ++i) {
      ping.value = static_cast<int64_t>(i);
      const auto t0 = Clock::now();
      ping->write();
      pong->read();
      const auto t1 = Clock::now();
      frameworkHops.push_back(std::chrono::duration<double, std::micro>(t1 - t0).count() / 2);
    }
    frameworkDone.set_value();
    for (;;)
      pong->read(); // until shutdown
  }
};

struct Pong : orvane::ApplicationModule {
  using ApplicationModule::ApplicationModule;
  orvane::ModifyHierarchy<orvane::ScalarPushInput<int64_t>> ping{this, "/Hop/ping", "", ""};
  orvane::ModifyHierarchy<orvane::ScalarOutput<int64_t>> pong{this, "/Hop/pong", "", ""};
  void prepare() override { pong->write(); }
  void mainLoop() override {
    for (;;) {
      ping->read();
      pong.value = ping.value;
      pong->write();
    }
  }
};

struct HopApp : orvane::Application {
  HopApp() : Application("benchpushhop") {}
  ~HopApp() override { shutdown(); }
  Ping ping{this, "Ping", ""};
  Pong pong{this, "Pong", ""};
  void defineConnections() override {}
};

std::vector<double> conditionVariableHops() {
  std::mutex m;
  std::condition_variable cv;
  int64_t ping = 0;
  int64_t pong = 0;
  std::thread other([&] {
    std::unique_lock<std::mutex> l(m);
    for (size_t i = 1; i <= roundTrips; ++i) {
      cv.wait(l, [&] { return ping == static_cast<int64_t>(i); });
      pong = ping;
      cv.notify_all();
    }
  });
  std::vector<double> hops;
  hops.reserve(roundTrips);
  for (size_t i = 1; i <= roundTrips; ++i) {
    const auto t0 = Clock::now();
    {
      std::unique_lock<std::mutex> l(m);
      ping = static_cast<int64_t>(i);
      cv.notify_all();
      cv.wait(l, [&] { return pong == static_cast<int64_t>(i); });
    }
    const auto t1 = Clock::now();
    hops.push_back(std::chrono::duration<double, std::micro>(t1 - t0).count() / 2);
  }
  other.join();
  return hops;
}

std::vector<double> taskHops() {
  orvane::detail::Executor executor(2);
  orvane::detail::Inbox pingBox, pongBox;
  int64_t ping = 0, pong = 0; // guarded by their inbox
  std::vector<double> hops;
  hops.reserve(roundTrips);
  std::promise<void> done;
  executor.spawn("pong", [&] {
    for (size_t i = 1; i <= roundTrips; ++i) {
      pingBox.waitUntil([&] { return ping == static_cast<int64_t>(i); });
      orvane::detail::Task* waiter;
      {
        boost::lock_guard<boost::mutex> g(pongBox.mutex);
        pong = static_cast<int64_t>(i);
        waiter = pongBox.takeWaiterLocked();
      }
      orvane::detail::wake(waiter);
    }
  });
  executor.spawn("ping", [&] {
    for (size_t i = 1; i <= roundTrips; ++i) {
      const auto t0 = Clock::now();
      orvane::detail::Task* waiter;
      {
        boost::lock_guard<boost::mutex> g(pingBox.mutex);
        ping = static_cast<int64_t>(i);
        waiter = pingBox.takeWaiterLocked();
      }
      orvane::detail::wake(waiter);
      pongBox.waitUntil([&] { return pong == static_cast<int64_t>(i); });
      hops.push_back(std::chrono::duration<double, std::micro>(Clock::now() - t0).count() / 2);
    }
    done.set_value();
  });
  done.get_future().wait();
  executor.shutdown();
  return hops;
}

struct Figures {
  double median;
  double p99;
};

Figures figures(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return {v[v.size() / 2], v[std::min(v.size() - 1, v.size() * 99 / 100)]};
}

} // namespace

int main(int argc, char** argv) {
  if (argc > 1) roundTrips = std::strtoul(argv[1], nullptr, 10);
  if (roundTrips < 100) {
    std::fprintf(stderr, "bench_push_hop: at least 100 round trips, please\n");
    return 2;
  }
  // The baseline first and last, so that a change of machine load during the run shows.
  const Figures before = figures(conditionVariableHops());
  Figures hop{};
  {
    HopApp app;
    app.initialise();
    app.run();
    frameworkDone.get_future().wait();
    hop = figures(frameworkHops);
  }
  const Figures after = figures(conditionVariableHops());
  const Figures floor = figures(taskHops());
  const Figures base{std::min(before.median, after.median), std::min(before.p99, after.p99)};
  std::printf("%zu round trips, one hop = half a round trip\n", roundTrips);
  std::printf("%-34s median %8.2f us   p99 %8.2f us\n", "push-input hop (framework)", hop.median, hop.p99);
  std::printf("%-34s median %8.2f us   p99 %8.2f us   (runs: %.2f / %.2f)\n",
              "condition-variable hop (baseline)", base.median, base.p99, before.median, after.median);
  std::printf("ratio to baseline                  median %8.2fx   p99 %8.2fx\n", hop.median / base.median,
              hop.p99 / base.p99);
  std::printf(
      "RESULT {\"figure\": \"push-input hop median\", \"value\": %.4g, \"unit\": \"us\", \"baseline\": "
      "\"condition-variable hop\", \"baseline_value\": %.4g}\n",
      hop.median, base.median);
  std::printf("RESULT {\"figure\": \"push-input hop p99\", \"value\": %.4g, \"unit\": \"us\", \"baseline\": "
              "\"condition-variable hop\", \"baseline_value\": %.4g}\n",
              hop.p99, base.p99);
  std::printf("%-34s median %8.2f us   p99 %8.2f us\n", "bare task hop (executor floor)", floor.median,
              floor.p99);
  std::printf("RESULT {\"figure\": \"push-input hop median vs. executor floor\", \"value\": %.4g, \"unit\": "
              "\"us\", \"baseline\": \"bare task hop\", \"baseline_value\": %.4g}\n",
              hop.median, floor.median);
  return 0;
}
