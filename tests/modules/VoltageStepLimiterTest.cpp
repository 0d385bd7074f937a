#include "modules/VoltageStepLimiter.hpp"
#include "ModuleTestSupport.hpp"

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

using Events = std::vector<std::string>;

/// One ramp scenario: a script of new setpoints ('s', value) and triggers ('t', count), and
/// every value written to the board register and every `ready`, in order.
struct Ramp {
  const char* name;
  double maxStep;
  std::vector<std::pair<char, double>> script;
  Events expected;
};

TEST(StepLimiter, Ramps) {
  const Ramp ramps[] = {
      {"initial setpoint starts nothing", 3.0, {{'t', 3}}, {}},
      {"up in steps, landing exactly", 3.0, {{'s', 10}, {'t', 6}}, {"v=3", "v=6", "v=9", "v=10", "ready="}},
      {"distance equal to the step", 3.0, {{'s', 3}, {'t', 2}}, {"v=3", "ready="}},
      {"down",
       2.5,
       {{'s', 10}, {'t', 4}, {'s', 4}, {'t', 4}},
       {"v=2.5", "v=5", "v=7.5", "v=10", "ready=", "v=7.5", "v=5", "v=4", "ready="}},
      {"setpoint equal to the voltage", 3.0, {{'s', 0}, {'t', 2}}, {"v=0", "ready="}},
      {"superseded ramp turns",
       3.0,
       {{'s', 10}, {'t', 2}, {'s', 2}, {'t', 3}},
       {"v=3", "v=6", "ready=", "v=3", "v=2", "ready="}},
      {"zero step holds",
       0.0,
       {{'s', 5}, {'t', 2}, {'s', 0}, {'t', 2}},
       {"v=0", "v=0", "ready=", "v=0", "ready="}},
      {"negative step still heads for the setpoint", -2.0, {{'s', 3}, {'t', 3}}, {"v=2", "v=3", "ready="}},
  };
  for (const auto& r : ramps) {
    SCOPED_TRACE(r.name);
    char step[64];
    std::snprintf(step, sizeof step, "double:%.17g", r.maxStep);
    test::ConfigFile cfg(test::Overrides{{"maxDCVoltageStep", step}});
    StepLimiterApp app(cfg.path());
    orvane::TestFacility tf(app);
    app.initialise();
    test::Journal journal;
    journal.watch(app, {{"/Channel0/dcVoltage", "v"}, {SL + "ready", "ready"}});
    tf.writeScalar<double>(SL + "dcVoltageSetpoint", 7.0); // initial value: not a new setpoint
    tf.runApplication();
    EXPECT_EQ(journal.take(), (Events{"ready=", "v=0"}));
    int64_t triggers = 0;
    for (const auto& [what, value] : r.script) {
      if (what == 's') {
        tf.writeScalar<double>(SL + "dcVoltageSetpoint", value);
        tf.stepApplication();
      }
      for (int i = 0; what == 't' && i < value; ++i) {
        tf.writeScalar<int64_t>("/Server/triggerNumber", ++triggers);
        tf.stepApplication();
      }
    }
    EXPECT_EQ(journal.take(), r.expected);
  }
}

TEST(StepLimiter, UsableStep) {
  EXPECT_EQ(VoltageStepLimiter::usableStep(0.5), 0.5);
  EXPECT_EQ(VoltageStepLimiter::usableStep(-0.5), 0.5);
  EXPECT_EQ(VoltageStepLimiter::usableStep(std::nan("")), 0.0);
}

} // namespace
