#include "ModuleTestSupport.hpp"
#include "modules/StateMachine.hpp"

#include <gtest/gtest.h>

#include <functional>
#include <limits>
#include <memory>

using namespace quellor;
using orvane::Boolean;

namespace {

const std::string SM = "/Channel0/StateMachine/";
const std::string CH = "/Channel0/";
const std::string SL = "/Channel0/DcVoltageStepLimiter/";
const std::string TIMER = "/Channel0/StateMachine/ErrorResetDelayTimer/";

constexpr int32_t DISABLED = 0, ENABLED = 1, ERROR_ = 2, DISABLING = 3;

// The state machine group placed as a channel places it; everything it talks to is an operator.
struct StateMachineApp : orvane::Application {
  explicit StateMachineApp(const std::string& configFile)
      : Application("smtest"), config(this, "Configuration", configFile) {}
  ~StateMachineApp() override { shutdown(); }
  orvane::ConfigReader config;
  orvane::ModuleGroup channel0{this, "Channel0", "Piezo driver channel 0"};
  StateMachine stateMachine{&channel0, "StateMachine", "FIXME"};
  void defineConnections() override { findTag(".*").connectTo(orvane::ControlSystemModule{}); }
};

class StateMachineTest : public ::testing::Test {
protected:
  void start(const std::map<std::string, std::string>& config = {}, const std::function<void()>& initial = {}) {
    cfg = std::make_unique<test::ConfigFile>(config);
    app = std::make_unique<StateMachineApp>(cfg->path());
    tf = std::make_unique<orvane::TestFacility>(*app);
    app->initialise();
    if (initial) initial();
    tf->runApplication();
  }
  void TearDown() override {
    tf.reset();
    app.reset();
  }

  template <typename T> void put(const std::string& path, const T& v) {
    tf->writeScalar<T>(path, v);
    tf->stepApplication();
  }
  void putBool(const std::string& path, bool v) { put<Boolean>(path, Boolean(v)); }
  void dac(const std::vector<int32_t>& samples) {
    tf->writeArray<int32_t>(CH + "dacVoltage", samples);
    tf->stepApplication();
  }
  void monitor(bool v) { putBool("/Board/hwProtectionMonitor", v); }
  void ready() { put<std::string>(SL + "ready", "done"); }
  void timePassed() {
    app->stateMachine.errorResetDelayTimer.sendTimePassed();
    tf->stepApplication();
  }
  int32_t state() { return tf->readScalar<int32_t>(SM + "currentState"); }
  bool boolOut(const std::string& path) { return tf->readScalar<Boolean>(path).value; }
  std::string text(const std::string& path) { return tf->readScalar<std::string>(path); }
  int32_t pending() { return app->stateMachine.main.pendingReadyCount; }

  void enable() {
    put<int32_t>(SM + "requestedState", 1);
    ASSERT_EQ(state(), ENABLED);
  }
  /// ENABLED, every acknowledgement in, then a request to disable: DISABLING with one outstanding.
  void enableAndRequestDisable() {
    enable();
    ready();
    put<int32_t>(SM + "requestedState", 0);
    ASSERT_EQ(state(), DISABLING);
    ASSERT_EQ(pending(), 1);
  }

  std::unique_ptr<test::ConfigFile> cfg;
  std::unique_ptr<StateMachineApp> app;
  std::unique_ptr<orvane::TestFacility> tf;
};

TEST_F(StateMachineTest, StartUpWritesSafeOutputsAndIgnoresInitialValues) {
  start({}, [this] {
    tf->writeScalar<int32_t>(SM + "requestedState", 1);
    tf->writeScalar<int32_t>(SM + "emergencyOff", 1);
    tf->writeScalar<Boolean>("/Board/hwProtectionMonitor", Boolean(true));
    tf->writeScalar<Boolean>(SM + "actuatorSensorRelayControl", Boolean(true));
    tf->writeScalar<double>(SM + "dcVoltageSetpoint", 5.0);
  });
  EXPECT_EQ(state(), DISABLED);
  EXPECT_FALSE(boolOut(CH + "loadRelayControl"));
  EXPECT_EQ(tf->readScalar<int32_t>(CH + "controlTableMode"), 0);
  EXPECT_FALSE(boolOut(CH + "enableFeedback"));
  EXPECT_EQ(tf->readScalar<double>(SL + "dcVoltageSetpoint"), 0.0);
  EXPECT_FLOAT_EQ(tf->readScalar<float>(TIMER + "errorResetDelay"), 2.0F);
  EXPECT_EQ(tf->updateCount(TIMER + "start"), 1U);
  EXPECT_EQ(tf->updateCount(CH + "hwProtectionReset"), 1U);
  EXPECT_EQ(tf->updateCount(SM + "errorMessage"), 1U);
  EXPECT_EQ(tf->updateCount(SM + "inputRejectedMessage"), 1U);
  // The swap relay takes the operator's setting when the loop starts.
  EXPECT_TRUE(boolOut(CH + "actuatorSensorRelayControl"));
  EXPECT_EQ(pending(), 0);
  EXPECT_FALSE(app->stateMachine.main.errorResetDelayRunning);
  // Only a new value of the monitor counts.
  monitor(true);
  EXPECT_EQ(state(), ERROR_);
  EXPECT_EQ(text(SM + "errorMessage"), "Hardware protection monitor reports error.");
}

TEST_F(StateMachineTest, PublishedTreeAndDescriptions) {
  start();
  auto info = [this](const std::string& p) { return tf->pv(p).info(); };
  EXPECT_EQ(info(SM + "requestedState").description, "[DISABLED=0,ENABLED=1,ERROR=2]");
  EXPECT_EQ(info(SM + "resetError").description, "Start transiton from ERROR to DISABLED.");
  EXPECT_EQ(info(SM + "actuatorSensorRelayControl").direction, orvane::PvDirection::bidirectional);
  EXPECT_EQ(info(CH + "dacVoltage").nElements, 16U);
  EXPECT_EQ(info(CH + "dacVoltage").type, orvane::ValueType::int32);
  EXPECT_EQ(info("/Board/hwProtectionMonitor").description, "aka BSP/WORD_PEM_CTL_MON");
  EXPECT_EQ(info(TIMER + "errorResetDelay").unit, "s");
  EXPECT_EQ(info(TIMER + "delayPassed").direction, orvane::PvDirection::toOperator);
  EXPECT_EQ(info(SL + "ready").direction, orvane::PvDirection::fromOperator);
  EXPECT_EQ(info(SM + "currentState").direction, orvane::PvDirection::toOperator);
  EXPECT_EQ(tf->application().processVariables().find(SM + "Main/currentState"), nullptr);
}

TEST_F(StateMachineTest, EnablingAppliesTheOperatorsSettingsWhenTheDacIsAtZero) {
  start({}, [this] {
    tf->writeScalar<Boolean>(SM + "enableFeedforward", Boolean(true));
    tf->writeScalar<Boolean>(SM + "enableFeedback", Boolean(true));
  });
  // Changes outside ENABLED wait for the next switch-on.
  put<double>(SM + "dcVoltageSetpoint", 4.5);
  EXPECT_EQ(tf->updateCount(SL + "dcVoltageSetpoint"), 1U);
  std::vector<int32_t> atThreshold(16, 100);
  atThreshold[3] = -100;
  dac(atThreshold);
  EXPECT_EQ(state(), DISABLED);
  enable();
  EXPECT_TRUE(boolOut(CH + "loadRelayControl"));
  EXPECT_EQ(tf->readScalar<int32_t>(CH + "controlTableMode"), 1);
  EXPECT_TRUE(boolOut(CH + "enableFeedback"));
  EXPECT_EQ(tf->readScalar<double>(SL + "dcVoltageSetpoint"), 4.5);
  EXPECT_EQ(pending(), 1);

  // In ENABLED the settings reach the hardware at once, each setpoint counting one answer.
  putBool(SM + "enableFeedforward", false);
  EXPECT_EQ(tf->readScalar<int32_t>(CH + "controlTableMode"), 0);
  putBool(SM + "enableFeedback", false);
  EXPECT_FALSE(boolOut(CH + "enableFeedback"));
  put<double>(SM + "dcVoltageSetpoint", 7.0);
  put<double>(SM + "dcVoltageSetpoint", 8.0);
  EXPECT_EQ(tf->readScalar<double>(SL + "dcVoltageSetpoint"), 8.0);
  EXPECT_EQ(pending(), 3);
  ready();
  EXPECT_EQ(pending(), 2);

  // Requests that change nothing leave no message.
  put<int32_t>(SM + "requestedState", 1);
  put<int32_t>(SM + "requestedState", 2);
  EXPECT_EQ(state(), ENABLED);
  EXPECT_EQ(tf->updateCount(SM + "inputRejectedMessage"), 1U);
}

TEST_F(StateMachineTest, DacAboveThresholdWhenEnablingIsAnError) {
  start();
  put<int32_t>(SM + "requestedState", 2);
  EXPECT_EQ(state(), DISABLED);
  std::vector<int32_t> samples(16, 0);
  samples[15] = 101;
  dac(samples);
  put<int32_t>(SM + "requestedState", 1);
  EXPECT_EQ(state(), ERROR_);
  EXPECT_EQ(text(SM + "errorMessage"), "DAC not zero when enabling.");
  EXPECT_FALSE(boolOut(CH + "loadRelayControl"));
  EXPECT_EQ(tf->updateCount(TIMER + "start"), 2U);
  EXPECT_TRUE(app->stateMachine.main.errorResetDelayRunning);
}

TEST_F(StateMachineTest, MostNegativeSampleIsNotZero) {
  start();
  std::vector<int32_t> samples(16, 0);
  samples[0] = std::numeric_limits<int32_t>::min();
  dac(samples);
  put<int32_t>(SM + "requestedState", 1);
  EXPECT_EQ(state(), ERROR_);
}

TEST_F(StateMachineTest, EmptyDacArrayCountsAsZero) {
  start({{"daqTableLength", "uint32:0"}});
  enable();
}

TEST_F(StateMachineTest, EmergencyOffAndRefusedRequests) {
  start();
  put<int32_t>(SM + "emergencyOff", 0);
  EXPECT_EQ(state(), DISABLED);
  enable();
  put<double>(SM + "dcVoltageSetpoint", 3.0);
  put<int32_t>(SM + "emergencyOff", 1);
  EXPECT_EQ(state(), ERROR_);
  EXPECT_EQ(text(SM + "errorMessage"), "EmergencyOff was pressed.");
  EXPECT_FALSE(boolOut(CH + "loadRelayControl"));
  EXPECT_EQ(tf->readScalar<int32_t>(CH + "controlTableMode"), 0);
  EXPECT_EQ(tf->readScalar<double>(SL + "dcVoltageSetpoint"), 0.0);
  EXPECT_EQ(pending(), 3);

  // A second emergency off in ERROR changes nothing: no second start reaches the timer.
  put<int32_t>(SM + "emergencyOff", 1);
  EXPECT_EQ(tf->updateCount(TIMER + "start"), 2U);
  EXPECT_EQ(tf->updateCount(SM + "errorMessage"), 2U);

  put<int32_t>(SM + "requestedState", 0);
  EXPECT_EQ(text(SM + "inputRejectedMessage"), "Requested state change rejected. Reset the ERROR state first.");
  EXPECT_EQ(state(), ERROR_);

  put<int32_t>(SM + "resetError", 0); // any value resets
  EXPECT_EQ(state(), DISABLING);
  EXPECT_EQ(text(SM + "errorMessage"), "");
  EXPECT_EQ(pending(), 4);
  put<int32_t>(SM + "requestedState", 1);
  EXPECT_EQ(text(SM + "inputRejectedMessage"), "Requested state change rejected. Still DISABLING.");
  EXPECT_EQ(tf->updateCount(SM + "inputRejectedMessage"), 3U);

  put<int32_t>(SM + "emergencyOff", 1); // also from DISABLING
  EXPECT_EQ(state(), ERROR_);
  // The delay still ran, so this error sent no start of its own.
  EXPECT_EQ(tf->updateCount(TIMER + "start"), 2U);
}

TEST_F(StateMachineTest, ResetErrorOutsideErrorHasNoEffect) {
  start();
  put<int32_t>(SM + "resetError", 1);
  EXPECT_EQ(state(), DISABLED);
  enable();
  put<int32_t>(SM + "resetError", 1);
  EXPECT_EQ(state(), ENABLED);
  EXPECT_EQ(pending(), 1);
}

TEST_F(StateMachineTest, DisablingWaitsForOutstandingReady) {
  start();
  enableAndRequestDisable();
  EXPECT_TRUE(boolOut(CH + "loadRelayControl")); // stays closed until the drive has settled
  EXPECT_EQ(tf->readScalar<double>(SL + "dcVoltageSetpoint"), 0.0);
  dac(std::vector<int32_t>(16, 0));
  EXPECT_EQ(state(), DISABLING);
  ready();
  EXPECT_EQ(state(), DISABLED);
  EXPECT_FALSE(boolOut(CH + "loadRelayControl"));
}

TEST_F(StateMachineTest, DisablingWaitsForTheDac) {
  start();
  enable();
  ready();
  std::vector<int32_t> samples(16, 0);
  samples[7] = -101;
  dac(samples);
  put<int32_t>(SM + "requestedState", 0);
  ready();
  EXPECT_EQ(state(), DISABLING);
  dac(std::vector<int32_t>(16, 0));
  EXPECT_EQ(state(), DISABLED);
}

TEST_F(StateMachineTest, DisablingWaitsForTheTableModeOff) {
  start();
  put<int32_t>(CH + "appliedTableMode", 1);
  enableAndRequestDisable();
  ready();
  EXPECT_EQ(state(), DISABLING);
  put<int32_t>(CH + "appliedTableMode", 0);
  EXPECT_EQ(state(), DISABLED);
}

TEST_F(StateMachineTest, DisablingWaitsForTheErrorResetDelay) {
  start();
  put<int32_t>(SM + "emergencyOff", 1);
  ready(); // the switch-off of the error
  put<int32_t>(SM + "resetError", 1);
  ready();
  EXPECT_EQ(pending(), 0);
  EXPECT_EQ(state(), DISABLING);
  dac(std::vector<int32_t>(16, 0));
  EXPECT_EQ(state(), DISABLING);
  timePassed();
  EXPECT_EQ(state(), DISABLED);
  EXPECT_FALSE(app->stateMachine.main.errorResetDelayRunning);
}

TEST_F(StateMachineTest, DelayPassedInErrorOpensTheWayEarly) {
  start();
  put<int32_t>(SM + "emergencyOff", 1);
  timePassed();
  ready();
  put<int32_t>(SM + "resetError", 1);
  EXPECT_EQ(state(), DISABLING);
  ready();
  EXPECT_EQ(state(), DISABLED);
  // An error entered after the delay has passed starts it again.
  put<int32_t>(SM + "emergencyOff", 1);
  EXPECT_EQ(tf->updateCount(TIMER + "start"), 3U);
}

TEST_F(StateMachineTest, ProtectionResetOpensAToleranceWindow) {
  start();
  monitor(true);
  ASSERT_EQ(state(), ERROR_);
  ready();
  timePassed();
  const size_t resetsBefore = tf->updateCount(CH + "hwProtectionReset");
  put<int32_t>(SM + "resetError", 1); // monitor still true: reset the protection, open the window
  EXPECT_EQ(tf->updateCount(CH + "hwProtectionReset"), resetsBefore + 1);
  EXPECT_EQ(app->stateMachine.main.hwMonitorIgnoreCount, 10);
  ready();
  EXPECT_EQ(state(), DISABLING); // the window is open
  for (int i = 0; i < 9; ++i) {
    monitor(true);
    ASSERT_EQ(state(), DISABLING) << "report " << i + 1;
  }
  monitor(true);
  EXPECT_EQ(state(), ERROR_);
  EXPECT_EQ(text(SM + "errorMessage"), "Hardware protection monitor reports error.");
}

TEST_F(StateMachineTest, FalseReportClosesTheWindowAndDisablingWaitsForTheNextUpdate) {
  start();
  monitor(true);
  ready();
  timePassed();
  put<int32_t>(SM + "resetError", 1);
  ready();
  monitor(true);
  EXPECT_EQ(app->stateMachine.main.hwMonitorIgnoreCount, 9);
  monitor(false);
  EXPECT_EQ(app->stateMachine.main.hwMonitorIgnoreCount, 0);
  EXPECT_EQ(state(), DISABLING); // the monitor itself does not finish DISABLING
  dac(std::vector<int32_t>(16, 0));
  EXPECT_EQ(state(), DISABLED);
  monitor(true); // window closed: the next report is an error at once
  EXPECT_EQ(state(), ERROR_);
}

TEST_F(StateMachineTest, ResetWithMonitorFalseWritesNoProtectionReset) {
  start();
  monitor(true);
  monitor(false);
  ready();
  put<int32_t>(SM + "resetError", 1);
  EXPECT_EQ(tf->updateCount(CH + "hwProtectionReset"), 1U);
  EXPECT_EQ(app->stateMachine.main.hwMonitorIgnoreCount, 0);
}

TEST_F(StateMachineTest, NoToleranceWithZeroIgnores) {
  start({{"maxHwMonitorIgnores", "uint32:0"}});
  monitor(true);
  ready();
  timePassed();
  put<int32_t>(SM + "resetError", 1);
  EXPECT_EQ(state(), DISABLING);
  monitor(true);
  EXPECT_EQ(state(), ERROR_);
}

TEST_F(StateMachineTest, MissingOrMistypedIgnoresMeanTen) {
  for (const char* v : {"-", "int32:3"}) {
    start({{"maxHwMonitorIgnores", v}});
    monitor(true);
    ready();
    timePassed();
    put<int32_t>(SM + "resetError", 1);
    EXPECT_EQ(app->stateMachine.main.hwMonitorIgnoreCount, 10) << v;
    TearDown();
  }
}

TEST_F(StateMachineTest, RelaySwapOnlyInDisabled) {
  start();
  putBool(SM + "actuatorSensorRelayControl", true);
  EXPECT_TRUE(boolOut(CH + "actuatorSensorRelayControl"));
  enable();
  putBool(SM + "actuatorSensorRelayControl", false);
  EXPECT_EQ(text(SM + "inputRejectedMessage"),
            "Switching actuator and sensor rejected! It's on possible in DISABLED.");
  EXPECT_TRUE(boolOut(CH + "actuatorSensorRelayControl"));
  EXPECT_TRUE(boolOut(SM + "actuatorSensorRelayControl")); // the operator's setting is set back
  put<int32_t>(SM + "emergencyOff", 1);
  putBool(SM + "actuatorSensorRelayControl", false);
  EXPECT_TRUE(boolOut(SM + "actuatorSensorRelayControl"));
  EXPECT_EQ(tf->updateCount(SM + "inputRejectedMessage"), 3U);
}

TEST_F(StateMachineTest, ReadyInDisabledIsALogicError) {
  start();
  tf->writeScalar<std::string>(SL + "ready", "unexpected");
  try {
    tf->stepApplication();
    FAIL() << "no error";
  } catch (const std::logic_error& e) {
    EXPECT_STREQ(e.what(), "StateMachine: voltageRampReady is not allowed in DISABLED.");
  }
}

TEST_F(StateMachineTest, SecondErrorBeforeDelayPassedSendsNoSecondStart) {
  start();
  put<int32_t>(SM + "emergencyOff", 1);
  ready();
  put<int32_t>(SM + "resetError", 1);
  put<int32_t>(SM + "emergencyOff", 1); // the testable timer would refuse a second start
  EXPECT_EQ(state(), ERROR_);
  EXPECT_EQ(tf->updateCount(TIMER + "start"), 2U);
}

TEST(StateMachineConfig, MissingValuesFailWhereTheyAreRead) {
  {
    test::ConfigFile cfg(test::Overrides{{"daqTableLength", "-"}});
    EXPECT_THROW(StateMachineApp app(cfg.path()), std::logic_error);
  }
  {
    test::ConfigFile cfg(test::Overrides{{"StateMachine/dacVoltageOffThreshold", "uint32:100"}});
    EXPECT_THROW(StateMachineApp app(cfg.path()), std::logic_error);
  }
  {
    test::ConfigFile cfg(test::Overrides{{"StateMachine/errorResetDelay", "-"}});
    StateMachineApp app(cfg.path());
    orvane::TestFacility tf(app);
    EXPECT_THROW(tf.runApplication(), std::logic_error);
  }
}

} // namespace
