// Application::checkLiveness() in normal mode: what a service watchdog relies on to tell a hung
// module loop from one that waits, pauses or has nothing to do. The module threads run freely,
// so the test waits for the states it provokes (with a generous deadline that only ends a failing
// run), never for a time.

#include "framework/Orvane.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <future>
#include <thread>

using namespace orvane;

namespace {

using Clock = std::chrono::steady_clock;
constexpr auto forever = std::chrono::hours(1);

// Blocks outside the framework (as a deadlock or a hung driver call would) after every update,
// until the test releases it.
struct Blocker : ApplicationModule {
  using ApplicationModule::ApplicationModule;
  ScalarPushInput<int32_t> hold{this, "hold", "", ""};
  std::promise<void> entered;
  std::promise<void> release;
  void mainLoop() override {
    for (;;) {
      hold.read();
      entered.set_value();
      release.get_future().wait();
    }
  }
};

// Pauses for an hour after every update: a configured delay, not a hang.
struct Pauser : ApplicationModule {
  using ApplicationModule::ApplicationModule;
  ScalarPushInput<int32_t> start{this, "start", "", ""};
  ScalarOutput<int32_t> pausing{this, "pausing", "", ""};
  void mainLoop() override {
    for (;;) {
      start.read();
      pausing = 1;
      pausing.write();
      sleepFor(boost::chrono::hours(1));
    }
  }
};

// Has nothing to loop for.
struct Quitter : ApplicationModule {
  using ApplicationModule::ApplicationModule;
  void mainLoop() override {}
};

struct App : Application {
  App() : Application("livenesstest") {}
  ~App() override { shutdown(); }
  Blocker blocker{this, "Blocker", ""};
  Pauser pauser{this, "Pauser", ""};
  Quitter quitter{this, "Quitter", ""};
  void defineConnections() override { findTag(".*").connectTo(ControlSystemModule{}); }

  void write(const std::string& path, int32_t value) {
    processVariables().find(path)->write(AnyVector(std::in_place_type<std::vector<int32_t>>, {value}));
  }
};

// Waits until the report satisfies `done`; the deadline only ends a run that would hang.
LivenessReport awaitReport(const App& app, Clock::duration limit,
                           const std::function<bool(const LivenessReport&)>& done) {
  const auto deadline = Clock::now() + std::chrono::seconds(30);
  auto report = app.checkLiveness(limit);
  while (!done(report) && Clock::now() < deadline) {
    std::this_thread::yield();
    report = app.checkLiveness(limit);
  }
  return report;
}

TEST(Liveness, WaitingPausingAndEndedLoopsAreAliveABlockedOneIsStuckUntilItMovesOn) {
  App app;
  // Before run() nothing is listed, so nothing can be stuck and nothing counts as started yet.
  EXPECT_TRUE(app.checkLiveness(Clock::duration::zero()).alive);
  EXPECT_FALSE(app.hasStarted());
  app.run();
  EXPECT_TRUE(app.hasStarted()); // no device, so no condition to wait for

  auto settled = awaitReport(app, Clock::duration::zero(),
                             [](const LivenessReport& r) { return r.waiting == 2 && r.ended == 1; });
  EXPECT_TRUE(settled.alive);
  EXPECT_EQ(settled.busy, 0u);

  app.write("/Pauser/start", 1);
  // Busy between the update and the pause; within the pause it is idle again.
  auto paused = awaitReport(app, Clock::duration::zero(), [&app](const LivenessReport& r) {
    return r.waiting == 2 &&
           anyVectorAs<int32_t>(app.processVariables().find("/Pauser/pausing")->get().value).at(0) == 1;
  });
  EXPECT_TRUE(paused.alive) << paused.stuckModule;

  auto entered = app.blocker.entered.get_future();
  app.write("/Blocker/hold", 1);
  entered.wait();
  auto stuck = app.checkLiveness(Clock::duration::zero());
  EXPECT_FALSE(stuck.alive);
  EXPECT_EQ(stuck.stuckModule, "/livenesstest/Blocker");
  EXPECT_GT(stuck.busyFor, Clock::duration::zero());
  EXPECT_EQ(stuck.busy, 1u);
  // Within a generous limit the same loop is merely busy.
  auto busy = app.checkLiveness(forever);
  EXPECT_TRUE(busy.alive);
  EXPECT_EQ(busy.busy, 1u);

  app.blocker.release.set_value();
  auto again = awaitReport(app, Clock::duration::zero(), [](const LivenessReport& r) { return r.alive; });
  EXPECT_TRUE(again.alive) << again.stuckModule;
  EXPECT_EQ(again.waiting, 2u);

  // The hour-long pause must not hold up the shutdown.
  app.shutdown();
}

} // namespace
