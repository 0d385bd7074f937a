#include "board/MultiChannelResetWriter.hpp"
#include "board/RebootWatchdog.hpp"
#include "framework/Log.hpp"
#include "framework/TestFacility.hpp"
#include "framework/devicemodule/DeviceModule.hpp"

#include "tests/app/AppTestSupport.hpp"

#include <gtest/gtest.h>

using namespace orvane;

namespace {

// Feeds the watchdog's status path with a value and a validity chosen by the test.
struct StatusFeeder : ApplicationModule {
  using ApplicationModule::ApplicationModule;
  ScalarPushInput<uint32_t> value{this, "value", "", ""};
  ScalarPollInput<int32_t> faulty{this, "faulty", "", ""};
  ModifyHierarchy<ScalarOutput<uint32_t>> status{this, "/Board/driverBootStatus", "", ""};
  void mainLoop() override {
    ReadAnyGroup group{value, faulty};
    for (;;) {
      group.readAny();
      status.value = value;
      status->setDataValidity(faulty != 0 ? DataValidity::faulty : DataValidity::ok);
      status->write();
    }
  }
};

struct WatchdogApp : Application {
  WatchdogApp() : Application("watchdogtest") {}
  ~WatchdogApp() override { shutdown(); }
  DeviceModule device{this, "Board"};
  StatusFeeder feeder{this, "Feed", ""};
  quellor::RebootWatchdog watchdog{this, "DriverRebootWatchdog",
                                   "Monitor whether the driver board has been rebooted", device,
                                   "/Board/driverBootStatus"};
  void defineConnections() override {
    setDMapFilePath("watchdog.dmap");
    findTag(".*").connectTo(ControlSystemModule{});
  }
};

TEST(RebootWatchdog, OnlyAValidZeroAfterStartIsAReboot) {
  quellor::testing::RuntimeDirectory dir;
  dir.write("watchdog.dmap", "Board dummy:?map=tiny.map\n");
  dir.write("tiny.map", "Other/word 1 0x0 4 fixed 32 0 0 rw\n");
  WatchdogApp app;
  TestFacility tf(app);
  app.initialise();
  tf.writeScalar<uint32_t>("/Feed/value", 0);
  tf.writeScalar<int32_t>("/Feed/faulty", 0);
  tf.runApplication();
  tf.writeScalar<uint32_t>("/Feed/value", 0); // the feeder's first write: the watchdog's initial value
  tf.stepApplication();
  EXPECT_EQ(app.device.openCount(), 1u);
  EXPECT_EQ(app.device.getFaultMessage(), "");

  tf.writeScalar<uint32_t>("/Feed/value", 7);
  tf.stepApplication();
  EXPECT_EQ(app.device.openCount(), 1u);

  tf.writeScalar<int32_t>("/Feed/faulty", 1);
  tf.writeScalar<uint32_t>("/Feed/value", 0);
  tf.stepApplication();
  EXPECT_EQ(app.device.openCount(), 1u) << "a faulty 0 was taken as a reboot";

  tf.writeScalar<int32_t>("/Feed/faulty", 0);
  tf.writeScalar<uint32_t>("/Feed/value", 0);
  tf.stepApplication();
  EXPECT_EQ(app.device.getFaultMessage(), "RebootWatchdog: Reboot detected. /Board/driverBootStatus is 0.");
  EXPECT_EQ(app.device.openCount(), 2u);
  tf.writeScalar<uint32_t>("/Feed/value", 0);
  tf.stepApplication();
  EXPECT_EQ(app.device.openCount(), 3u);
}

struct ResetApp : Application {
  explicit ResetApp(uint64_t n)
      : Application("resettest"),
        writer(this, "hwProtectionResetWriter", "", n, HierarchyModifier::hideThis) {}
  ~ResetApp() override { shutdown(); }
  quellor::MultiChannelResetWriter writer;
  void defineConnections() override { findTag(".*").connectTo(ControlSystemModule{}); }
};

TEST(MultiChannelResetWriter, EveryChannelEventIsOneBoardWrite) {
  ResetApp app(3);
  TestFacility tf(app);
  tf.runApplication();
  std::vector<std::string> inputs;
  for (auto& in : app.writer.channelResets)
    inputs.push_back(in->getName());
  EXPECT_EQ(inputs, (std::vector<std::string>{"/Channel0/hwProtectionReset", "/Channel1/hwProtectionReset",
                                              "/Channel2/hwProtectionReset"}));
  EXPECT_EQ(app.writer.boardReset->getName(), "/Board/hwProtectionReset");
  EXPECT_EQ(app.writer.boardReset->getDescription(), "aka BSP/WORD_PEM_CTL_RESET");
  EXPECT_EQ(tf.updateCount("/Board/hwProtectionReset"), 0u);

  tf.writeScalar<Void>("/Channel0/hwProtectionReset", Void{});
  tf.stepApplication();
  EXPECT_EQ(tf.updateCount("/Board/hwProtectionReset"), 1u);
  tf.writeScalar<Void>("/Channel2/hwProtectionReset", Void{});
  tf.writeScalar<Void>("/Channel1/hwProtectionReset", Void{});
  tf.writeScalar<Void>("/Channel2/hwProtectionReset", Void{});
  tf.stepApplication();
  EXPECT_EQ(tf.updateCount("/Board/hwProtectionReset"), 4u);
}

TEST(MultiChannelResetWriter, WithoutChannelsItIdlesAndSaysSo) {
  ResetApp app(0);
  TestFacility tf(app);
  log::Capture events;
  tf.runApplication();
  const auto said = events.find("no channels configured");
  ASSERT_EQ(said.size(), 1u);
  EXPECT_EQ(said[0].severity, log::Severity::warning);
  EXPECT_TRUE(said[0].source.ends_with("hwProtectionResetWriter")) << said[0].source;
  EXPECT_EQ(tf.updateCount("/Board/hwProtectionReset"), 0u);
}

} // namespace
