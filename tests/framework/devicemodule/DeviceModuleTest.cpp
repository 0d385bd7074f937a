#include "framework/devicemodule/DeviceModule.hpp"
#include "framework/Log.hpp"
#include "framework/Orvane.hpp"
#include "framework/TestFacility.hpp"
#include "framework/device/DeviceError.hpp"
#include "framework/device/DummyBackend.hpp"
#include "framework/device/ShmBackend.hpp"
#include "tests/framework/device/TempDir.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <fstream>
#include <functional>

#include <sys/wait.h>
#include <unistd.h>

using namespace orvane;
using orvane::device::test::TempDir;

namespace {

const char* const boardMap = R"(# path                   elements offset bytes type  width frac signed access
Board/driverBootStatus       1        0x00   4     fixed 32    0    0      ro
BSP/WORD_PEM_CTL_MON         1        0x04   4     fixed 1     0    0      ro
BSP/WORD_PEM_CTL_RESET       1        0x08   4     void  0     0    0      wo
Channel0/dacVoltage          4        0x10   4     fixed 18    0    1      ro
Channel0/dcVoltage           1        0x20   4     fixed 32    16   1      rw
Channel0/controlTableMode    1        0x24   4     fixed 32    0    1      wo
Channel0/appliedTableMode    1        0x28   4     fixed 32    0    1      ro
Channel0/enableFeedback      1        0x2c   4     fixed 1     0    0      rw
Channel0/swapControlTable    1        0x30   4     fixed 32    0    1      wo
alias Board/hwProtectionMonitor BSP/WORD_PEM_CTL_MON
alias Board/hwProtectionReset   BSP/WORD_PEM_CTL_RESET
operator Channel0/dcVoltage
operator BSP/WORD_PEM_CTL_RESET
)";

const std::string alias = "PiezoDriver";

// The event log as it would read, one "source: message" per line.
std::string logText(const log::Capture& events) {
  std::string out;
  for (auto& e : events.entries())
    out += e.source + ": " + e.message + "\n";
  return out;
}
const std::vector<std::string> readPaths = {"/Board/driverBootStatus", "/BSP/WORD_PEM_CTL_MON",
                                            "/Board/hwProtectionMonitor", "/Channel0/dacVoltage",
                                            "/Channel0/appliedTableMode"};

// Sits on register paths the way the channel modules do, and records what reaches it.
struct BoardUser : ApplicationModule {
  using ApplicationModule::ApplicationModule;
  ModifyHierarchy<ScalarPushInput<int32_t>> appliedTableMode{this, "/Channel0/appliedTableMode", "", ""};
  ModifyHierarchy<ScalarOutput<int32_t>> controlTableMode{this, "/Channel0/controlTableMode", "", ""};
  ScalarPushInput<int32_t> request{this, "request", "", ""};
  int reads = 0;
  int faultyReads = 0;
  int lastValue = -1;
  void mainLoop() override {
    ReadAnyGroup group{appliedTableMode.value, request};
    for (;;) {
      if (group.readAny() == request.getId()) {
        if (request.value() == 99) throw std::runtime_error("BoardUser gives up");
        controlTableMode.value = request.value();
        controlTableMode.value.write();
        continue;
      }
      ++reads;
      if (appliedTableMode->dataValidity() == DataValidity::faulty) ++faultyReads;
      lastValue = appliedTableMode.value;
    }
  }
};

// What the reboot watchdog does: a valid 0 in the boot status is a reboot.
struct BootWatch : ApplicationModule {
  BootWatch(EntityOwner* owner, DeviceModule& d) : ApplicationModule(owner, "BootWatch", ""), device(d) {}
  ModifyHierarchy<ScalarPushInput<uint32_t>> bootStatus{this, "/Board/driverBootStatus", "", ""};
  DeviceModule& device;
  void mainLoop() override {
    for (;;) {
      bootStatus->read();
      if (bootStatus->dataValidity() == DataValidity::ok && bootStatus->value() == 0)
        device.reportException("reboot seen in " + bootStatus->getName());
    }
  }
};

struct TestApp : Application {
  TestApp(std::filesystem::path dmapFile, bool connect, DeviceModule::InitialisationHandler init = {})
      : Application("devicetest"), dmap(std::move(dmapFile)), connectDevice(connect),
        dev(this, alias, std::move(init)) {}
  ~TestApp() override { shutdown(); }
  std::filesystem::path dmap;
  bool connectDevice;
  DeviceModule dev;
  BoardUser user{this, "User", ""};
  BootWatch watch{this, dev};
  void defineConnections() override {
    setDMapFilePath(dmap.string());
    if (connectDevice) dev.connectTo(ControlSystemModule{}, ControlSystemModule{}["Server"]("triggerNumber"));
    findTag(".*").connectTo(ControlSystemModule{});
  }
};

class DeviceModuleTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir.write("board.map", boardMap);
    dmap = dir.write("quellor.dmap", "PiezoDriver dummy:?map=board.map\n");
  }
  // The board as the init handler leaves it: booted, nothing else set.
  static void boot(DeviceModule& d) { d.dummyDevice().write<uint32_t>("/Board/driverBootStatus", {1}); }
  // boot(), counting the openings in `inits`.
  static DeviceModule::InitialisationHandler countedBoot(int& inits) {
    return [&inits](DeviceModule& d) {
      ++inits;
      boot(d);
    };
  }

  void trigger(TestFacility& tf) {
    tf.writeScalar<int64_t>("/Server/triggerNumber", ++triggerCount);
    tf.stepApplication();
  }

  TempDir dir;
  std::filesystem::path dmap;
  int64_t triggerCount = 0;
};

TEST_F(DeviceModuleTest, EveryTriggerPollsEachReadRegisterOnceWithTheTriggersVersion) {
  int inits = 0;
  TestApp app(dmap, true, [&](DeviceModule& d) {
    ++inits;
    boot(d);
  });
  TestFacility tf(app);
  app.initialise();
  tf.writeDeviceScalar<int32_t>(alias, "/Channel0/appliedTableMode", 1);
  tf.writeDeviceRaw(alias, "/Channel0/dacVoltage", {0x3FFFF, 0x1FFFF, 0x20000, 5});
  tf.runApplication();

  // The opening's read gives every register its first value; a module sees it as initial value.
  EXPECT_EQ(inits, 1);
  for (const auto& p : readPaths)
    EXPECT_EQ(tf.updateCount(p), 1u) << p;
  EXPECT_EQ(app.user.reads, 0);
  EXPECT_EQ(app.user.appliedTableMode.value, 1);
  EXPECT_EQ(tf.readArray<int32_t>("/Channel0/dacVoltage"), (std::vector<int32_t>{-1, 131071, -131072, 5}));
  EXPECT_EQ(tf.readScalar<int32_t>("/Devices/PiezoDriver/status"), 0);
  EXPECT_EQ(tf.readScalar<std::string>("/Devices/PiezoDriver/message"), "");

  for (int i = 1; i <= 3; ++i) {
    tf.writeDeviceScalar<int32_t>(alias, "/Channel0/appliedTableMode", 10 + i);
    trigger(tf);
    const auto version = tf.readVersion("/Server/triggerNumber");
    for (const auto& p : readPaths) {
      EXPECT_EQ(tf.updateCount(p), 1u + i) << p;
      EXPECT_EQ(tf.readVersion(p), version) << p;
      EXPECT_EQ(tf.readValidity(p), DataValidity::ok) << p;
    }
    EXPECT_EQ(app.user.reads, i);
    EXPECT_EQ(app.user.lastValue, 10 + i);
  }

  // Two triggers before the device thread runs are two polls, each with its own version.
  tf.writeScalar<int64_t>("/Server/triggerNumber", 100);
  tf.writeScalar<int64_t>("/Server/triggerNumber", 101);
  tf.stepApplication();
  EXPECT_EQ(tf.updateCount("/Channel0/appliedTableMode"), 6u);
  EXPECT_EQ(app.user.reads, 5);
  EXPECT_EQ(inits, 1);
  EXPECT_EQ(app.dev.openCount(), 1u);
  EXPECT_EQ(app.dev.pollStatistics().polls, 6u); // the opening's read and five triggers
}

// The device thread keeps the latest triggers only; the ones it drops are lost values like any
// other, so that the server's lost-value figures show a board that cannot keep up.
TEST_F(DeviceModuleTest, TriggersTheDeviceThreadCannotKeepUpWithAreCountedAsLost) {
  // The same polls either way (the 16 latest triggers); the test modules' inputs lose the same
  // values in both runs, so what differs is what the device thread dropped.
  auto lostAfter = [&](int64_t triggers) {
    TestApp app(dmap, true, boot);
    TestFacility tf(app);
    app.initialise();
    tf.runApplication();
    const auto pollsBefore = app.dev.pollStatistics().polls;
    for (int64_t i = 1; i <= triggers; ++i)
      tf.writeScalar<int64_t>("/Server/triggerNumber", i);
    tf.stepApplication();
    EXPECT_EQ(app.dev.pollStatistics().polls - pollsBefore, 16u);
    return app.lostValues().total;
  };
  const auto keptUp = lostAfter(16);
  EXPECT_EQ(lostAfter(20), keptUp + 4);
}

TEST_F(DeviceModuleTest, WritesReachTheRegistersConvertedInTheWritersThread) {
  TestApp app(dmap, true, boot);
  TestFacility tf(app);
  tf.runApplication();
  auto& dummy = app.dev.dummyDevice();

  // The control system writes this register itself: done when writeScalar returns.
  tf.writeScalar<double>("/Channel0/dcVoltage", -1.25);
  EXPECT_EQ(tf.readDeviceRaw(alias, "/Channel0/dcVoltage"), std::vector<uint32_t>{0xFFFEC000u});
  tf.writeScalar<double>("/Channel0/dcVoltage", 0.5 / 65536);
  EXPECT_EQ(tf.readDeviceRaw(alias, "/Channel0/dcVoltage"), std::vector<uint32_t>{1});
  tf.writeScalar<double>("/Channel0/dcVoltage", 1e6);
  EXPECT_EQ(tf.readDeviceRaw(alias, "/Channel0/dcVoltage"), std::vector<uint32_t>{0x7FFFFFFFu});
  EXPECT_DOUBLE_EQ(tf.readDeviceScalar<double>(alias, "/Channel0/dcVoltage"), 32767.9999847412109375);

  // A module's output is written when the module writes it, in the module's thread.
  tf.writeScalar<int32_t>("/User/request", -7);
  EXPECT_EQ(tf.readDeviceScalar<int32_t>(alias, "/Channel0/controlTableMode"), 0);
  tf.stepApplication();
  EXPECT_EQ(tf.readDeviceScalar<int32_t>(alias, "/Channel0/controlTableMode"), -7);

  // Events of a void register, under either of its paths; the start-up value was no event.
  EXPECT_EQ(dummy.writeCount("/BSP/WORD_PEM_CTL_RESET"), 0u);
  // One writable word with two names is reachable under one of them only: a second published
  // name would be a way around whatever module feeds the first.
  EXPECT_THROW(tf.pv("/Board/hwProtectionReset"), std::logic_error);
  tf.writeScalar<Void>("/BSP/WORD_PEM_CTL_RESET", Void{});
  tf.writeScalar<Void>("/BSP/WORD_PEM_CTL_RESET", Void{});
  EXPECT_EQ(dummy.writeCount("/BSP/WORD_PEM_CTL_RESET"), 2u);
  EXPECT_EQ(tf.pv("/Board/hwProtectionMonitor").info().direction, PvDirection::toOperator);
  EXPECT_EQ(tf.pv("/Channel0/dcVoltage").info().direction, PvDirection::fromOperator);
}

TEST_F(DeviceModuleTest, AFaultSendsFaultyValuesOnceThenRecoveryReinitialisesAndRewrites) {
  int inits = 0;
  TestApp app(dmap, true, [&](DeviceModule& d) {
    ++inits;
    boot(d);
    // A re-opened board has lost its settings.
    d.dummyDevice().write<double>("/Channel0/dcVoltage", {0.0});
    d.dummyDevice().write<int32_t>("/Channel0/controlTableMode", {0});
  });
  TestFacility tf(app);
  tf.runApplication();
  tf.writeScalar<double>("/Channel0/dcVoltage", 2.5);
  tf.writeScalar<int32_t>("/User/request", 1);
  trigger(tf);
  const auto beforeFault = tf.updateCount("/Channel0/appliedTableMode");
  const auto okVersion = tf.readVersion("/Channel0/appliedTableMode");

  // The read of the next trigger fails; the device recovers at once (first attempt, no back-off)
  // but the faulty values have gone out first, once.
  tf.injectDeviceFault(alias);
  trigger(tf);
  EXPECT_EQ(inits, 2);
  EXPECT_EQ(app.dev.openCount(), 2u);
  EXPECT_EQ(app.user.faultyReads, 1);
  auto updates = tf.takeRawUpdates("/Channel0/appliedTableMode");
  ASSERT_EQ(updates.size(), beforeFault + 2); // the faulty one, then the recovery's read
  EXPECT_EQ(tf.readValidity("/Channel0/appliedTableMode"), DataValidity::ok);
  EXPECT_GT(tf.readVersion("/Channel0/appliedTableMode"), okVersion);
  EXPECT_EQ(tf.readDeviceScalar<double>(alias, "/Channel0/dcVoltage"), 2.5);
  EXPECT_EQ(tf.readDeviceScalar<int32_t>(alias, "/Channel0/controlTableMode"), 1);
  EXPECT_EQ(tf.readScalar<int32_t>("/Devices/PiezoDriver/status"), 0);
  const auto message = tf.readScalar<std::string>("/Devices/PiezoDriver/message");
  EXPECT_NE(message.find("'PiezoDriver' (dummy): read failed: injected failure"), std::string::npos)
      << message;
  EXPECT_EQ(tf.takeUpdates<int32_t>("/Devices/PiezoDriver/status"), (std::vector<int32_t>{1, 0, 1, 0}));

  // Values keep flowing afterwards.
  trigger(tf);
  EXPECT_EQ(tf.readVersion("/Channel0/appliedTableMode"), tf.readVersion("/Server/triggerNumber"));

  // A failing write is a fault too, and its value is not lost.
  tf.injectDeviceFault(alias);
  tf.writeScalar<double>("/Channel0/dcVoltage", 4.0);
  tf.stepApplication();
  EXPECT_EQ(inits, 3);
  EXPECT_EQ(tf.readDeviceScalar<double>(alias, "/Channel0/dcVoltage"), 4.0);
  EXPECT_NE(tf.readScalar<std::string>("/Devices/PiezoDriver/message").find("write failed"),
            std::string::npos);
}

TEST_F(DeviceModuleTest, WritesDuringAFaultAreKeptAndAFailedRecoveryWaitsForTheRetry) {
  int inits = 0;
  TestApp app(dmap, true, [&](DeviceModule& d) {
    ++inits;
    boot(d);
  });
  TestFacility tf(app);
  tf.runApplication();
  auto& dummy = app.dev.dummyDevice();
  tf.writeScalar<double>("/Channel0/dcVoltage", 1.0);

  // Every access of the recovery's first attempt fails too: the device stays faulty, and in
  // testable mode the back-off lasts until the test lets it pass.
  tf.failDeviceOpens(alias, 2);
  app.dev.reportException("operator says so");
  tf.stepApplication();
  EXPECT_FALSE(app.dev.isReady());
  EXPECT_EQ(tf.readScalar<int32_t>("/Devices/PiezoDriver/status"), 1);
  EXPECT_NE(tf.readScalar<std::string>("/Devices/PiezoDriver/message").find("cannot open: injected failure"),
            std::string::npos);
  EXPECT_EQ(tf.readValidity("/Board/driverBootStatus"), DataValidity::faulty);
  const auto faultyUpdates = tf.updateCount("/Board/driverBootStatus");

  // Triggers poll nothing; writes and events are kept, not lost.
  trigger(tf);
  tf.writeScalar<double>("/Channel0/dcVoltage", 3.0);
  tf.writeScalar<Void>("/BSP/WORD_PEM_CTL_RESET", Void{});
  tf.writeScalar<int32_t>("/User/request", 4);
  tf.stepApplication();
  EXPECT_EQ(tf.updateCount("/Board/driverBootStatus"), faultyUpdates);
  EXPECT_EQ(tf.readDeviceScalar<double>(alias, "/Channel0/dcVoltage"), 1.0);
  EXPECT_EQ(tf.readDeviceScalar<int32_t>(alias, "/Channel0/controlTableMode"), 0);
  EXPECT_EQ(dummy.writeCount("/Board/hwProtectionReset"), 0u);

  tf.retryDeviceRecovery(alias); // the second opening fails as well
  tf.stepApplication();
  EXPECT_FALSE(app.dev.isReady());
  EXPECT_EQ(inits, 1);

  tf.retryDeviceRecovery(alias);
  tf.stepApplication();
  EXPECT_TRUE(app.dev.isReady());
  EXPECT_EQ(inits, 2);
  EXPECT_EQ(tf.readDeviceScalar<double>(alias, "/Channel0/dcVoltage"), 3.0);
  EXPECT_EQ(tf.readDeviceScalar<int32_t>(alias, "/Channel0/controlTableMode"), 4);
  EXPECT_EQ(dummy.writeCount("/Board/hwProtectionReset"), 1u);
  EXPECT_EQ(tf.readValidity("/Board/driverBootStatus"), DataValidity::ok);
  EXPECT_EQ(tf.readScalar<int32_t>("/Devices/PiezoDriver/status"), 0);

  // An event delivered after the fault is not repeated by the next recovery.
  app.dev.reportException("again");
  tf.stepApplication();
  EXPECT_EQ(inits, 3);
  EXPECT_EQ(dummy.writeCount("/Board/hwProtectionReset"), 1u);
  EXPECT_EQ(tf.readScalar<std::string>("/Devices/PiezoDriver/message"), "again");
  // A retry request for a healthy device is ignored (and must not keep the application busy).
  tf.retryDeviceRecovery(alias);
  tf.stepApplication();
  EXPECT_EQ(inits, 3);
}

TEST_F(DeviceModuleTest, AReportFromAModuleThreadReopensTheDevice) {
  int inits = 0;
  TestApp app(dmap, true, [&](DeviceModule& d) {
    ++inits;
    boot(d);
  });
  TestFacility tf(app);
  tf.runApplication();
  EXPECT_EQ(inits, 1);

  // The board reboots: its boot status reads 0 until it is initialised again.
  tf.writeDeviceScalar<uint32_t>(alias, "/Board/driverBootStatus", 0);
  trigger(tf);
  EXPECT_EQ(inits, 2);
  EXPECT_EQ(tf.readScalar<std::string>("/Devices/PiezoDriver/message"),
            "reboot seen in /Board/driverBootStatus");
  EXPECT_EQ(tf.readScalar<uint32_t>("/Board/driverBootStatus"), 1u);
  EXPECT_EQ(tf.readScalar<int32_t>("/Devices/PiezoDriver/status"), 0);
  trigger(tf);
  EXPECT_EQ(inits, 2);
}

TEST_F(DeviceModuleTest, ABoardThatStaysUninitialisedIsRetriedWithPausesNotInALoop) {
  int inits = 0;
  bool bootWorks = true;
  TestApp app(dmap, true, [&](DeviceModule& d) {
    ++inits;
    if (bootWorks) boot(d);
  });
  TestFacility tf(app);
  tf.runApplication();
  log::Capture events;

  // The init script succeeds, yet the board still reads 0: each recovery's fresh read brings the
  // watchdog's report back at once. Such a relapse waits like a failed attempt.
  bootWorks = false;
  tf.writeDeviceScalar<uint32_t>(alias, "/Board/driverBootStatus", 0);
  trigger(tf);
  EXPECT_EQ(inits, 2);
  EXPECT_FALSE(app.dev.isReady());
  EXPECT_EQ(tf.readScalar<int32_t>("/Devices/PiezoDriver/status"), 1);
  EXPECT_EQ(tf.readValidity("/Board/driverBootStatus"), DataValidity::faulty);
  trigger(tf);
  EXPECT_EQ(inits, 2);
  tf.retryDeviceRecovery(alias);
  tf.stepApplication();
  EXPECT_EQ(inits, 3);
  EXPECT_FALSE(app.dev.isReady());

  bootWorks = true;
  tf.retryDeviceRecovery(alias);
  tf.stepApplication();
  EXPECT_EQ(inits, 4);
  EXPECT_TRUE(app.dev.isReady());
  const std::string log = logText(events);
  EXPECT_NE(log.find("device PiezoDriver: faulty again right after its recovery: reboot seen in "
                     "/Board/driverBootStatus"),
            std::string::npos)
      << log;
  EXPECT_NE(log.find("device PiezoDriver: recovered after 2 failed attempts"), std::string::npos) << log;

  // Once the recovery has lasted (here: the application came to rest after it), the next reboot
  // is a new fault and is recovered at once.
  tf.writeDeviceScalar<uint32_t>(alias, "/Board/driverBootStatus", 0);
  trigger(tf);
  EXPECT_EQ(inits, 5);
  EXPECT_TRUE(app.dev.isReady());
}

// The device alone: with no module waiting for its first values, the application can come to rest
// while the first openings fail.
struct BareDeviceApp : Application {
  explicit BareDeviceApp(std::filesystem::path dmapFile)
      : Application("devicetest"), dmap(std::move(dmapFile)), dev(this, alias, {}) {}
  ~BareDeviceApp() override { shutdown(); }
  std::filesystem::path dmap;
  DeviceModule dev;
  void defineConnections() override {
    setDMapFilePath(dmap.string());
    dev.connectTo(ControlSystemModule{}, ControlSystemModule{}["Server"]("triggerNumber"));
  }
};

TEST_F(DeviceModuleTest, FailedFirstOpeningsDoNotCountAgainstALaterFault) {
  BareDeviceApp app(dmap);
  TestFacility tf(app);
  app.initialise();
  tf.failDeviceOpens(alias, 2);
  app.run();
  tf.stepApplication();
  EXPECT_FALSE(app.dev.isReady());
  tf.retryDeviceRecovery(alias);
  tf.stepApplication();
  EXPECT_FALSE(app.dev.isReady());
  log::Capture events;
  tf.retryDeviceRecovery(alias);
  tf.stepApplication();
  EXPECT_TRUE(app.dev.isReady());

  // A later fault starts a series of its own: one failed attempt, not three.
  tf.failDeviceOpens(alias, 1);
  app.dev.reportException("later");
  tf.stepApplication();
  EXPECT_FALSE(app.dev.isReady());
  tf.retryDeviceRecovery(alias);
  tf.stepApplication();
  EXPECT_TRUE(app.dev.isReady());
  const std::string log = logText(events);
  EXPECT_NE(log.find("device PiezoDriver: opened after 2 failed attempts"), std::string::npos) << log;
  EXPECT_NE(log.find("device PiezoDriver: recovered after 1 failed attempt\n"), std::string::npos) << log;
  EXPECT_EQ(log.find("after 3 failed"), std::string::npos) << log;
}

TEST_F(DeviceModuleTest, FaultsAndRecoveriesAreInTheEventLog) {
  log::Capture events;
  BareDeviceApp app(dmap);
  TestFacility tf(app);
  app.initialise();
  tf.failDeviceOpens(alias, 3);
  app.run();
  tf.stepApplication();
  for (int i = 0; i < 3; ++i) {
    tf.retryDeviceRecovery(alias);
    tf.stepApplication();
  }
  EXPECT_TRUE(app.dev.isReady());
  // A reason that repeats is told once, not at every attempt.
  EXPECT_EQ(events.find("cannot be opened, trying again").size(), 1u) << logText(events);
  auto opened = events.find("opened after 3 failed attempts");
  ASSERT_EQ(opened.size(), 1u) << logText(events);
  EXPECT_EQ(opened[0].source, "device PiezoDriver");
  EXPECT_EQ(opened[0].severity, log::Severity::notice);

  app.dev.reportException("register file vanished");
  tf.stepApplication();
  auto fault = events.find("fault: register file vanished");
  ASSERT_EQ(fault.size(), 1u) << logText(events);
  EXPECT_EQ(fault[0].severity, log::Severity::error);
  EXPECT_TRUE(app.dev.isReady());
  EXPECT_EQ(events.find("recovered").size(), 1u) << logText(events);
}

// A service manager is told "ready" once the first opening has ended: a board that is away at
// start-up must not keep the server from counting as started, and a server must not count as
// started before it has tried its board.
TEST_F(DeviceModuleTest, TheApplicationCountsAsStartedOnceTheFirstOpeningHasEndedAlsoInFailure) {
  BareDeviceApp app(dmap);
  TestFacility tf(app);
  app.initialise();
  tf.failDeviceOpens(alias, 1);
  app.run();
  EXPECT_FALSE(app.hasStarted()); // the device thread has not had its turn yet
  tf.stepApplication();
  EXPECT_FALSE(app.dev.isReady());
  EXPECT_TRUE(app.hasStarted());
  tf.retryDeviceRecovery(alias);
  tf.stepApplication();
  EXPECT_TRUE(app.dev.isReady());
  EXPECT_TRUE(app.hasStarted());
}

TEST_F(DeviceModuleTest, WithoutConnectToTheRegistersJoinModuleVariablesByPath) {
  TestApp app(dmap, false, boot);
  TestFacility tf(app);
  app.initialise();
  tf.writeDeviceScalar<int32_t>(alias, "/Channel0/appliedTableMode", 42);
  tf.runApplication();
  EXPECT_EQ(app.user.appliedTableMode.value, 42); // the opening's read started the module
  tf.writeScalar<int32_t>("/User/request", 9);
  tf.stepApplication();
  EXPECT_EQ(tf.readDeviceScalar<int32_t>(alias, "/Channel0/controlTableMode"), 9);
  // Nothing triggers polls, so the registers are read at the openings only.
  EXPECT_THROW(tf.pv("/Server/triggerNumber"), std::logic_error);
  EXPECT_EQ(tf.updateCount("/Channel0/appliedTableMode"), 1u);
}

TEST_F(DeviceModuleTest, InitialisationHandlersRunInOrderAndAFailureStopsTheRest) {
  std::string order;
  bool failB = false;
  TestApp app(dmap, true, [&](DeviceModule& d) {
    order += "a";
    boot(d);
  });
  app.dev.addInitialisationHandler([&](DeviceModule&) {
    order += "b";
    if (failB) throw std::runtime_error("b refuses");
  });
  const auto c = app.dev.addInitialisationHandler([&](DeviceModule&) { order += "c"; });
  TestFacility tf(app);
  tf.runApplication();
  EXPECT_EQ(order, "abc");

  failB = true;
  app.dev.reportException("x");
  tf.stepApplication();
  EXPECT_EQ(order, "abcab");
  EXPECT_FALSE(app.dev.isReady());
  EXPECT_EQ(app.dev.getFaultMessage(), "initialisation of device 'PiezoDriver' failed: b refuses");

  failB = false;
  app.dev.removeInitialisationHandler(c);
  tf.retryDeviceRecovery(alias);
  tf.stepApplication();
  EXPECT_EQ(order, "abcabab");
  EXPECT_TRUE(app.dev.isReady());
}

TEST(RecoveryBackoff, DoublesFromTheFirstWaitUpToTheBound) {
  using std::chrono::milliseconds;
  std::vector<long> waits;
  for (unsigned failures : {1u, 2u, 3u, 4u, 5u, 6u, 1000u})
    waits.push_back(
        static_cast<long>(device::recoveryBackoff(failures, milliseconds(500), milliseconds(5000)).count()));
  EXPECT_EQ(waits, (std::vector<long>{500, 1000, 2000, 4000, 5000, 5000, 5000}));
}

TEST_F(DeviceModuleTest, ConnectionErrorsNameTheFaultyFile) {
  {
    TestApp app("", true);
    try {
      app.initialise();
      FAIL();
    } catch (const std::logic_error& e) {
      EXPECT_NE(std::string(e.what()).find("setDMapFilePath"), std::string::npos) << e.what();
    }
  }
  {
    const auto other = dir.write("other.dmap", "# nothing here\nSomethingElse dummy:?map=board.map\n");
    TestApp app(other, true);
    try {
      app.initialise();
      FAIL();
    } catch (const device::MapError& e) {
      EXPECT_EQ(e.file(), other.string());
      EXPECT_NE(std::string(e.what()).find("PiezoDriver"), std::string::npos) << e.what();
    }
  }
  {
    const auto map = dir.write("bad.map", "A 1 0 4 fixed 32 0 1 rw\nB 1 0 4 fixed 32 0 1 rw\n");
    const auto bad = dir.write("bad.dmap", "PiezoDriver dummy:?map=bad.map\n");
    TestApp app(bad, true);
    try {
      app.initialise();
      FAIL();
    } catch (const device::MapError& e) {
      EXPECT_EQ(e.line(), 2u) << e.what();
      EXPECT_NE(std::string(e.what()).find("bad.map:2:"), std::string::npos) << e.what();
    }
  }
}

} // namespace

// ---------------------------------------------------------------------------------------------
// What reaches the hardware around the modules, and what the device does on its own.

namespace {

TEST_F(DeviceModuleTest, WritableRegistersThatNoModuleFeedsAreShownButOnlyOperatorLinesMakeThemWritable) {
  TestApp app(dmap, true, boot);
  TestFacility tf(app);
  tf.runApplication();
  auto direction = [&](const std::string& path) { return tf.pv(path).info().direction; };

  // Fed by a module: the module's. Named on an operator line: the operators'.
  EXPECT_EQ(direction("/Channel0/controlTableMode"), PvDirection::toOperator);
  EXPECT_EQ(direction("/Channel0/dcVoltage"), PvDirection::fromOperator);
  // Neither: read back from the board where it can be read, never written from outside.
  EXPECT_EQ(direction("/Channel0/enableFeedback"), PvDirection::toOperator);
  EXPECT_EQ(direction("/Channel0/swapControlTable"), PvDirection::toOperator);
  EXPECT_THROW(tf.writeScalar<Boolean>("/Channel0/enableFeedback", Boolean(true)), std::logic_error);
  EXPECT_THROW(tf.writeScalar<int32_t>("/Channel0/swapControlTable", 1), std::logic_error);
  EXPECT_FALSE(tf.readDeviceScalar<Boolean>(alias, "/Channel0/enableFeedback"));

  // Nothing but the board changes it, so it is read at every opening, not on every trigger.
  tf.writeDeviceScalar<Boolean>(alias, "/Channel0/enableFeedback", Boolean(true));
  trigger(tf);
  EXPECT_FALSE(tf.readScalar<Boolean>("/Channel0/enableFeedback"));
  app.dev.reportException("board rebooted");
  tf.stepApplication();
  EXPECT_TRUE(tf.readScalar<Boolean>("/Channel0/enableFeedback"));
  EXPECT_TRUE(tf.readDeviceScalar<Boolean>(alias, "/Channel0/enableFeedback"))
      << "re-written by the recovery";
  app.dev.reportException("again");
  tf.stepApplication();
  EXPECT_EQ(tf.takeRawUpdates("/Channel0/enableFeedback").size(),
            5u); // opening, fault, opening, fault, opening
}

// A module that reads a write-only register which no module writes would wait for ever.
struct SwapReader : ApplicationModule {
  using ApplicationModule::ApplicationModule;
  ModifyHierarchy<ScalarPushInput<int32_t>> swap{this, "/Channel0/swapControlTable", "", ""};
  void mainLoop() override {}
};

TEST_F(DeviceModuleTest, AModuleReadingAnUnwrittenWriteOnlyRegisterIsAConfigurationError) {
  TestApp app(dmap, true);
  SwapReader reader{&app, "SwapReader", ""};
  try {
    app.initialise();
    FAIL() << "accepted";
  } catch (const std::logic_error& e) {
    const std::string what = e.what();
    EXPECT_EQ(
        what.rfind("Variable '/Channel0/swapControlTable' has no feeder: push input 'swapControlTable' of "
                   "/devicetest/SwapReader (int32[1]) reads register /Channel0/swapControlTable of device "
                   "PiezoDriver (",
                   0),
        0u)
        << what;
    EXPECT_NE(what.find("board.map:10), which cannot be read back and which no module writes."),
              std::string::npos)
        << what;
  }
}

TEST_F(DeviceModuleTest, AMissingOrShortSharedMemoryBoardIsAFaultUntilTheSimulatorProvidesIt) {
  const std::string shm = "quellor-dmtest-" + std::to_string(::getpid());
  const auto shmDmap = dir.write("shm.dmap", "PiezoDriver shm:" + shm + "?map=board.map\n");
  struct Unlink {
    std::string name;
    ~Unlink() { device::ShmBackend::unlink(name); }
  } unlink{shm};
  BareDeviceApp app(shmDmap);
  TestFacility tf(app);
  tf.runApplication();
  EXPECT_FALSE(app.dev.isReady());
  EXPECT_EQ(tf.readScalar<int32_t>("/Devices/PiezoDriver/status"), 1);
  EXPECT_EQ(tf.readScalar<std::string>("/Devices/PiezoDriver/message"),
            "device 'PiezoDriver' (shm:" + shm + "): shared memory /" + shm +
                " does not exist (is the board simulator running?)");
  EXPECT_FALSE(device::ShmBackend::unlink(shm)) << "the server made the board it was looking for";

  device::ShmBackend::create(shm, 8); // a simulator still setting it up
  tf.retryDeviceRecovery(alias);
  tf.stepApplication();
  EXPECT_FALSE(app.dev.isReady());
  EXPECT_NE(
      tf.readScalar<std::string>("/Devices/PiezoDriver/message").find("is 8 bytes, shorter than its map"),
      std::string::npos);

  device::ShmBackend::create(shm, app.dev.registerMap().requiredSize());
  tf.retryDeviceRecovery(alias);
  tf.stepApplication();
  EXPECT_TRUE(app.dev.isReady());
  EXPECT_EQ(tf.readScalar<int32_t>("/Devices/PiezoDriver/status"), 0);
}

// The board map with a firmware heartbeat.
class HeartbeatTest : public DeviceModuleTest {
 protected:
  void SetUp() override {
    dir.write("board.map",
              std::string(boardMap) +
                  "Board/firmwareHeartbeat 1 0x34 4 fixed 32 0 0 ro\nheartbeat Board/firmwareHeartbeat\n");
    dmap = dir.write("quellor.dmap", "PiezoDriver dummy:?map=board.map\n");
  }
  void beatAndTrigger(TestFacility& tf) {
    tf.writeDeviceScalar<uint32_t>(alias, "/Board/firmwareHeartbeat", ++beats);
    trigger(tf);
  }
  uint32_t beats = 0;
};

TEST_F(HeartbeatTest, AHeartbeatThatStandsStillForTheTimeoutIsAHungBoardUntilItBeatsAgain) {
  int inits = 0;
  TestApp app(dmap, true, countedBoot(inits));
  TestFacility tf(app);
  tf.runApplication();
  for (int i = 0; i < 10; ++i)
    beatAndTrigger(tf);
  EXPECT_TRUE(app.dev.isReady());
  (void)tf.takeUpdates<int32_t>("/Devices/PiezoDriver/status");

  // The firmware hangs: its registers keep answering with the same values. Four still triggers
  // are tolerated (default timeout 5), the fifth makes the device faulty before its values go out.
  for (int i = 0; i < 4; ++i)
    trigger(tf);
  EXPECT_TRUE(app.dev.isReady());
  EXPECT_EQ(app.user.faultyReads, 0);
  log::Capture events;
  trigger(tf);
  const std::string hung = "heartbeat register /Board/firmwareHeartbeat of device 'PiezoDriver' has not "
                           "changed for 5 triggers: the firmware seems to hang";
  EXPECT_EQ(tf.readScalar<std::string>("/Devices/PiezoDriver/message"), hung);
  EXPECT_EQ(app.user.faultyReads, 1);
  EXPECT_EQ(inits, 2); // re-opened and re-initialised at once, as after any first fault
  EXPECT_EQ(tf.takeUpdates<int32_t>("/Devices/PiezoDriver/status"), (std::vector<int32_t>{1, 0}));

  // Still hung after the re-opening: that recovery did not last, so the next one waits.
  for (int i = 0; i < 5; ++i)
    trigger(tf);
  EXPECT_FALSE(app.dev.isReady());
  EXPECT_EQ(tf.readValidity("/Channel0/appliedTableMode"), DataValidity::faulty);
  EXPECT_EQ(tf.readScalar<int32_t>("/Devices/PiezoDriver/status"), 1);
  EXPECT_EQ(inits, 2);
  const std::string log = logText(events);
  EXPECT_NE(log.find("device PiezoDriver: fault: " + hung), std::string::npos) << log;
  EXPECT_NE(log.find("device PiezoDriver: faulty again right after its recovery: " + hung), std::string::npos)
      << log;

  // Thawed: the retry brings it back for good.
  tf.writeDeviceScalar<uint32_t>(alias, "/Board/firmwareHeartbeat", ++beats);
  tf.retryDeviceRecovery(alias);
  tf.stepApplication();
  EXPECT_TRUE(app.dev.isReady());
  for (int i = 0; i < 10; ++i)
    beatAndTrigger(tf);
  EXPECT_TRUE(app.dev.isReady());
  EXPECT_EQ(inits, 3);
  EXPECT_EQ(tf.readValidity("/Channel0/appliedTableMode"), DataValidity::ok);

  // A timeout of 0 turns the check off.
  app.dev.setHeartbeatTimeout(0);
  for (int i = 0; i < 20; ++i)
    trigger(tf);
  EXPECT_TRUE(app.dev.isReady());
  app.dev.setHeartbeatTimeout(2);
  trigger(tf);
  trigger(tf);
  EXPECT_EQ(inits, 4);
}

TEST_F(DeviceModuleTest, ARampedRegisterReturnsFromTheBoardsValueInStepsAfterEveryRecovery) {
  TestApp app(dmap, true, [&](DeviceModule& d) {
    boot(d);
    // A board fresh from its reboot holds nothing of what it was told.
    d.dummyDevice().write<double>("/Channel0/dcVoltage", {0.0});
    d.dummyDevice().write<int32_t>("/Channel0/controlTableMode", {0});
  });
  app.dev.rampAfterRecovery("Channel0/dcVoltage", 0.5); // before the connection step
  TestFacility tf(app);
  app.initialise();
  tf.writeScalar<double>("/Channel0/dcVoltage", 2.0);
  tf.runApplication();
  // The first opening is no recovery: the start-up value goes to the board at once.
  EXPECT_EQ(tf.readDeviceScalar<double>(alias, "/Channel0/dcVoltage"), 2.0);
  tf.writeScalar<int32_t>("/User/request", 3);
  tf.stepApplication();
  EXPECT_EQ(tf.readDeviceScalar<double>(alias, "/Channel0/dcVoltage"), 2.0); // no ramp between openings

  app.dev.reportException("reboot");
  tf.stepApplication();
  EXPECT_TRUE(app.dev.isReady());
  EXPECT_EQ(tf.readDeviceScalar<int32_t>(alias, "/Channel0/controlTableMode"), 3); // at once, as ever
  EXPECT_EQ(tf.readDeviceScalar<double>(alias, "/Channel0/dcVoltage"), 0.0);
  // A write on the way moves the target, not the board.
  tf.writeScalar<double>("/Channel0/dcVoltage", 2.2);
  EXPECT_EQ(tf.readDeviceScalar<double>(alias, "/Channel0/dcVoltage"), 0.0);
  std::vector<double> seen;
  for (int i = 0; i < 6; ++i) {
    trigger(tf);
    seen.push_back(tf.readDeviceScalar<double>(alias, "/Channel0/dcVoltage"));
  }
  ASSERT_EQ(seen.size(), 6u);
  const std::vector<double> expected{0.5, 1.0, 1.5, 2.0, 2.2, 2.2};
  for (size_t i = 0; i < seen.size(); ++i)
    EXPECT_NEAR(seen[i], expected[i], 1.0 / 65536) << i;
  // Arrived: writes reach the board directly again.
  tf.writeScalar<double>("/Channel0/dcVoltage", -4.0);
  EXPECT_EQ(tf.readDeviceScalar<double>(alias, "/Channel0/dcVoltage"), -4.0);

  // Downwards, from wherever the initialisation left the board.
  app.dev.reportException("reboot");
  tf.stepApplication();
  tf.writeDeviceScalar<double>(alias, "/Channel0/dcVoltage", -3.0);
  trigger(tf);
  EXPECT_EQ(tf.readDeviceScalar<double>(alias, "/Channel0/dcVoltage"), -3.5);
  trigger(tf);
  trigger(tf);
  EXPECT_EQ(tf.readDeviceScalar<double>(alias, "/Channel0/dcVoltage"), -4.0);
}

TEST_F(DeviceModuleTest, RampAndSafeStateDeclarationsAreCheckedAgainstTheMap) {
  {
    TestApp app(dmap, true);
    EXPECT_THROW(app.dev.rampAfterRecovery("/Channel0/dcVoltage", -0.5), std::invalid_argument);
    EXPECT_THROW(app.dev.rampAfterRecovery("/Channel0/dcVoltage", std::nan("")), std::invalid_argument);
    app.dev.rampAfterRecovery("/Channel0/controlTableMode", 1.0); // write-only: no value to start from
    try {
      app.initialise();
      FAIL() << "accepted";
    } catch (const std::logic_error& e) {
      EXPECT_NE(std::string(e.what()).find("/Channel0/controlTableMode is write-only"), std::string::npos)
          << e.what();
    }
  }
  {
    TestApp app(dmap, true);
    app.initialise();
    EXPECT_THROW(app.dev.addSafeValue("/Channel0/appliedTableMode", 0), std::logic_error); // read-only
    EXPECT_THROW(app.dev.addSafeValue("/Board/hwProtectionReset", 0), std::logic_error);   // an event
    EXPECT_THROW(app.dev.addSafeValue("/Channel9/dcVoltage", 0), std::logic_error);
    EXPECT_THROW(app.dev.rampAfterRecovery("/Channel0/appliedTableMode", 1), std::logic_error);
  }
  {
    TestApp app(dmap, false); // nothing would pace the ramp
    app.dev.rampAfterRecovery("/Channel0/dcVoltage", 1.0);
    EXPECT_THROW(app.initialise(), std::logic_error);
  }
}

TEST_F(DeviceModuleTest, AModuleThatDiesLeavesTheSafeStateOnTheBoardAndNothingElseGetsThere) {
  TestApp app(dmap, true, boot);
  app.dev.addSafeValue("/Channel0/controlTableMode", 0);
  app.dev.addSafeValue("/Channel0/dcVoltage", -1.5);
  TestFacility tf(app);
  tf.runApplication();
  tf.writeScalar<int32_t>("/User/request", 7);
  tf.writeScalar<double>("/Channel0/dcVoltage", 2.5);
  tf.stepApplication();
  EXPECT_EQ(tf.readDeviceScalar<int32_t>(alias, "/Channel0/controlTableMode"), 7);

  log::Capture events;
  tf.writeScalar<int32_t>("/User/request", 99);
  EXPECT_THROW(tf.stepApplication(), std::runtime_error);
  ASSERT_EQ(events.entries().size(), 1u) << logText(events);
  EXPECT_EQ(events.entries()[0].severity, log::Severity::critical);
  EXPECT_EQ(logText(events),
            "device PiezoDriver: outputs put into their safe state (2 registers written directly)\n");
  EXPECT_EQ(tf.readDeviceScalar<int32_t>(alias, "/Channel0/controlTableMode"), 0);
  EXPECT_EQ(tf.readDeviceScalar<double>(alias, "/Channel0/dcVoltage"), -1.5);
  // Whatever is still running cannot undo it. (The application cannot come to rest any more: the
  // dead module's queues fill up.)
  tf.writeScalar<double>("/Channel0/dcVoltage", 4.0);
  EXPECT_EQ(tf.readDeviceScalar<double>(alias, "/Channel0/dcVoltage"), -1.5);
}

TEST_F(DeviceModuleTest, ASafeStateThatCannotBeWrittenIsSaidSo) {
  TestApp app(dmap, true, boot);
  app.dev.addSafeValue("/Channel0/dcVoltage", 0);
  TestFacility tf(app);
  tf.runApplication();
  tf.failDeviceOpens(alias, 3);
  app.dev.reportException("board gone");
  tf.stepApplication();
  ASSERT_FALSE(app.dev.isReady());
  log::Capture events;
  tf.writeScalar<int32_t>("/User/request", 99);
  EXPECT_THROW(tf.stepApplication(), std::runtime_error);
  EXPECT_EQ(logText(events),
            "device PiezoDriver: the safe state could not be written to 1 of 1 registers: device "
            "'PiezoDriver' (dummy): cannot open: injected failure\n");
}

// Normal mode: the process ends, and what it leaves on a board in a file is what counts.
struct DyingApp : Application {
  explicit DyingApp(std::filesystem::path dmapFile)
      : Application("devicetest"), dmap(std::move(dmapFile)), dev(this, alias, {}) {}
  ~DyingApp() override { shutdown(); }
  struct Quitter : ApplicationModule {
    using ApplicationModule::ApplicationModule;
    // Starts once the board's first values are in, so the device is open when it dies.
    ModifyHierarchy<ScalarPushInput<int32_t>> appliedTableMode{this, "/Channel0/appliedTableMode", "", ""};
    void mainLoop() override { throw std::logic_error("Quitter: cannot go on"); }
  };
  std::filesystem::path dmap;
  DeviceModule dev;
  Quitter quitter{this, "Quitter", ""};
  void defineConnections() override {
    setDMapFilePath(dmap.string());
    dev.connectTo(ControlSystemModule{}, ControlSystemModule{}["Server"]("triggerNumber"));
    dev.addSafeValue("/Channel0/controlTableMode", 0);
    dev.addSafeValue("/Channel0/dcVoltage", -1.5);
    findTag(".*").connectTo(ControlSystemModule{});
  }
};

TEST_F(DeviceModuleTest, AFatalModuleErrorEndsTheProcessOnlyAfterTheSafeStateIsWritten) {
  const auto map = device::parseRegisterMap(dir.path() / "board.map");
  const auto file = dir.write("board.bin", std::string(map.requiredSize(), '\0'));
  const auto fileDmap = dir.write("file.dmap", "PiezoDriver mmap:board.bin?map=board.map\n");
  auto word = [&](const std::string& path) {
    std::ifstream in(file, std::ios::binary);
    in.seekg(static_cast<std::streamoff>(map.get(path).offset));
    uint32_t w = 0;
    in.read(reinterpret_cast<char*>(&w), 4);
    return w;
  };
  {
    std::fstream out(file, std::ios::binary | std::ios::in | std::ios::out);
    out.seekp(static_cast<std::streamoff>(map.get("/Channel0/controlTableMode").offset));
    const uint32_t five = 5;
    out.write(reinterpret_cast<const char*>(&five), 4);
  }
  // The child forks from this process, which runs no thread of its own now; it sees this file.
  GTEST_FLAG_SET(death_test_style, "fast");
  EXPECT_EXIT(
      {
        DyingApp app(fileDmap);
        app.run();
        for (;;)
          ::pause(); // until the failing module ends the process
      },
      ::testing::ExitedWithCode(1),
      "Quitter: cannot go on\n.*device PiezoDriver: outputs put into their safe state \\(2 registers written "
      "directly\\)");
  EXPECT_EQ(word("/Channel0/controlTableMode"), 0u);
  EXPECT_EQ(word("/Channel0/dcVoltage"), 0xFFFE8000u); // -1.5 with 16 fractional bits
}

} // namespace
