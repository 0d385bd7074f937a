#include "framework/Orvane.hpp"

#include <gtest/gtest.h>

using namespace orvane;

namespace {

// A tree shaped like a piezo channel, to check how hierarchy modifiers resolve directories.
struct Main : ApplicationModule {
  using ApplicationModule::ApplicationModule;
  ScalarPushInput<int32_t> own{this, "requestedState", "", ""};
  struct : VariableGroup {
    using VariableGroup::VariableGroup;
    ScalarOutput<double> sp{this, "dcVoltageSetpoint", "V", ""};
  } up{this, "DcVoltageStepLimiter", "", HierarchyModifier::oneLevelUp};
  struct : VariableGroup {
    using VariableGroup::VariableGroup;
    ScalarOutput<int32_t> start{this, "start", "", ""};
  } timer{this, "ErrorResetDelayTimer", ""};
  struct : VariableGroup {
    using VariableGroup::VariableGroup;
    ScalarOutput<Boolean> relay{this, "loadRelayControl", "", ""};
  } channel{this, "channel", "", HierarchyModifier::oneUpAndHide};
  struct : VariableGroup {
    using VariableGroup::VariableGroup;
    ScalarPollInput<double> max{this, "maxDriveVoltage", "V", ""};
  } config{this, "Configuration", "", HierarchyModifier::moveToRoot};
  ModifyHierarchy<ScalarPushInput<Boolean>> monitor{this, "/Board/hwProtectionMonitor", "", ""};
  void mainLoop() override {}
};

struct Group : ModuleGroup {
  using ModuleGroup::ModuleGroup;
  Main main{this, "Main", "", HierarchyModifier::hideThis};
};

struct Channel : ModuleGroup {
  using ModuleGroup::ModuleGroup;
  Group sm{this, "StateMachine", "FIXME"};
};

struct App : Application {
  App() : Application("pathtest") {}
  ~App() override { shutdown(); }
  Channel ch{this, "Channel3", ""};
  void defineConnections() override {}
};

TEST(Paths, HierarchyModifiersResolveAsInTheChannelTree) {
  App app;
  auto& m = app.ch.sm.main;
  EXPECT_EQ(m.own.getName(), "/Channel3/StateMachine/requestedState");
  EXPECT_EQ(m.up.sp.getName(), "/Channel3/DcVoltageStepLimiter/dcVoltageSetpoint");
  EXPECT_EQ(m.timer.start.getName(), "/Channel3/StateMachine/ErrorResetDelayTimer/start");
  EXPECT_EQ(m.channel.relay.getName(), "/Channel3/loadRelayControl");
  EXPECT_EQ(m.config.max.getName(), "/Configuration/maxDriveVoltage");
  EXPECT_EQ(m.monitor.value.getName(), "/Board/hwProtectionMonitor");
}

TEST(Paths, NormalisationAndSlashRefusals) {
  EXPECT_EQ(path::join("/a/b", "../c"), "/a/c");
  EXPECT_EQ(path::join("/a", "/x/y/"), "/x/y");
  EXPECT_EQ(path::parent("/"), "/");
  App app;
  try {
    ModuleGroup bad(&app, "a/b", "");
    FAIL();
  } catch (const std::logic_error& e) {
    EXPECT_STREQ(e.what(), "Module names must not contain slashes: 'a/b'.");
  }
  try {
    ScalarOutput<int32_t> bad(&app.ch.sm.main, "x/y", "", "");
    FAIL();
  } catch (const std::logic_error& e) {
    EXPECT_STREQ(e.what(), "Accessor names must not contain slashes: 'x/y' in module 'Main'.");
  }
}

} // namespace
