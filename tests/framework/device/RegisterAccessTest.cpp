#include "framework/device/RegisterAccess.hpp"
#include "framework/device/Device.hpp"
#include "framework/device/DeviceError.hpp"
#include "framework/device/DummyBackend.hpp"
#include "framework/device/MmapBackend.hpp"
#include "framework/device/ShmBackend.hpp"
#include "tests/framework/device/TempDir.hpp"

#include <gtest/gtest.h>

namespace orvane::device {
namespace {

constexpr std::string_view channelMap = R"(Channel0/dcVoltage        1  0x00 4 fixed   32 16 1 rw
Channel0/dacVoltage       4  0x10 4 fixed   18 0  1 ro
Channel0/loadRelayControl 1  0x20 4 fixed   1  0  0 rw
Channel0/controlTable     2  0x28 8 ieee754 64 0  1 wo
Channel0/counter          1  0x38 8 fixed   64 0  0 rw
Board/hwProtectionReset   1  0x40 4 void    0  0  0 wo
)";

class RegisterAccessTest : public ::testing::Test {
 protected:
  std::shared_ptr<const RegisterMap> map =
      std::make_shared<const RegisterMap>(parseRegisterMapText(channelMap, "/maps/access.map"));
  DummyBackend backend{"Access", map};
  DummyDevice& dummy = backend.device();
  const RegisterInfo& reg(std::string_view path) const { return map->get(path); }

  void SetUp() override { backend.open(); }
};

TEST_F(RegisterAccessTest, ReadsConvertEveryElement) {
  dummy.pokeRegister("Channel0/dacVoltage", {0x1ffff, 0x20000, 0xfffffffe, 5});
  std::vector<std::int32_t> dac{99}; // resized, old content gone
  readRegister(backend, reg("Channel0/dacVoltage"), dac);
  EXPECT_EQ(dac, (std::vector<std::int32_t>{131071, -131072, -2, 5}));
  std::vector<std::string> text;
  readRegister(backend, reg("Channel0/dacVoltage"), text);
  EXPECT_EQ(text[1], "-131072");

  dummy.poke(0x38, 0xffffffff); // low word first
  dummy.poke(0x3c, 0x00000001);
  std::vector<std::uint64_t> counter;
  readRegister(backend, reg("Channel0/counter"), counter);
  EXPECT_EQ(counter, std::vector<std::uint64_t>{0x1ffffffff});
}

TEST_F(RegisterAccessTest, WritesConvertAndLandWhereTheMapSays) {
  writeRegister(backend, reg("/Channel0/dcVoltage"), std::vector<double>{-1.5});
  EXPECT_EQ(dummy.peek(0), 0xfffe8000u);
  writeRegister(backend, reg("Channel0/controlTable"), std::vector<float>{0.5f, -2.0f});
  EXPECT_EQ(dummy.read<double>("Channel0/controlTable"), (std::vector<double>{0.5, -2.0}));
  EXPECT_EQ(dummy.peek(0x2c), 0x3fe00000u); // high word of 0.5
  writeRegister(backend, reg("Channel0/counter"), std::vector<std::int64_t>{-1});
  EXPECT_EQ(dummy.peekRegister("Channel0/counter"), (std::vector<std::uint32_t>{0, 0}));
  writeRegister(backend, reg("Channel0/dcVoltage"), std::vector<std::string>{"2.25"});
  EXPECT_EQ(dummy.peek(0), 0x24000u);

  std::vector<bool> relay{true};
  writeRegister(backend, reg("Channel0/loadRelayControl"), relay);
  EXPECT_EQ(dummy.peek(0x20), 1u);
  relay.clear();
  readRegister(backend, reg("Channel0/loadRelayControl"), relay);
  EXPECT_EQ(relay, std::vector<bool>{true});
}

TEST_F(RegisterAccessTest, VoidWritesAreCountedEvents) {
  writeEvent(backend, reg("Board/hwProtectionReset"));
  EXPECT_EQ(dummy.peek(0x40), 1u);
  dummy.poke(0x40, 0); // as the simulator does once handled
  writeRegister(backend, reg("Board/hwProtectionReset"), std::vector<std::int32_t>{});
  EXPECT_EQ(dummy.peek(0x40), 1u);
  EXPECT_EQ(dummy.writeCount("Board/hwProtectionReset"), 2u);
  EXPECT_THROW(writeEvent(backend, reg("Channel0/dcVoltage")), std::logic_error);
}

TEST_F(RegisterAccessTest, MisuseAndFailuresThrow) {
  std::vector<std::int32_t> values;
  EXPECT_THROW(readRegister(backend, reg("Channel0/controlTable"), values), std::logic_error);
  EXPECT_THROW(readRegister(backend, reg("Board/hwProtectionReset"), values), std::logic_error);
  EXPECT_THROW(writeRegister(backend, reg("Channel0/dacVoltage"), std::vector<std::int32_t>{1, 2, 3, 4}),
               std::logic_error);
  EXPECT_THROW(writeRegister(backend, reg("Channel0/controlTable"), std::vector<double>{1}),
               std::invalid_argument);
  EXPECT_THROW(writeRegister(backend, reg("Channel0/dcVoltage"), std::vector<std::string>{"x"}),
               std::invalid_argument);

  dummy.failNextAccesses(1, "link down");
  EXPECT_THROW(readRegister(backend, reg("Channel0/dacVoltage"), values), DeviceError);
  backend.close();
  EXPECT_THROW(writeRegister(backend, reg("Channel0/dcVoltage"), std::vector<double>{1}), DeviceError);
}

TEST(OpenDevice, ParsesBothFilesAndCreatesTheBackendClosed) {
  test::TempDir dir;
  dir.write("maps/quellor.map", channelMap);
  dir.write("bad.map", "A 1 0 4 fixed 32 0 1 rw\nB 1 0 4 fixed 32 0 1 rw\n");
  dir.write("regs.bin", std::string(0x100, '\0'));
  auto dmap = dir.write("quellor.dmap", "PiezoDriver dummy:?map=maps/quellor.map\n"
                                        "Sim shm:quellor-sim-" +
                                            std::to_string(::getpid()) +
                                            "?map=maps/quellor.map\n"
                                            "Board mmap:regs.bin?map=maps/quellor.map\n"
                                            "Broken dummy:?map=bad.map\n"
                                            "Missing dummy:?map=nothing.map\n");

  auto device = openDevice(dmap, "PiezoDriver");
  EXPECT_EQ(device.entry.alias, "PiezoDriver");
  EXPECT_EQ(device.registers->file(), (dir.path() / "maps/quellor.map").string());
  ASSERT_NE(dynamic_cast<DummyBackend*>(device.backend.get()), nullptr);
  EXPECT_FALSE(device.backend->isOpen());
  EXPECT_EQ(&device.backend->registerMap(), device.registers.get());
  EXPECT_EQ(findDummyDevice("PiezoDriver", device.registers->file()).get(),
            &static_cast<DummyBackend&>(*device.backend).device());

  EXPECT_NE(dynamic_cast<ShmBackend*>(openDevice(dmap, "Sim").backend.get()), nullptr);
  auto board = openDevice(dmap, "Board");
  ASSERT_NE(dynamic_cast<MmapBackend*>(board.backend.get()), nullptr);
  board.backend->open();
  writeRegister(*board.backend, board.registers->get("Channel0/dcVoltage"), std::vector<double>{1.0});

  auto messageOf = [&](std::string_view alias) {
    try {
      (void)openDevice(dmap, alias);
    } catch (const MapError& e) {
      return std::string(e.what());
    }
    return std::string("no MapError");
  };
  EXPECT_EQ(messageOf("Nope").rfind(dmap.string() + ": no device 'Nope'", 0), 0u);
  EXPECT_EQ(messageOf("Broken").rfind((dir.path() / "bad.map").string() + ":2: register '/B'", 0), 0u);
  EXPECT_EQ(messageOf("Missing").rfind((dir.path() / "nothing.map").string() + ": cannot read", 0), 0u);
}

} // namespace
} // namespace orvane::device
