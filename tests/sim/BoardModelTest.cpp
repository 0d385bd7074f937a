// The firmware model, cycle by cycle, on the deployed register map in dummy memory.

#include "sim/BoardModel.hpp"
#include "framework/device/DummyBackend.hpp"
#include "framework/device/RegisterAccess.hpp"

#include <gtest/gtest.h>

namespace quellor::sim {
namespace {

namespace dev = orvane::device;

std::shared_ptr<const dev::RegisterMap> deployMap() {
  static const auto map =
      std::make_shared<const dev::RegisterMap>(dev::parseRegisterMap(QUELLOR_DEPLOY_DIR "/quellor.map"));
  return map;
}

class Board : public ::testing::Test {
 protected:
  template <class T> void set(std::string_view path, T value) { mem().write<T>(path, {value}); }
  template <class T> T get(std::string_view path) { return mem().read<T>(path).front(); }
  std::vector<std::int32_t> dac(int channel = 0) {
    return mem().read<std::int32_t>("Channel" + std::to_string(channel) + "/dacVoltage");
  }
  /// The protection reset as the server's device layer writes it.
  void resetProtection() { dev::writeEvent(backend, deployMap()->get("Board/hwProtectionReset")); }
  dev::DummyDevice& mem() { return backend.device(); }

  dev::DummyBackend backend{"SimBoard", deployMap()};
  bool opened = (backend.open(), true);
  BoardModel model{backend};
  std::vector<std::string> events;
  void SetUp() override {
    model.onEvent([this](const std::string& e) { events.push_back(e); });
  }
};

TEST_F(Board, DacFollowsDcVoltageOnlyWhileTheLoadRelayIsClosed) {
  EXPECT_EQ(model.channelCount(), 8u);
  set("Channel0/dcVoltage", 5.25);
  model.tick();
  EXPECT_EQ(dac(), std::vector<std::int32_t>(16, 0));

  set("Channel0/loadRelayControl", true);
  model.tick();
  EXPECT_EQ(dac(), std::vector<std::int32_t>(16, 5250));
  EXPECT_EQ(dac(1), std::vector<std::int32_t>(16, 0)) << "channels are separate";

  set("Channel0/dcVoltage", -3.5);
  model.tick();
  EXPECT_EQ(dac(), std::vector<std::int32_t>(16, -3500));
  set("Channel0/loadRelayControl", false);
  model.tick();
  EXPECT_EQ(dac(), std::vector<std::int32_t>(16, 0));
  EXPECT_EQ(get<std::uint32_t>("Sim/ticks"), 4u);
}

TEST_F(Board, TableModeTakesEffectOneCycleLaterAndTheTableOnlyAfterTheBufferSwap) {
  set("Channel0/loadRelayControl", true);
  set("Channel0/dcVoltage", 1.0);
  std::vector<double> table(65536, 0.0);
  for (std::size_t i = 0; i < table.size(); i += 4096) {
    const std::size_t step = i / 4096; // a staircase, 0.5 V a step
    table[i] = static_cast<double>(step) * 0.5;
  }
  mem().write<double>("Channel0/controlTable", table);

  set<std::int32_t>("Channel0/controlTableMode", 1);
  model.tick();
  EXPECT_EQ(get<std::int32_t>("Channel0/appliedTableMode"), 0);
  model.tick();
  EXPECT_EQ(get<std::int32_t>("Channel0/appliedTableMode"), 1);
  EXPECT_EQ(dac(), std::vector<std::int32_t>(16, 1000)) << "a written table plays only after the swap";

  set<std::int32_t>("Channel0/swapControlTable", 1);
  model.tick();
  const auto samples = dac();
  for (int k = 0; k < 16; ++k)
    EXPECT_EQ(samples[k], 1000 + 500 * k) << "sample " << k;

  set<std::int32_t>("Channel0/controlTableMode", 2); // no mode of this firmware: off
  model.tick();
  EXPECT_EQ(dac()[3], 2500) << "still the previous cycle's mode";
  model.tick();
  EXPECT_EQ(get<std::int32_t>("Channel0/appliedTableMode"), 0);
  EXPECT_EQ(dac(), std::vector<std::int32_t>(16, 1000));
}

TEST_F(Board, ProtectionTripsOutsideTheRangeAndResetsOnlyOnceTheCauseIsGone) {
  set("Sim/protectionLimit", 10.0f);
  set("Channel3/dcVoltage", 200.0);
  model.tick();
  EXPECT_FALSE(get<bool>("Board/hwProtectionMonitor")) << "an open relay drives nothing";

  set("Channel3/dcVoltage", -12.0);
  set("Channel3/loadRelayControl", true);
  set("Channel0/dcVoltage", 4.0);
  set("Channel0/loadRelayControl", true);
  model.tick();
  EXPECT_TRUE(get<bool>("BSP/WORD_PEM_CTL_MON"));
  EXPECT_EQ(dac(0), std::vector<std::int32_t>(16, 0)) << "a trip cuts every drive";
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0], "protection tripped: Channel3 output -12.000 V beyond +-10.000 V");

  resetProtection();
  model.tick();
  EXPECT_TRUE(get<bool>("Board/hwProtectionMonitor")) << "reset while the cause is present";
  EXPECT_EQ(mem().peekRegister("Board/hwProtectionReset"), std::vector<std::uint32_t>{0}) << "event consumed";

  set("Channel3/dcVoltage", -9.0);
  model.tick();
  EXPECT_TRUE(get<bool>("Board/hwProtectionMonitor")) << "latched until a reset";
  resetProtection();
  model.tick();
  EXPECT_FALSE(get<bool>("Board/hwProtectionMonitor"));
  EXPECT_EQ(dac(0), std::vector<std::int32_t>(16, 4000));

  // A table peak between two DAQ samples trips too, and injection trips without any output.
  std::vector<double> table(65536, 0.0);
  table[1] = 7.0;
  mem().write<double>("Channel0/controlTable", table);
  set<std::int32_t>("Channel0/swapControlTable", 1);
  set<std::int32_t>("Channel0/controlTableMode", 1);
  model.tick();
  model.tick();
  EXPECT_EQ(dac(0), std::vector<std::int32_t>(16, 0));
  EXPECT_EQ(events.back(), "protection tripped: Channel0 output 11.000 V beyond +-10.000 V");
  set("Sim/protectionLimit", 0.0f); // back to the model's default of 125 V
  resetProtection();
  model.tick();
  EXPECT_FALSE(get<bool>("Board/hwProtectionMonitor"));
  set<std::uint32_t>("Sim/tripProtection", 1);
  model.tick();
  EXPECT_TRUE(get<bool>("Board/hwProtectionMonitor"));
}

TEST_F(Board, RebootClearsTheBoardAndBootStatusStaysZeroUntilInitialised) {
  set<std::uint32_t>("Board/driverBootStatus", 1);
  set("Channel0/loadRelayControl", true);
  set("Channel0/dcVoltage", 5.0);
  set<std::int32_t>("Channel7/controlTableMode", 1);
  mem().write<double>("Channel7/controlTable", std::vector<double>(65536, 0.25));
  set("Sim/protectionLimit", 50.0f);
  model.tick();

  set<std::uint32_t>("Sim/reboot", 1);
  model.tick();
  EXPECT_EQ(get<std::uint32_t>("Board/driverBootStatus"), 0u);
  EXPECT_FALSE(get<bool>("Channel0/loadRelayControl"));
  EXPECT_EQ(get<double>("Channel0/dcVoltage"), 0.0);
  EXPECT_EQ(get<std::int32_t>("Channel7/controlTableMode"), 0);
  EXPECT_EQ(mem().read<double>("Channel7/controlTable"), std::vector<double>(65536, 0.0));
  EXPECT_EQ(dac(), std::vector<std::int32_t>(16, 0));
  EXPECT_EQ(get<float>("Sim/protectionLimit"), 50.0f) << "the simulator's settings survive";
  EXPECT_EQ(get<std::uint32_t>("Sim/reboots"), 1u);

  // The server re-writes Sim/reboot with its last value after recovering: no second reboot.
  set<std::uint32_t>("Board/driverBootStatus", 7);
  model.tick();
  model.tick();
  EXPECT_EQ(get<std::uint32_t>("Board/driverBootStatus"), 7u);
  EXPECT_EQ(model.reboots(), 1u);
  set<std::uint32_t>("Sim/reboot", 0);
  model.tick();
  set<std::uint32_t>("Sim/reboot", 2);
  model.tick();
  EXPECT_EQ(get<std::uint32_t>("Board/driverBootStatus"), 0u);
  EXPECT_EQ(model.reboots(), 2u);
}

TEST_F(Board, FreezeStopsTheFirmwareAndItsHeartbeatUntilReleased) {
  set("Channel0/loadRelayControl", true);
  set("Channel0/dcVoltage", 2.0);
  model.tick();
  model.tick();
  EXPECT_EQ(get<std::uint32_t>("Board/firmwareHeartbeat"), 2u);
  set<std::uint32_t>("Sim/freeze", 1);
  set("Channel0/dcVoltage", 3.0);
  set<std::uint32_t>("Sim/tripProtection", 1);
  model.tick();
  model.tick();
  EXPECT_EQ(dac(), std::vector<std::int32_t>(16, 2000));
  EXPECT_FALSE(get<bool>("Board/hwProtectionMonitor"));
  EXPECT_EQ(get<std::uint32_t>("Sim/ticks"), 2u);
  EXPECT_EQ(get<std::uint32_t>("Board/firmwareHeartbeat"), 2u) << "a hung firmware counts nothing";
  set<std::uint32_t>("Sim/freeze", 0);
  set<std::uint32_t>("Sim/tripProtection", 0);
  model.tick();
  EXPECT_EQ(dac(), std::vector<std::int32_t>(16, 3000));
  EXPECT_EQ(get<std::uint32_t>("Board/firmwareHeartbeat"), 3u);

  // A reboot starts the count again, like the firmware's own counter.
  model.reboot();
  model.tick();
  EXPECT_EQ(get<std::uint32_t>("Board/firmwareHeartbeat"), 1u);
}

TEST(BoardModelSetUp, PicksUpARunningBoardAndRefusesAMapItCannotRun) {
  dev::DummyBackend backend("SimRestart", deployMap());
  backend.open();
  auto& mem = backend.device();
  mem.write<double>("Channel2/controlTable", std::vector<double>(65536, 0.5));
  mem.write<std::int32_t>("Channel2/swapControlTable", {1});
  mem.write<std::int32_t>("Channel2/controlTableMode", {1});
  mem.write<bool>("Channel2/loadRelayControl", {true});
  BoardModel restarted(backend);
  restarted.tick();
  EXPECT_EQ(mem.read<std::int32_t>("Channel2/dacVoltage"), std::vector<std::int32_t>(16, 500));

  EXPECT_THROW(BoardModel(backend, ModelOptions{9, 125.0}), ModelError);
  try {
    const auto partial = std::make_shared<const dev::RegisterMap>(dev::parseRegisterMapText(
        "Board/driverBootStatus 1 0 4 fixed 32 0 0 ro\nBoard/hwProtectionMonitor 1 4 4 fixed 1 0 0 ro\n"
        "Board/hwProtectionReset 1 8 4 void 0 0 0 wo\nChannel0/dcVoltage 1 12 4 fixed 32 16 1 rw\n",
        "partial.map"));
    dev::DummyBackend small("SimPartial", partial);
    small.open();
    BoardModel model(small);
    FAIL() << "a channel without its registers was accepted";
  } catch (const ModelError& e) {
    EXPECT_STREQ(e.what(),
                 "partial.map: no register '/Channel0/loadRelayControl', which the board model needs");
  }
}

} // namespace
} // namespace quellor::sim
