#include "ModuleTestSupport.hpp"
#include "modules/SumLimiter.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <memory>

using namespace quellor;

namespace {

const std::string VSL = "/Channel0/VoltageSumLimiter/";
const std::string LIMITED_DC = "/Channel0/StateMachine/dcVoltageSetpoint";
const std::string AMPLITUDE = "/Channel0/FeedforwardCompensation/amplitude";

struct SumLimiterApp : orvane::Application {
  explicit SumLimiterApp(const std::string& configFile)
      : Application("sumtest"), config(this, "Configuration", configFile) {}
  ~SumLimiterApp() override { shutdown(); }
  orvane::ConfigReader config;
  orvane::ModuleGroup channel0{this, "Channel0", ""};
  SumLimiter limiter{&channel0, "VoltageSumLimiter", "Limit the sum of the AD and DC drive voltage components."};
  void defineConnections() override { findTag(".*").connectTo(orvane::ControlSystemModule{}); }
};

class SumLimiterTest : public ::testing::Test {
protected:
  void start(double ac, double dc) {
    cfg = std::make_unique<test::ConfigFile>();
    app = std::make_unique<SumLimiterApp>(cfg->path());
    tf = std::make_unique<orvane::TestFacility>(*app);
    app->initialise();
    journal.watch(*app, {{VSL + "acVoltageSetpoint", "ac"},
                         {VSL + "dcVoltageSetpoint", "dc"},
                         {VSL + "inputRejectedMessage", "msg"},
                         {LIMITED_DC, "limitedDc"},
                         {AMPLITUDE, "amplitude"}});
    tf->writeScalar<double>(VSL + "acVoltageSetpoint", ac);
    tf->writeScalar<double>(VSL + "dcVoltageSetpoint", dc);
    journal.take();
    tf->runApplication();
  }
  void TearDown() override {
    tf.reset();
    app.reset();
  }
  void put(const std::string& name, double v) {
    tf->writeScalar<double>(VSL + name, v);
    tf->stepApplication();
  }

  test::Journal journal;
  std::unique_ptr<test::ConfigFile> cfg;
  std::unique_ptr<SumLimiterApp> app;
  std::unique_ptr<orvane::TestFacility> tf;
};

using Events = std::vector<std::string>;

TEST_F(SumLimiterTest, InitialValuesWithinTheLimitPassOn) {
  start(4.0, 5.0);
  EXPECT_EQ(journal.take(), (Events{"msg=", "limitedDc=5", "amplitude=4"}));
  EXPECT_EQ(tf->pv(VSL + "dcVoltageSetpoint").info().direction, orvane::PvDirection::bidirectional);
  EXPECT_EQ(tf->pv(VSL + "inputRejectedMessage").info().unit, ".n.A.");
  EXPECT_EQ(tf->pv(VSL + "dcVoltageSetpoint").info().description, "Volatge setpoint of the DC bias");
}

TEST_F(SumLimiterTest, InitialValuesBeyondTheLimitAreZeroed) {
  start(8.0, 5.0);
  EXPECT_EQ(journal.take(),
            (Events{"ac=0", "dc=0",
                    "msg=Error in initialisation: Sum of AC and DC voltage setpoins exeeds limit. Keeping them at 0 "
                    "(abs(8.000000) + abs(5.000000) > 10.000000).",
                    "limitedDc=0", "amplitude=0"}));
  EXPECT_EQ(tf->readScalar<double>(VSL + "acVoltageSetpoint"), 0.0);
}

TEST_F(SumLimiterTest, SumEqualToTheLimitIsAccepted) {
  start(4.0, 5.0);
  journal.take();
  put("dcVoltageSetpoint", 6.0);
  EXPECT_EQ(journal.take(), (Events{"dc=6", "limitedDc=6", "msg="}));
}

TEST_F(SumLimiterTest, DcBeyondTheLimitIsSetBack) {
  start(4.0, 5.0);
  journal.take();
  put("dcVoltageSetpoint", 7.0);
  EXPECT_EQ(journal.take(),
            (Events{"dc=7", "dc=5",
                    "msg=DC voltage setpoint 7.000000 rejected. Set back to 5.000000 (abs(4.000000) + abs(7.000000) > "
                    "10.000000)."}));
  EXPECT_EQ(tf->readScalar<double>(LIMITED_DC), 5.0);
}

TEST_F(SumLimiterTest, MagnitudesCountAndTheAcTermComesFirst) {
  start(4.0, 5.0);
  journal.take();
  put("acVoltageSetpoint", -6.0);
  EXPECT_EQ(journal.take(),
            (Events{"ac=-6", "ac=4",
                    "msg=AC voltage setpoint -6.000000 rejected. Set back to 4.000000 (abs(-6.000000) + abs(5.000000) > "
                    "10.000000)."}));
  put("dcVoltageSetpoint", -10.5);
  EXPECT_NE(tf->readScalar<std::string>(VSL + "inputRejectedMessage")
                .find("(abs(4.000000) + abs(-10.500000) > 10.000000)."),
            std::string::npos);
}

TEST_F(SumLimiterTest, AfterARejectionTheRestoredValueIsPaired) {
  start(4.0, 5.0);
  put("acVoltageSetpoint", 9.0);  // rejected, AC back to 4
  put("dcVoltageSetpoint", 6.0);  // 4 + 6 passes; 9 + 6 would not
  EXPECT_EQ(tf->readScalar<double>(LIMITED_DC), 6.0);
  put("acVoltageSetpoint", -4.0); // 4 + 6 again
  EXPECT_EQ(tf->readScalar<double>(AMPLITUDE), -4.0);
  EXPECT_EQ(tf->readScalar<std::string>(VSL + "inputRejectedMessage"), "");
}

TEST_F(SumLimiterTest, NotANumberNeverReachesTheDrive) {
  start(4.0, 5.0);
  journal.take();
  put("dcVoltageSetpoint", std::nan(""));
  EXPECT_EQ(tf->readScalar<double>(LIMITED_DC), 5.0);
  EXPECT_EQ(tf->readScalar<double>(VSL + "dcVoltageSetpoint"), 5.0);
  put("acVoltageSetpoint", INFINITY);
  EXPECT_EQ(tf->readScalar<double>(AMPLITUDE), 4.0);
}

} // namespace
