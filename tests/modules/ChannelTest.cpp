// The six modules of a channel together, placed as the channel group places them: the joins by
// path and the counting of acknowledgements between state machine and step limiter.
#include "ModuleTestSupport.hpp"
#include "modules/FeedforwardCompensation.hpp"
#include "modules/InputRejectedCollector.hpp"
#include "modules/StateMachine.hpp"
#include "modules/SumLimiter.hpp"
#include "modules/VoltageStepLimiter.hpp"

#include <gtest/gtest.h>

#include <deque>
#include <memory>

using namespace quellor;
using orvane::Boolean;

namespace {

struct Channel : orvane::ModuleGroup {
  Channel(orvane::EntityOwner* owner, const std::string& name, const std::string& description)
      : ModuleGroup(owner, name, description) {}
  SumLimiter voltageSumLimiter{this, "VoltageSumLimiter",
                               "Limit the sum of the AD and DC drive voltage components."};
  StateMachine stateMachine{this, "StateMachine", "FIXME"};
  VoltageStepLimiter dcVoltageStepLimiter{this, "DcVoltageStepLimiter",
                                          "Change the DC voltage in small stept towards the setpoint."};
  FeedforwardCompensation feedforwardCompensation{this, "FeedforwardCompensation", ""};
  InputRejectedCollector inputRejectedCollector{this, "InputRejectedCollector", ""};
};

struct ChannelApp : orvane::Application {
  explicit ChannelApp(const std::string& configFile)
      : Application("channeltest"), config(this, "Configuration", configFile) {}
  ~ChannelApp() override { shutdown(); }
  orvane::ConfigReader config;
  std::deque<Channel> channels;
  void defineConnections() override {
    orvane::ControlSystemModule cs;
    auto trigger = cs["Server"]("triggerNumber");
    for (int i = 0; i < 2; ++i) {
      channels.emplace_back(this, "Channel" + std::to_string(i), "Piezo driver channel " + std::to_string(i));
      trigger >> channels.back().dcVoltageStepLimiter.trigger;
    }
    findTag(".*").connectTo(cs);
  }
};

class ChannelTest : public ::testing::Test {
 protected:
  void SetUp() override {
    tf = std::make_unique<orvane::TestFacility>(app);
    app.initialise();
    for (const char* ch : {"/Channel0/", "/Channel1/"}) {
      tf->writeScalar<double>(std::string(ch) + "FeedforwardCompensation/frequency", 250.0);
      tf->writeScalar<uint32_t>(std::string(ch) + "FeedforwardCompensation/nPeriods", 1U);
    }
    tf->runApplication();
  }
  void TearDown() override { tf.reset(); }
  template <typename T> void put(const std::string& path, const T& v) {
    tf->writeScalar<T>(path, v);
    tf->stepApplication();
  }
  void trigger() { put<int64_t>("/Server/triggerNumber", ++triggers); }
  int32_t state(int ch) {
    return tf->readScalar<int32_t>("/Channel" + std::to_string(ch) + "/StateMachine/currentState");
  }

  int64_t triggers{0};
  test::ConfigFile cfg;
  ChannelApp app{cfg.path()};
  std::unique_ptr<orvane::TestFacility> tf;
};

TEST_F(ChannelTest, DcSetpointRampsOnlyInItsOwnChannelAndDisablingEndsCleanly) {
  EXPECT_EQ(state(0), 0);
  EXPECT_EQ(app.channels[0].stateMachine.main.pendingReadyCount, 0);
  put<int32_t>("/Channel0/StateMachine/requestedState", 1);
  EXPECT_EQ(state(0), 1);
  trigger(); // the switch-on setpoint (0.0) is acknowledged
  EXPECT_EQ(app.channels[0].stateMachine.main.pendingReadyCount, 0);

  put<double>("/Channel0/VoltageSumLimiter/dcVoltageSetpoint", 7.0);
  EXPECT_EQ(tf->readScalar<double>("/Channel0/DcVoltageStepLimiter/dcVoltageSetpoint"), 7.0);
  std::vector<double> ramp;
  for (int i = 0; i < 3; ++i) {
    trigger();
    ramp.push_back(tf->readScalar<double>("/Channel0/dcVoltage"));
  }
  EXPECT_EQ(ramp, (std::vector<double>{3.0, 6.0, 7.0}));
  EXPECT_EQ(tf->readScalar<double>("/Channel1/dcVoltage"), 0.0);
  EXPECT_EQ(app.channels[0].stateMachine.main.pendingReadyCount, 0);

  put<int32_t>("/Channel0/StateMachine/requestedState", 0);
  EXPECT_EQ(state(0), 3);
  for (int i = 0; i < 3; ++i)
    trigger(); // 4, 1, 0 and ready
  EXPECT_EQ(tf->readScalar<double>("/Channel0/dcVoltage"), 0.0);
  EXPECT_EQ(state(0), 0);
  EXPECT_FALSE(tf->readScalar<Boolean>("/Channel0/loadRelayControl").value);
}

TEST_F(ChannelTest, ProtectionMonitorReachesEveryChannel) {
  put<Boolean>("/Board/hwProtectionMonitor", Boolean(true));
  EXPECT_EQ(state(0), 2);
  EXPECT_EQ(state(1), 2);
}

TEST_F(ChannelTest, RejectionsReachTheChannelsMessage) {
  put<double>("/Channel1/VoltageSumLimiter/acVoltageSetpoint", 11.0);
  const auto msg = tf->readScalar<std::string>("/Channel1/inputRejectedMessage");
  EXPECT_NE(msg.find(": AC voltage setpoint 11.000000 rejected. Set back to 0.000000"), std::string::npos)
      << msg;
  EXPECT_TRUE(tf->readScalar<Boolean>("/Channel1/inputRejectedFlag").value);
  EXPECT_FALSE(tf->readScalar<Boolean>("/Channel0/inputRejectedFlag").value);

  put<double>("/Channel0/FeedforwardCompensation/delay", -1.0);
  EXPECT_NE(tf->readScalar<std::string>("/Channel0/inputRejectedMessage")
                .find(": Invalid  /Channel0/FeedforwardCompensation/delay, resetting to previous 0.000000"),
            std::string::npos);
  put<Boolean>("/Channel0/StateMachine/actuatorSensorRelayControl", Boolean(true));
  put<int32_t>("/Channel0/StateMachine/requestedState", 1);
  put<Boolean>("/Channel0/StateMachine/actuatorSensorRelayControl", Boolean(false));
  EXPECT_NE(
      tf->readScalar<std::string>("/Channel0/inputRejectedMessage").find("It's on possible in DISABLED."),
      std::string::npos);
}

TEST_F(ChannelTest, AmplitudeReachesTheTable) {
  put<double>("/Channel0/VoltageSumLimiter/acVoltageSetpoint", 1.5);
  EXPECT_DOUBLE_EQ(tf->readArray<double>("/Channel0/controlTable")[1000], 1.5);
  EXPECT_EQ(tf->readArray<double>("/Channel1/controlTable")[1000], 0.0);
}

TEST_F(ChannelTest, OperatorsTableCountsAgainstTheDcBiasTheSumLimiterAccepted) {
  put<double>("/Channel0/VoltageSumLimiter/dcVoltageSetpoint", 4.0);
  put<Boolean>("/Channel0/FeedforwardCompensation/disableFFComputation", Boolean(true));
  const size_t tables = tf->updateCount("/Channel0/controlTable");
  tf->writeArray<float>("/Channel0/FeedforwardCompensation/ffCompensation", std::vector<float>(65536, -7.0F));
  tf->stepApplication();
  const auto msg = tf->readScalar<std::string>("/Channel0/inputRejectedMessage");
  EXPECT_NE(
      msg.find(": Invalid  /Channel0/FeedforwardCompensation/ffCompensation, keeping the previous table "
               "(abs(7.000000) + abs(4.000000) > 10.000000)."),
      std::string::npos)
      << msg;
  EXPECT_EQ(tf->updateCount("/Channel0/controlTable"), tables);
  put<double>("/Channel0/VoltageSumLimiter/dcVoltageSetpoint", 3.0);
  tf->writeArray<float>("/Channel0/FeedforwardCompensation/ffCompensation", std::vector<float>(65536, -7.0F));
  tf->stepApplication();
  EXPECT_EQ(tf->readArray<double>("/Channel0/controlTable")[0], -7.0);
}

TEST_F(ChannelTest, ChannelDirectoryHoldsTheModulesVariables) {
  auto& reg = app.processVariables();
  for (const char* name :
       {"dacVoltage", "appliedTableMode", "loadRelayControl", "actuatorSensorRelayControl",
        "controlTableMode", "enableFeedback", "hwProtectionReset", "dcVoltage", "controlTable",
        "swapControlTable", "inputRejectedMessage", "inputRejectedFlag", "clearInputRejectedMessage"})
    EXPECT_NE(reg.find(std::string("/Channel1/") + name), nullptr) << name;
  for (const auto& pv : reg.all()) {
    const auto& p = pv->info().path;
    EXPECT_NE(p.rfind("/Channel0/InputRejectedCollector/", 0), 0U) << p;
    EXPECT_EQ(p.find("/Main/"), std::string::npos) << p;
  }
}

} // namespace

// The state machine and the step limiter alone, with the state machine's DC input written
// directly: bursts of applied setpoints and their acknowledgements, without the sum limiter's own
// queue in front.
struct AcknowledgementApp : orvane::Application {
  explicit AcknowledgementApp(const std::string& configFile)
      : Application("acktest"), config(this, "Configuration", configFile) {}
  ~AcknowledgementApp() override { shutdown(); }
  orvane::ConfigReader config;
  orvane::ModuleGroup channel0{this, "Channel0", "Piezo driver channel 0"};
  StateMachine stateMachine{&channel0, "StateMachine", "FIXME"};
  VoltageStepLimiter dcVoltageStepLimiter{&channel0, "DcVoltageStepLimiter",
                                          "Change the DC voltage in small stept towards the setpoint."};
  void defineConnections() override {
    orvane::ControlSystemModule cs;
    cs["Server"]("triggerNumber") >> dcVoltageStepLimiter.trigger;
    findTag(".*").connectTo(cs);
  }
};

class AcknowledgementTest : public ::testing::Test {
 protected:
  const std::string SM = "/Channel0/StateMachine/";
  void SetUp() override {
    tf = std::make_unique<orvane::TestFacility>(app);
    tf->runApplication();
  }
  void TearDown() override { tf.reset(); }
  void trigger() {
    tf->writeScalar<int64_t>("/Server/triggerNumber", ++triggers);
    tf->stepApplication();
  }
  int32_t state() { return tf->readScalar<int32_t>(SM + "currentState"); }
  int32_t pending() const { return app.stateMachine.main.pendingReadyCount; }
  void enable() {
    tf->writeScalar<int32_t>(SM + "requestedState", 1);
    tf->stepApplication();
    ASSERT_EQ(state(), 1);
    trigger(); // the switch-on setpoint 0.0 is reached and acknowledged
    ASSERT_EQ(pending(), 0);
  }
  /// Triggers (the DAC read-back stays at zero) until DISABLED, at most `limit` of them.
  void triggerUntilDisabled(int limit) {
    for (int i = 0; i < limit && state() != 0; ++i)
      trigger();
  }

  int64_t triggers{0};
  test::ConfigFile cfg;
  AcknowledgementApp app{cfg.path()};
  std::unique_ptr<orvane::TestFacility> tf;
};

TEST_F(AcknowledgementTest, SetpointsAndDisableWithoutAStepInBetweenStillEndDisabled) {
  enable();
  for (double v : {1.0, 2.0, 3.0})
    tf->writeScalar<double>(SM + "dcVoltageSetpoint", v);
  tf->writeScalar<int32_t>(SM + "requestedState", 0);
  tf->stepApplication(); // the state machine writes four applied setpoints before the limiter runs
  EXPECT_EQ(state(), 3);
  triggerUntilDisabled(50);
  EXPECT_EQ(state(), 0);
  EXPECT_EQ(pending(), 0);
  EXPECT_EQ(tf->readScalar<double>("/Channel0/dcVoltage"), 0.0);
  EXPECT_EQ(app.dcVoltageStepLimiter.dcVoltageSetpoint.getLostCount(), 0U);
  // Both directions of the counted exchange, and the timer's, keep every value.
  for (const orvane::AccessorBase* counted : std::initializer_list<const orvane::AccessorBase*>{
           &app.dcVoltageStepLimiter.dcVoltageSetpoint, &app.stateMachine.main.dcVoltageStepLimiter.ready,
           &app.stateMachine.errorResetDelayTimer.start,
           &app.stateMachine.main.errorResetDelayTimer.delayPassed})
    EXPECT_EQ(counted->getQueuePolicy(), orvane::QueuePolicy::keepAll) << counted->getName();
  // Operator inputs keep the latest value only.
  EXPECT_EQ(app.stateMachine.main.dcVoltageSetpoint.getQueuePolicy(), orvane::QueuePolicy::replaceNewest);
}

TEST_F(AcknowledgementTest, ThousandSetpointsThenDisableEndDisabled) {
  enable();
  // Three setpoints per pass (the depth of the state machine's own input), with a ramp step now
  // and then, so that ramps end both by arrival and by supersession; the last three share their
  // pass with the request to disable.
  for (int i = 1; i <= 1000; ++i) {
    tf->writeScalar<double>(SM + "dcVoltageSetpoint", 0.01 * i);
    if (i % 3 == 0 && i < 999) tf->stepApplication();
    if (i % 30 == 0) trigger();
  }
  tf->writeScalar<int32_t>(SM + "requestedState", 0);
  tf->stepApplication();
  EXPECT_EQ(state(), 3);
  triggerUntilDisabled(100);
  EXPECT_EQ(state(), 0);
  EXPECT_EQ(pending(), 0);
  EXPECT_EQ(app.dcVoltageStepLimiter.dcVoltageSetpoint.getLostCount(), 0U);
}
