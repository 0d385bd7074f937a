#include "modules/DelayModule.hpp"
#include "ModuleTestSupport.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <memory>
#include <vector>

using namespace quellor;

namespace {

const std::string TIMER = "/Channel0/StateMachine/ErrorResetDelayTimer/";

// Stands in for the state machine: sends the delay and a number of starts before any thread runs
// (the first start is the input's initial value), and reports every time-passed event.
struct StateMachineStandIn : orvane::ApplicationModule {
  StateMachineStandIn(orvane::EntityOwner* owner, float delaySeconds, int startCount)
      : ApplicationModule(owner, "StandIn", ""), seconds(delaySeconds), starts(startCount) {}
  orvane::ModifyHierarchy<orvane::ScalarOutput<int32_t>> start{this, TIMER + "start", "", ""};
  orvane::ModifyHierarchy<orvane::ScalarOutput<float>> delay{this, TIMER + "errorResetDelay", "s", ""};
  orvane::ModifyHierarchy<orvane::ScalarPushInput<int32_t>> delayPassed{this, TIMER + "delayPassed", "", ""};
  float seconds;
  int starts;
  std::promise<void> passed;
  void prepare() override {
    delay->operator=(seconds);
    delay->write();
    for (int i = 0; i < starts; ++i)
      start->write();
  }
  void mainLoop() override {
    delayPassed->read();
    passed.set_value();
    for (;;)
      delayPassed->read();
  }
};

struct TimerApp : orvane::Application {
  TimerApp(const std::string& configFile, float seconds, int starts)
      : Application("timertest"), config(this, "Configuration", configFile), standIn(this, seconds, starts) {}
  ~TimerApp() override { shutdown(); }
  orvane::ConfigReader config;
  orvane::ModuleGroup channel0{this, "Channel0", ""};
  orvane::ModuleGroup stateMachine{&channel0, "StateMachine", "FIXME"};
  DelayModule timer{&stateMachine, "ErrorResetDelayTimer",
                    "Delay the transition to DISABLED after detecting an error", "errorResetDelay"};
  StateMachineStandIn standIn;
  void defineConnections() override { findTag(".*").connectTo(orvane::ControlSystemModule{}); }
};

// Only the timer, with its inputs fed by the control system.
struct BareTimerApp : orvane::Application {
  explicit BareTimerApp(const std::string& configFile)
      : Application("baretimer"), config(this, "Configuration", configFile) {}
  ~BareTimerApp() override { shutdown(); }
  orvane::ConfigReader config;
  orvane::ModuleGroup channel0{this, "Channel0", ""};
  orvane::ModuleGroup stateMachine{&channel0, "StateMachine", "FIXME"};
  DelayModule timer{&stateMachine, "ErrorResetDelayTimer",
                    "Delay the transition to DISABLED after detecting an error", "errorResetDelay"};
  void defineConnections() override { findTag(".*").connectTo(orvane::ControlSystemModule{}); }
};

TEST(DelayModule, WholeMilliseconds) {
  EXPECT_EQ(DelayModule::delayMilliseconds(1.5F), 1500);
  EXPECT_EQ(DelayModule::delayMilliseconds(0.0015F), 1);
  EXPECT_EQ(DelayModule::delayMilliseconds(0.001F), 1);
  EXPECT_EQ(DelayModule::delayMilliseconds(0.0009F), 0);
  EXPECT_EQ(DelayModule::delayMilliseconds(0.0F), 0);
  EXPECT_EQ(DelayModule::delayMilliseconds(-3.0F), 0);
  EXPECT_EQ(DelayModule::delayMilliseconds(3e6F), 2147483647);
  EXPECT_EQ(DelayModule::delayMilliseconds(std::nanf("")), 0);
}

class TestableTimer : public ::testing::Test {
 protected:
  void SetUp() override {
    app.timer.sleepUntilTimePassed();
    tf = std::make_unique<orvane::TestFacility>(app);
    tf->runApplication();
  }
  void TearDown() override { tf.reset(); }
  void start() {
    tf->writeScalar<int32_t>(TIMER + "start", 0);
    tf->stepApplication();
  }
  test::ConfigFile cfg;
  BareTimerApp app{cfg.path()};
  std::unique_ptr<orvane::TestFacility> tf;
};

TEST_F(TestableTimer, OneStartOneTimePassed) {
  EXPECT_EQ(tf->updateCount(TIMER + "delayPassed"), 1U); // prepare(): the initial value
  EXPECT_EQ(tf->pv(TIMER + "errorResetDelay").info().description,
            "Time between receiving start and sending timeout.");
  EXPECT_EQ(tf->pv(TIMER + "start").info().unit, "void");
  start();
  EXPECT_EQ(tf->updateCount(TIMER + "delayPassed"), 1U); // nothing without the test's word
  app.timer.sendTimePassed();
  tf->stepApplication();
  EXPECT_EQ(tf->updateCount(TIMER + "delayPassed"), 2U);
  start();
  app.timer.sendTimePassed();
  tf->stepApplication();
  EXPECT_EQ(tf->updateCount(TIMER + "delayPassed"), 3U);
}

TEST_F(TestableTimer, TimePassedWithoutStartIsRefused) {
  try {
    app.timer.sendTimePassed();
    FAIL();
  } catch (const std::logic_error& e) {
    EXPECT_STREQ(e.what(),
                 "The test must not call sendTimePassed if no start has been received by the DelayModule.");
  }
}

TEST_F(TestableTimer, SecondStartIsRefused) {
  start();
  tf->writeScalar<int32_t>(TIMER + "start", 0);
  try {
    tf->stepApplication();
    FAIL();
  } catch (const std::logic_error& e) {
    EXPECT_STREQ(e.what(), "TestableMode: The DelayModule received multiple starts. The test has to call "
                           "sendTimePassed before the application sends the next start.");
  }
}

// The loop that runs in production, with a sleep that only notes what it is asked to sleep.
class InjectedSleep : public ::testing::Test {
 protected:
  void SetUp() override {
    app.timer.setSleep([this](std::chrono::milliseconds d) {
      slept.push_back(d);
      if (startDuringSleep) tf.writeScalar<int32_t>(TIMER + "start", 0);
    });
    tf.runApplication();
  }
  void start(float seconds) {
    tf.writeScalar<float>(TIMER + "errorResetDelay", seconds);
    tf.writeScalar<int32_t>(TIMER + "start", 0);
    tf.stepApplication();
  }
  test::ConfigFile cfg;
  BareTimerApp app{cfg.path()};
  orvane::TestFacility tf{app};
  std::vector<std::chrono::milliseconds> slept;
  bool startDuringSleep{false};
};

TEST_F(InjectedSleep, EachStartSleepsItsDelayThenTellsTheTimePassed) {
  start(1.5F);
  EXPECT_EQ(slept, std::vector<std::chrono::milliseconds>{std::chrono::milliseconds(1500)});
  EXPECT_EQ(tf.updateCount(TIMER + "delayPassed"), 2U);
  start(0.0009F); // below a millisecond: no time at all
  EXPECT_EQ(slept.back(), std::chrono::milliseconds(0));
  EXPECT_EQ(tf.updateCount(TIMER + "delayPassed"), 3U);
}

TEST_F(InjectedSleep, AStartDuringTheSleepIsRefused) {
  startDuringSleep = true;
  try {
    start(1.0F);
    FAIL();
  } catch (const std::logic_error& e) {
    EXPECT_STREQ(e.what(), "Module must wait for timeout to be sent before next start.");
  }
  EXPECT_EQ(tf.updateCount(TIMER + "delayPassed"), 1U);
}

TEST(NormalModeTimer, SendTimePassedIsForTestsOnly) {
  test::ConfigFile cfg;
  BareTimerApp app(cfg.path());
  try {
    app.timer.sendTimePassed();
    FAIL();
  } catch (const std::logic_error& e) {
    EXPECT_STREQ(e.what(), "DelayModule::sendTimePassed can only be used in TestableMode.");
  }
}

TEST(NormalModeTimer, BelowOneMillisecondPassesAtOnce) {
  test::ConfigFile cfg;
  TimerApp app(cfg.path(), 0.0009F, 2);
  auto passed = app.standIn.passed.get_future();
  app.run();
  passed.get(); // would wait for ever if no time-passed event came
  app.shutdown();
}

TEST(NormalModeTimer, ShutdownEndsALongSleep) {
  test::ConfigFile cfg;
  TimerApp app(cfg.path(), 3600.0F, 2);
  app.run();
  app.shutdown(); // returns only because the sleep is an interruption point
  SUCCEED();
}

TEST(NormalModeTimerDeathTest, StartDuringTheSleepIsFatal) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        test::ConfigFile cfg;
        // Initial start, the start that begins the sleep, and one more that is already waiting.
        TimerApp app(cfg.path(), 0.01F, 3);
        auto passed = app.standIn.passed.get_future();
        app.run();
        passed.get();
        std::_Exit(0); // a time-passed event instead of the refusal
      },
      ::testing::ExitedWithCode(1), "Module must wait for timeout to be sent before next start\\.");
}

} // namespace
