// How module loops run: as tasks on shared worker threads in normal mode, stepped in the test's
// thread in testable mode. What a module sees must not depend on which of the two it is.
#include "framework/Log.hpp"
#include "framework/Orvane.hpp"
#include "framework/TestFacility.hpp"

#include <gtest/gtest.h>

#include <sys/mman.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <future>
#include <thread>

using namespace orvane;

namespace {

// Reads only `wanted`; `ignored` fills up and is never taken.
struct Picky : ApplicationModule {
  using ApplicationModule::ApplicationModule;
  ScalarPushInput<int32_t> wanted{this, "wanted", "", ""};
  ScalarPushInput<int32_t> ignored{this, "ignored", "", ""};
  ScalarOutput<int32_t> seen{this, "seen", "", ""};
  void mainLoop() override {
    for (;;) {
      wanted.read();
      seen = wanted;
      seen.write();
    }
  }
};

// Its input `never` is fed by a module output that is never written: the loop cannot start.
struct Starved : ApplicationModule {
  using ApplicationModule::ApplicationModule;
  ScalarPushInput<int32_t> fromOperator{this, "fromOperator", "", ""};
  ModifyHierarchy<ScalarPushInput<int32_t>> never{this, "/Silent/value", "", ""};
  std::atomic<bool> started{false};
  void mainLoop() override {
    started = true;
    for (;;)
      fromOperator.read();
  }
};

struct Silent : ApplicationModule {
  using ApplicationModule::ApplicationModule;
  ScalarOutput<int32_t> value{this, "value", "", ""};
  ScalarPushInput<int32_t> go{this, "go", "", ""};
  void mainLoop() override {
    for (;;)
      go.read();
  }
};

struct RestApp : Application {
  RestApp() : Application("restapp") {}
  ~RestApp() override { shutdown(); }
  Picky picky{this, "Picky", ""};
  Starved starved{this, "Starved", ""};
  Silent silent{this, "Silent", ""};
  void defineConnections() override { findTag(".*").connectTo(ControlSystemModule{}); }
};

TEST(TestableMode, RestsWhileQueuesHoldValuesNobodyWaitsFor) {
  RestApp app;
  TestFacility tf(app);
  tf.runApplication();
  // Values for an input the loop never reads, and for a loop that still waits for the initial
  // value of another input: neither may keep stepApplication() from returning.
  for (int i = 0; i < 5; ++i) {
    tf.writeScalar<int32_t>("/Picky/ignored", i);
    tf.writeScalar<int32_t>("/Starved/fromOperator", i);
    tf.stepApplication();
  }
  EXPECT_FALSE(app.starved.started);
  tf.writeScalar<int32_t>("/Picky/wanted", 7);
  tf.stepApplication();
  EXPECT_EQ(tf.readScalar<int32_t>("/Picky/seen"), 7);
  EXPECT_EQ(app.picky.ignored.getLostCount(), 2U); // depth 3: the two last values replaced the newest
}

// Waits for the next value of `go` or until a deadline that has passed already, and tells which.
struct Impatient : ApplicationModule {
  using ApplicationModule::ApplicationModule;
  ScalarPushInput<int32_t> go{this, "go", "", ""};
  ScalarOutput<int32_t> gotNext{this, "gotNext", "", ""};
  void mainLoop() override {
    for (;;) {
      go.read();
      const bool next = inbox().waitUntil([this] { return !go.queue()->emptyLocked(); },
                                          detail::WaitClock::now() - std::chrono::seconds(1));
      gotNext = next ? 1 : 0;
      gotNext.write();
    }
  }
};

struct ImpatientApp : Application {
  ImpatientApp() : Application("impatientapp") {}
  ~ImpatientApp() override { shutdown(); }
  Impatient impatient{this, "Impatient", ""};
  void defineConnections() override { findTag(".*").connectTo(ControlSystemModule{}); }
};

TEST(TestableMode, DeadlinesNeverPass) {
  // A test must take the same steps however slow the machine: testable mode has no clock.
  ImpatientApp app;
  TestFacility tf(app);
  tf.runApplication();
  tf.writeScalar<int32_t>("/Impatient/go", 1);
  tf.stepApplication();
  EXPECT_TRUE(tf.takeUpdates<int32_t>("/Impatient/gotNext").empty());
  tf.writeScalar<int32_t>("/Impatient/go", 2);
  tf.stepApplication();
  EXPECT_EQ(tf.takeUpdates<int32_t>("/Impatient/gotNext"), std::vector<int32_t>{1});
}

// Two loops bounce a counter; a thread of its own feeds a third input at the same time. Every
// value must arrive: a wake-up lost between two workers would stall the bounce for ever.
struct Bouncer : ApplicationModule {
  Bouncer(EntityOwner* owner, const std::string& name, const std::string& inPath, const std::string& outPath,
          bool starts)
      : ApplicationModule(owner, name, ""), in(this, inPath, "", ""), out(this, outPath, "", ""),
        first(starts) {}
  ModifyHierarchy<ScalarPushInput<int64_t>> in;
  ModifyHierarchy<ScalarOutput<int64_t>> out;
  bool first;
  std::promise<void> done;
  int64_t rounds{0};
  void prepare() override { out->write(); }
  void mainLoop() override {
    if (first) {
      out.value = 1;
      out->write();
    }
    for (;;) {
      in->read();
      if (first && in.value == rounds) done.set_value();
      out.value = in.value + 1;
      out->write();
    }
  }
};

struct Counter : ApplicationModule {
  using ApplicationModule::ApplicationModule;
  ModifyHierarchy<ScalarPushInput<int64_t>> feed{this, "/Feed/value", "", ""};
  std::atomic<int64_t> sum{0};
  void mainLoop() override {
    for (;;) {
      feed->read();
      sum += feed.value;
    }
  }
};

struct BounceApp : Application {
  BounceApp() : Application("bounceapp") {}
  ~BounceApp() override { shutdown(); }
  Bouncer a{this, "A", "/B/out", "/A/out", true};
  Bouncer b{this, "B", "/A/out", "/B/out", false};
  Counter counter{this, "Counter", ""};
  void defineConnections() override { findTag(".*").connectTo(ControlSystemModule{}); }
};

TEST(NormalMode, NoWakeUpIsLostBetweenWorkersAndOutsideThreads) {
  BounceApp app;
  app.a.rounds = 40000; // A gets the even values: 20000 round trips
  app.setWorkerThreads(2);
  app.initialise();
  auto* feed = app.processVariables().find("/Feed/value");
  app.run();
  int64_t expected = 0;
  std::thread outside([&] {
    for (int64_t i = 1; i <= 2000; ++i) {
      feed->write(AnyVector(std::in_place_type<std::vector<int64_t>>, std::vector<int64_t>{i}));
      expected += i;
      // One value at a time, so that the queue of depth 3 never overflows.
      while (app.counter.sum.load() != expected)
        std::this_thread::yield();
    }
  });
  auto bounced = app.a.done.get_future();
  EXPECT_EQ(bounced.wait_for(std::chrono::seconds(120)), std::future_status::ready);
  outside.join();
  EXPECT_EQ(app.counter.sum.load(), 2000 * 2001 / 2);
  app.shutdown();
}

// A loop that never waits holds its worker; the others must go on, and the holder must be named.
struct Spinner : ApplicationModule {
  using ApplicationModule::ApplicationModule;
  ScalarPushInput<int32_t> in{this, "in", "", ""};
  std::atomic<bool> release{false};
  std::atomic<bool> spinning{false};
  void mainLoop() override {
    in.read();
    spinning = true;
    while (!release.load()) {
    }
    for (;;)
      in.read();
  }
};

struct Echo : ApplicationModule {
  using ApplicationModule::ApplicationModule;
  ScalarPushInput<int32_t> in{this, "in", "", ""};
  std::promise<int32_t> got;
  void mainLoop() override {
    in.read();
    got.set_value(in);
    for (;;)
      in.read();
  }
};

struct Interrupted : ApplicationModule {
  using ApplicationModule::ApplicationModule;
  ScalarPushInput<int32_t> in{this, "in", "", ""};
  std::atomic<bool> sawInterruption{false};
  void mainLoop() override {
    try {
      for (;;)
        in.read();
    } catch (const boost::thread_interrupted&) {
      sawInterruption = true;
      throw;
    }
  }
};

struct StallApp : Application {
  StallApp() : Application("stallapp") {}
  ~StallApp() override { shutdown(); }
  Spinner spinner{this, "Spinner", ""};
  Echo echo{this, "Echo", ""};
  Interrupted interrupted{this, "Interrupted", ""};
  void defineConnections() override { findTag(".*").connectTo(ControlSystemModule{}); }
};

TEST(NormalMode, ALoopThatNeverWaitsIsNamedAndStarvesNobody) {
  StallApp app;
  app.setWorkerThreads(1);
  app.setStallLimit(std::chrono::milliseconds(50));
  app.initialise();
  app.run();
  EXPECT_TRUE(app.loopProblems().empty());
  log::Capture events;
  app.processVariables().find("/Spinner/in")->write(AnyVector(std::in_place_type<std::vector<int32_t>>, {1}));
  while (!app.spinner.spinning.load())
    std::this_thread::yield();
  // The only worker is held: the echo can only come from a spare worker.
  app.processVariables().find("/Echo/in")->write(AnyVector(std::in_place_type<std::vector<int32_t>>, {5}));
  auto echoed = app.echo.got.get_future();
  ASSERT_EQ(echoed.wait_for(std::chrono::seconds(60)), std::future_status::ready);
  EXPECT_EQ(echoed.get(), 5);
  std::vector<std::string> problems;
  while (problems.empty())
    problems = app.loopProblems();
  EXPECT_NE(problems.at(0).find("/stallapp/Spinner"), std::string::npos) << problems.at(0);
  app.spinner.release = true;
  app.shutdown();
  EXPECT_EQ(events.find("module /stallapp/Spinner has held a worker thread").size(), 1u);
  EXPECT_EQ(events.find("started a spare one").size(), 1u);
  // The interruption at shutdown reaches a loop as Boost.Thread's would.
  EXPECT_TRUE(app.interrupted.sawInterruption.load());
}

TEST(NormalMode, ShutdownReportsLostValues) {
  RestApp app;
  app.initialise();
  app.run();
  for (int i = 0; i < 5; ++i) // never read: the queue of depth 3 loses two
    app.processVariables()
        .find("/Picky/ignored")
        ->write(AnyVector(std::in_place_type<std::vector<int32_t>>, {i}));
  log::Capture events;
  app.shutdown();
  const auto said = events.entries();
  ASSERT_EQ(said.size(), 1u);
  EXPECT_EQ(said[0].severity, log::Severity::warning);
  EXPECT_EQ(said[0].source, "restapp");
  EXPECT_EQ(said[0].message, "2 values lost in the variable networks: /Picky/ignored 2");
  EXPECT_EQ(app.lostValues().total, 2U);
}

// Loops that wait with deadlines only: the workers fire each other's timers.
struct Napper : ApplicationModule {
  using ApplicationModule::ApplicationModule;
  ScalarOutput<int32_t> naps{this, "naps", "", ""};
  std::promise<void> done;
  void mainLoop() override {
    for (int i = 0; i < 300; ++i)
      interruptibleSleep(std::chrono::milliseconds(1));
    naps = 300;
    naps.write();
    done.set_value();
    for (;;)
      interruptibleSleep(std::chrono::hours(1));
  }
};

struct NapApp : Application {
  NapApp() : Application("napapp") {}
  ~NapApp() override { shutdown(); }
  Napper n1{this, "N1", ""};
  Napper n2{this, "N2", ""};
  Napper n3{this, "N3", ""};
  Napper n4{this, "N4", ""};
  void defineConnections() override { findTag(".*").connectTo(ControlSystemModule{}); }
};

// An idle worker sleeps until the earliest timer while another one may fire it: the sleeping one
// must not look at a timer that is gone (the address sanitizer run of this test shows it).
TEST(NormalMode, TimersFiredByAnotherWorkerWakeEveryNapper) {
  NapApp app;
  app.setWorkerThreads(2);
  app.initialise();
  app.run();
  for (auto* n : {&app.n1, &app.n2, &app.n3, &app.n4})
    EXPECT_EQ(n->done.get_future().wait_for(std::chrono::seconds(120)), std::future_status::ready);
  app.shutdown();
}

// A loop that returns gives its stack back; memory mapped at that place later must be usable as
// any other (the address sanitizer kept the stack's marks on the unmapped pages).
struct Brief : ApplicationModule {
  using ApplicationModule::ApplicationModule;
  ScalarOutput<int32_t> out{this, "out", "", ""};
  std::atomic<std::uintptr_t> frame{0};
  std::promise<void> ended;
  void mainLoop() override {
    volatile char local[64] = {};
    frame = reinterpret_cast<std::uintptr_t>(&local[0]);
    ended.set_value();
  }
};

struct BriefApp : Application {
  BriefApp() : Application("briefapp") {}
  ~BriefApp() override { shutdown(); }
  Brief brief{this, "Brief", ""};
  void defineConnections() override { findTag(".*").connectTo(ControlSystemModule{}); }
};

TEST(NormalMode, AStackGivenBackLeavesNoMarksOnMemoryMappedThereLater) {
  BriefApp app;
  app.initialise();
  auto ended = app.brief.ended.get_future();
  app.run();
  ASSERT_EQ(ended.wait_for(std::chrono::seconds(60)), std::future_status::ready);
  // The loop has returned; its stack goes back when its task ends, shortly after.
  const auto page = static_cast<std::uintptr_t>(::sysconf(_SC_PAGESIZE));
  // NOLINTNEXTLINE(performance-no-int-to-ptr): the address of a frame that is gone, kept as a number
  void* where = reinterpret_cast<void*>(app.brief.frame.load() & ~(page - 1));
  void* mapped = MAP_FAILED;
  for (int i = 0; i < 2000 && mapped == MAP_FAILED; ++i) {
    mapped =
        ::mmap(where, page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED_NOREPLACE, -1, 0);
    if (mapped != MAP_FAILED && mapped != where) {
      ::munmap(mapped, page); // an older kernel took the address as a hint only
      GTEST_SKIP() << "MAP_FIXED_NOREPLACE is not supported here";
    }
    if (mapped == MAP_FAILED) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  ASSERT_NE(mapped, MAP_FAILED) << "the stack was not given back";
  std::memset(mapped, 0x5a, page);
  EXPECT_EQ(static_cast<unsigned char*>(mapped)[page - 1], 0x5a);
  ::munmap(mapped, page);
  app.shutdown();
}

} // namespace
