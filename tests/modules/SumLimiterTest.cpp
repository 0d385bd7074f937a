#include "modules/SumLimiter.hpp"
#include "ModuleTestSupport.hpp"

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
  SumLimiter limiter{&channel0, "VoltageSumLimiter",
                     "Limit the sum of the AD and DC drive voltage components."};
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

/// Start with the initial pair, optionally write one change, and compare what is published.
struct Case {
  const char* name;
  double ac, dc;
  const char* change; // "acVoltageSetpoint", "dcVoltageSetpoint" or nullptr
  double value;
  Events expected;
};

TEST_F(SumLimiterTest, LimitTestAndMessages) {
  const std::string tail = " > 10.000000).";
  const Case cases[] = {
      {"initial values within the limit pass on", 4, 5, nullptr, 0, {"msg=", "limitedDc=5", "amplitude=4"}},
      {"initial values beyond the limit are zeroed",
       8,
       5,
       nullptr,
       0,
       {"ac=0", "dc=0",
        "msg=Error in initialisation: Sum of AC and DC voltage setpoins exeeds limit. Keeping them at 0 "
        "(abs(8.000000) + abs(5.000000)" +
            tail,
        "limitedDc=0", "amplitude=0"}},
      {"a sum equal to the limit passes", 4, 5, "dcVoltageSetpoint", 6, {"dc=6", "limitedDc=6", "msg="}},
      {"DC beyond the limit is set back",
       4,
       5,
       "dcVoltageSetpoint",
       7,
       {"dc=7", "dc=5",
        "msg=DC voltage setpoint 7.000000 rejected. Set back to 5.000000 (abs(4.000000) + abs(7.000000)" +
            tail}},
      {"magnitudes count, the AC term comes first",
       4,
       5,
       "acVoltageSetpoint",
       -6,
       {"ac=-6", "ac=4",
        "msg=AC voltage setpoint -6.000000 rejected. Set back to 4.000000 (abs(-6.000000) + abs(5.000000)" +
            tail}},
      {"not a number never reaches the drive",
       4,
       5,
       "dcVoltageSetpoint",
       std::nan(""),
       {"dc=nan", "dc=5",
        "msg=DC voltage setpoint nan rejected. Set back to 5.000000 (abs(4.000000) + abs(nan)" + tail}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    start(c.ac, c.dc);
    if (c.change != nullptr) {
      journal.take();
      put(c.change, c.value);
    }
    EXPECT_EQ(journal.take(), c.expected);
    TearDown();
  }
}

TEST_F(SumLimiterTest, AfterARejectionTheRestoredValueIsPaired) {
  start(4.0, 5.0);
  put("acVoltageSetpoint", 9.0); // rejected, AC back to 4
  put("dcVoltageSetpoint", 6.0); // 4 + 6 passes; 9 + 6 would not
  EXPECT_EQ(tf->readScalar<double>(LIMITED_DC), 6.0);
  put("acVoltageSetpoint", -4.0); // 4 + 6 again
  EXPECT_EQ(tf->readScalar<double>(AMPLITUDE), -4.0);
  EXPECT_EQ(tf->readScalar<std::string>(VSL + "inputRejectedMessage"), "");
  EXPECT_EQ(tf->pv(VSL + "dcVoltageSetpoint").info().direction, orvane::PvDirection::bidirectional);
}

} // namespace
