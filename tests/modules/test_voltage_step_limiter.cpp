#include "ModuleTestSupport.hpp"
#include "modules/VoltageStepLimiter.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <memory>

using namespace quellor;

namespace {

const std::string SL = "/Channel0/DcVoltageStepLimiter/";

struct StepLimiterApp : orvane::Application {
  explicit StepLimiterApp(const std::string& configFile)
      : Application("steptest"), config(this, "Configuration", configFile) {}
  ~StepLimiterApp() override { shutdown(); }
  orvane::ConfigReader config;
  orvane::ModuleGroup channel0{this, "Channel0", ""};
  VoltageStepLimiter limiter{&channel0, "DcVoltageStepLimiter",
                             "Change the DC voltage in small stept towards the setpoint."};
  void defineConnections() override {
    orvane::ControlSystemModule cs;
    cs["Server"]("triggerNumber") >> limiter.trigger;
    findTag(".*").connectTo(cs);
  }
};

class StepLimiterTest : public ::testing::Test {
protected:
  void start(double maxStep, double initialSetpoint = 0.0) {
    char step[64];
    std::snprintf(step, sizeof step, "double:%.17g", maxStep);
    cfg = std::make_unique<test::ConfigFile>(std::map<std::string, std::string>{{"maxDCVoltageStep", step}});
    app = std::make_unique<StepLimiterApp>(cfg->path());
    tf = std::make_unique<orvane::TestFacility>(*app);
    app->initialise();
    journal.watch(*app, {{"/Channel0/dcVoltage", "v"}, {SL + "ready", "ready"}});
    tf->writeScalar<double>(SL + "dcVoltageSetpoint", initialSetpoint);
    tf->runApplication();
  }
  void TearDown() override {
    tf.reset();
    app.reset();
  }
  void setpoint(double v) {
    tf->writeScalar<double>(SL + "dcVoltageSetpoint", v);
    tf->stepApplication();
  }
  void trigger(int n = 1) {
    for (int i = 0; i < n; ++i) {
      tf->writeScalar<int64_t>("/Server/triggerNumber", ++triggerCount);
      tf->stepApplication();
    }
  }

  int64_t triggerCount{0};
  test::Journal journal;
  std::unique_ptr<test::ConfigFile> cfg;
  std::unique_ptr<StepLimiterApp> app;
  std::unique_ptr<orvane::TestFacility> tf;
};

using Events = std::vector<std::string>;

TEST_F(StepLimiterTest, StartWritesReadyThenZeroAndWaitsForANewSetpoint) {
  start(3.0, 7.0);
  EXPECT_EQ(journal.take(), (Events{"ready=", "v=0"}));
  trigger(3);
  EXPECT_EQ(journal.take(), Events{});
  EXPECT_EQ(tf->pv(SL + "trigger").info().direction, orvane::PvDirection::toOperator);
  EXPECT_EQ(tf->pv("/Configuration/maxDCVoltageStep").info().unit, "V/s");
}

TEST_F(StepLimiterTest, RampUpLandsExactlyOnTheSetpoint) {
  start(3.0);
  journal.take();
  setpoint(10.0);
  EXPECT_EQ(journal.take(), Events{}); // the first step waits for a trigger
  trigger(6);
  EXPECT_EQ(journal.take(), (Events{"v=3", "v=6", "v=9", "v=10", "ready="}));
}

TEST_F(StepLimiterTest, DistanceEqualToTheStepEndsWithOneStep) {
  start(3.0);
  journal.take();
  setpoint(3.0);
  trigger(2);
  EXPECT_EQ(journal.take(), (Events{"v=3", "ready="}));
}

TEST_F(StepLimiterTest, RampDown) {
  start(2.5);
  setpoint(10.0);
  trigger(4);
  journal.take();
  setpoint(4.0);
  trigger(4);
  EXPECT_EQ(journal.take(), (Events{"v=7.5", "v=5", "v=4", "ready="}));
}

TEST_F(StepLimiterTest, SetpointEqualToTheVoltageRewritesItOnce) {
  start(3.0);
  journal.take();
  setpoint(0.0);
  trigger(2);
  EXPECT_EQ(journal.take(), (Events{"v=0", "ready="}));
}

TEST_F(StepLimiterTest, NewSetpointDuringARampEndsItAndTurns) {
  start(3.0);
  journal.take();
  setpoint(10.0);
  trigger(2);
  setpoint(2.0);
  trigger(3);
  EXPECT_EQ(journal.take(), (Events{"v=3", "v=6", "ready=", "v=3", "v=2", "ready="}));
}

TEST_F(StepLimiterTest, ZeroStepHoldsUntilTheSetpointMeetsTheVoltage) {
  start(0.0);
  journal.take();
  setpoint(5.0);
  trigger(2);
  EXPECT_EQ(journal.take(), (Events{"v=0", "v=0"}));
  setpoint(0.0);
  EXPECT_EQ(journal.take(), (Events{"ready="}));
  trigger(2);
  EXPECT_EQ(journal.take(), (Events{"v=0", "ready="}));
}

TEST_F(StepLimiterTest, NegativeStepStillMovesTowardsTheSetpoint) {
  start(-2.0);
  journal.take();
  setpoint(3.0);
  trigger(3);
  EXPECT_EQ(journal.take(), (Events{"v=2", "v=3", "ready="}));
}

TEST(StepLimiterStep, UsableStep) {
  EXPECT_EQ(VoltageStepLimiter::usableStep(0.5), 0.5);
  EXPECT_EQ(VoltageStepLimiter::usableStep(-0.5), 0.5);
  EXPECT_EQ(VoltageStepLimiter::usableStep(std::nan("")), 0.0);
}

} // namespace
