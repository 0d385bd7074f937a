#include "modules/StateMachine.hpp"
#include "ModuleTestSupport.hpp"

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
  void start(const std::map<std::string, std::string>& config = {},
             const std::function<void()>& initial = {}) {
    cfg = std::make_unique<test::ConfigFile>(config);
    app = std::make_unique<StateMachineApp>(cfg->path());
    app->stateMachine.errorResetDelayTimer.sleepUntilTimePassed();
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
  });
  EXPECT_EQ(state(), DISABLED);
  EXPECT_FALSE(boolOut(CH + "loadRelayControl"));
  EXPECT_EQ(tf->readScalar<int32_t>(CH + "controlTableMode"), 0);
  EXPECT_FALSE(boolOut(CH + "enableFeedback"));
  EXPECT_EQ(tf->readScalar<double>(SL + "dcVoltageSetpoint"), 0.0);
  EXPECT_FLOAT_EQ(tf->readScalar<float>(TIMER + "errorResetDelay"), 2.0F);
  for (const auto& p :
       {TIMER + "start", CH + "hwProtectionReset", SM + "errorMessage", SM + "inputRejectedMessage"})
    EXPECT_EQ(tf->updateCount(p), 1U) << p;
  EXPECT_TRUE(boolOut(CH + "actuatorSensorRelayControl")); // the relay takes the operator's setting
  EXPECT_EQ(pending(), 0);
  EXPECT_EQ(tf->pv(SM + "actuatorSensorRelayControl").info().direction, orvane::PvDirection::bidirectional);
  monitor(true); // only a new value of the monitor counts
  EXPECT_EQ(state(), ERROR_);
  EXPECT_EQ(text(SM + "errorMessage"), "Hardware protection monitor reports error.");
}

TEST_F(StateMachineTest, EnablingAppliesTheOperatorsSettingsWhenTheDacIsAtZero) {
  start({}, [this] {
    tf->writeScalar<Boolean>(SM + "enableFeedforward", Boolean(true));
    tf->writeScalar<Boolean>(SM + "enableFeedback", Boolean(true));
  });
  put<double>(SM + "dcVoltageSetpoint", 4.5); // outside ENABLED: waits for the switch-on
  EXPECT_EQ(tf->updateCount(SL + "dcVoltageSetpoint"), 1U);
  std::vector<int32_t> atThreshold(16, 100);
  atThreshold[3] = -100;
  dac(atThreshold);
  put<int32_t>(SM + "requestedState", 2);
  EXPECT_EQ(state(), DISABLED);
  enable();
  EXPECT_TRUE(boolOut(CH + "loadRelayControl"));
  EXPECT_EQ(tf->readScalar<int32_t>(CH + "controlTableMode"), 1);
  EXPECT_TRUE(boolOut(CH + "enableFeedback"));
  EXPECT_EQ(tf->readScalar<double>(SL + "dcVoltageSetpoint"), 4.5);
  EXPECT_EQ(pending(), 1);

  putBool(SM + "enableFeedforward", false);
  EXPECT_EQ(tf->readScalar<int32_t>(CH + "controlTableMode"), 0);
  putBool(SM + "enableFeedback", false);
  EXPECT_FALSE(boolOut(CH + "enableFeedback"));
  put<double>(SM + "dcVoltageSetpoint", 7.0);
  put<double>(SM + "dcVoltageSetpoint", 8.0);
  EXPECT_EQ(tf->readScalar<double>(SL + "dcVoltageSetpoint"), 8.0);
  EXPECT_EQ(pending(), 3); // one outstanding answer per applied setpoint
  ready();
  EXPECT_EQ(pending(), 2);
  put<int32_t>(SM + "requestedState", 1);
  put<int32_t>(SM + "requestedState", 2);
  EXPECT_EQ(state(), ENABLED);
  EXPECT_EQ(tf->updateCount(SM + "inputRejectedMessage"), 1U); // ignored requests leave no message
}

TEST_F(StateMachineTest, DacNotAtZeroWhenEnablingIsAnError) {
  for (int32_t bad : {101, -101, std::numeric_limits<int32_t>::min()}) {
    start();
    std::vector<int32_t> samples(16, 0);
    samples[15] = bad;
    dac(samples);
    put<int32_t>(SM + "requestedState", 1);
    EXPECT_EQ(state(), ERROR_) << bad;
    EXPECT_EQ(text(SM + "errorMessage"), "DAC not zero when enabling.");
    EXPECT_FALSE(boolOut(CH + "loadRelayControl"));
    EXPECT_EQ(tf->updateCount(TIMER + "start"), 2U);
    TearDown();
  }
  start({{"daqTableLength", "uint32:0"}}); // no samples count as zero
  enable();
}

TEST_F(StateMachineTest, EmergencyOffAndRefusedRequests) {
  start();
  put<int32_t>(SM + "emergencyOff", 0);
  put<int32_t>(SM + "resetError", 1);
  EXPECT_EQ(state(), DISABLED);
  enable();
  put<int32_t>(SM + "resetError", 1);
  EXPECT_EQ(state(), ENABLED);
  put<double>(SM + "dcVoltageSetpoint", 3.0);
  put<int32_t>(SM + "emergencyOff", 1);
  EXPECT_EQ(state(), ERROR_);
  EXPECT_EQ(text(SM + "errorMessage"), "EmergencyOff was pressed.");
  EXPECT_FALSE(boolOut(CH + "loadRelayControl"));
  EXPECT_EQ(tf->readScalar<int32_t>(CH + "controlTableMode"), 0);
  EXPECT_EQ(tf->readScalar<double>(SL + "dcVoltageSetpoint"), 0.0);
  EXPECT_EQ(pending(), 3);

  put<int32_t>(SM + "emergencyOff", 1); // in ERROR: nothing, above all no second start
  EXPECT_EQ(tf->updateCount(TIMER + "start"), 2U);
  EXPECT_EQ(tf->updateCount(SM + "errorMessage"), 2U);
  put<int32_t>(SM + "requestedState", 0);
  EXPECT_EQ(text(SM + "inputRejectedMessage"),
            "Requested state change rejected. Reset the ERROR state first.");

  put<int32_t>(SM + "resetError", 0); // any value resets
  EXPECT_EQ(state(), DISABLING);
  EXPECT_EQ(text(SM + "errorMessage"), "");
  EXPECT_EQ(pending(), 4);
  put<int32_t>(SM + "requestedState", 1);
  EXPECT_EQ(text(SM + "inputRejectedMessage"), "Requested state change rejected. Still DISABLING.");
  EXPECT_EQ(tf->updateCount(SM + "inputRejectedMessage"), 3U);

  put<int32_t>(SM + "emergencyOff", 1); // from DISABLING, while the delay still runs
  EXPECT_EQ(state(), ERROR_);
  EXPECT_EQ(tf->updateCount(TIMER + "start"), 2U);
}

TEST_F(StateMachineTest, DisablingWaitsForEachOfItsConditions) {
  // Each case reaches DISABLING with one condition open, shows that a DAC update does not end it,
  // then clears the condition.
  const std::vector<std::pair<const char*, std::function<void()>>> cases{
      {"outstanding ready",
       [this] {
         enableAndRequestDisable();
         EXPECT_TRUE(boolOut(CH + "loadRelayControl")); // closed until the drive has settled
         dac(std::vector<int32_t>(16, 0));
         EXPECT_EQ(state(), DISABLING);
         ready();
       }},
      {"DAC not at zero",
       [this] {
         enableAndRequestDisable();
         std::vector<int32_t> samples(16, 0);
         samples[7] = -101;
         dac(samples);
         ready();
         EXPECT_EQ(state(), DISABLING);
         dac(std::vector<int32_t>(16, 0));
       }},
      {"table mode still on",
       [this] {
         put<int32_t>(CH + "appliedTableMode", 1);
         enableAndRequestDisable();
         ready();
         dac(std::vector<int32_t>(16, 0));
         EXPECT_EQ(state(), DISABLING);
         put<int32_t>(CH + "appliedTableMode", 0);
       }},
      {"error reset delay running",
       [this] {
         put<int32_t>(SM + "emergencyOff", 1);
         ready();
         put<int32_t>(SM + "resetError", 1);
         ready();
         dac(std::vector<int32_t>(16, 0));
         EXPECT_EQ(state(), DISABLING);
         timePassed();
       }},
      {"protection window open",
       [this] {
         monitor(true);
         ready();
         timePassed();
         put<int32_t>(SM + "resetError", 1); // monitor true: reset the protection, open the window
         EXPECT_EQ(tf->updateCount(CH + "hwProtectionReset"), 2U);
         ready();
         EXPECT_EQ(state(), DISABLING);
         monitor(false); // closes the window, but the monitor itself does not end DISABLING
         EXPECT_EQ(state(), DISABLING);
         dac(std::vector<int32_t>(16, 0));
       }},
  };
  for (const auto& [name, scenario] : cases) {
    SCOPED_TRACE(name);
    start();
    scenario();
    EXPECT_EQ(state(), DISABLED);
    EXPECT_FALSE(boolOut(CH + "loadRelayControl"));
    EXPECT_EQ(pending(), 0);
    TearDown();
  }
}

TEST_F(StateMachineTest, ProtectionResetToleratesNineReportsAndFailsOnTheTenth) {
  start();
  monitor(true);
  ready();
  timePassed();
  put<int32_t>(SM + "resetError", 1);
  ready();
  for (int i = 0; i < 9; ++i) {
    monitor(true);
    ASSERT_EQ(state(), DISABLING) << "report " << i + 1;
  }
  monitor(true);
  EXPECT_EQ(state(), ERROR_);
  EXPECT_EQ(text(SM + "errorMessage"), "Hardware protection monitor reports error.");
  // A reset with the monitor false neither resets the protection nor opens a window.
  ready();
  monitor(false);
  put<int32_t>(SM + "resetError", 1);
  EXPECT_EQ(tf->updateCount(CH + "hwProtectionReset"), 2U);
  EXPECT_EQ(app->stateMachine.main.hwMonitorIgnoreCount, 0);
  monitor(true);
  EXPECT_EQ(state(), ERROR_);
}

TEST_F(StateMachineTest, ToleranceComesFromTheConfiguration) {
  // 0 closes the window at the first report; missing or mistyped means 10.
  for (const auto& [value, window] :
       std::vector<std::pair<std::string, int>>{{"uint32:0", 0}, {"-", 10}, {"int32:3", 10}}) {
    SCOPED_TRACE(value);
    start({{"maxHwMonitorIgnores", value}});
    monitor(true);
    ready();
    timePassed();
    put<int32_t>(SM + "resetError", 1);
    EXPECT_EQ(app->stateMachine.main.hwMonitorIgnoreCount, window);
    monitor(true);
    EXPECT_EQ(state(), window == 0 ? ERROR_ : DISABLING);
    TearDown();
  }
}

TEST_F(StateMachineTest, DelayPassedInErrorOpensTheWayEarly) {
  start();
  put<int32_t>(SM + "emergencyOff", 1);
  timePassed();
  ready();
  put<int32_t>(SM + "resetError", 1);
  ready();
  EXPECT_EQ(state(), DISABLED);
  put<int32_t>(SM + "emergencyOff", 1); // a new episode starts the delay again
  EXPECT_EQ(tf->updateCount(TIMER + "start"), 3U);
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

TEST(StateMachineConfig, MissingValuesFailWhereTheyAreRead) {
  for (const auto& bad : {test::Overrides{{"daqTableLength", "-"}},
                          test::Overrides{{"StateMachine/dacVoltageOffThreshold", "uint32:100"}}}) {
    test::ConfigFile cfg(bad);
    EXPECT_THROW(StateMachineApp app(cfg.path()), std::logic_error);
  }
  test::ConfigFile cfg(test::Overrides{{"StateMachine/errorResetDelay", "-"}});
  StateMachineApp app(cfg.path());
  orvane::TestFacility tf(app);
  EXPECT_THROW(tf.runApplication(), std::logic_error);
}

} // namespace
