// The runtime directory deploy/: its register map serves every register the application uses, in
// the direction the application uses it, and matches the configuration.

#include "framework/device/Conversion.hpp"
#include "framework/device/DeviceMap.hpp"
#include "framework/device/RegisterMap.hpp"

#include <gtest/gtest.h>
#include <pugixml.hpp>

#include <map>

namespace {

namespace dev = orvane::device;
using dev::Access;
using dev::NaturalType;

struct Use {
  const char* name;
  bool appWrites;
  NaturalType type;
};

// What the application reads and writes, with the value type it uses (a register whose natural
// type differs from it would still convert, but lose or invent information on the way).
constexpr Use channelRegisters[] = {
    {"dacVoltage", false, NaturalType::int32},
    {"appliedTableMode", false, NaturalType::int32},
    {"loadRelayControl", true, NaturalType::boolean},
    {"actuatorSensorRelayControl", true, NaturalType::boolean},
    {"controlTableMode", true, NaturalType::int32},
    {"enableFeedback", true, NaturalType::boolean},
    {"dcVoltage", true, NaturalType::float64},
    {"controlTable", true, NaturalType::float64},
    {"swapControlTable", true, NaturalType::int32},
};

void expectUse(const dev::RegisterMap& map, const std::string& path, bool appWrites, NaturalType type) {
  const auto* reg = map.find(path);
  ASSERT_NE(reg, nullptr) << path;
  // Registers the application only reads must be ro: only those are polled on every trigger.
  EXPECT_EQ(reg->access == Access::readOnly, !appWrites) << path;
  EXPECT_EQ(dev::naturalType(*reg), type) << path;
}

std::map<std::string, std::string> configValues() {
  pugi::xml_document doc;
  EXPECT_TRUE(doc.load_file(QUELLOR_DEPLOY_DIR "/quellorctrl_base_config.xml"));
  std::map<std::string, std::string> values;
  for (const auto& v : doc.select_nodes("//value")) {
    const auto group = v.node().parent().attribute("name");
    const std::string prefix = group ? std::string(group.value()) + "/" : "";
    values[prefix + v.node().attribute("name").value()] =
        std::string(v.node().attribute("type").value()) + " " + v.node().child_value();
  }
  return values;
}

TEST(Deploy, RegisterMapServesEveryApplicationRegisterOfEightChannels) {
  const auto map = dev::parseRegisterMap(QUELLOR_DEPLOY_DIR "/quellor.map");
  for (int n = 0; n < 8; ++n)
    for (const auto& use : channelRegisters)
      expectUse(map, "/Channel" + std::to_string(n) + "/" + use.name, use.appWrites, use.type);
  EXPECT_EQ(map.find("/Channel8/dcVoltage"), nullptr);
  EXPECT_EQ(map.get("Channel5/dacVoltage").elements, 16u);
  EXPECT_EQ(map.get("Channel5/controlTable").elements, 65536u);

  expectUse(map, "/Board/driverBootStatus", false, NaturalType::uint32);
  expectUse(map, "/Board/hwProtectionMonitor", false, NaturalType::boolean);
  expectUse(map, "/Board/hwProtectionReset", true, NaturalType::nothing);
  EXPECT_EQ(map.find("BSP/WORD_PEM_CTL_MON"), map.find("Board/hwProtectionMonitor"));
  EXPECT_EQ(map.find("BSP/WORD_PEM_CTL_RESET"), map.find("Board/hwProtectionReset"));

  // Operators and tests write the fault injection over CA, which needs writable registers named
  // on operator lines; no other register is theirs to write.
  for (const char* path : {"/Sim/reboot", "/Sim/tripProtection", "/Sim/freeze", "/Sim/protectionLimit"}) {
    EXPECT_EQ(map.get(path).access, Access::readWrite) << path;
    EXPECT_TRUE(map.get(path).operatorWritable) << path;
  }
  for (const auto& reg : map.registers()) {
    if (!reg.isWritable()) continue;
    EXPECT_EQ(reg.operatorWritable, reg.path.rfind("/Sim/", 0) == 0) << reg.path;
  }
  // The firmware's sign of life, which the simulator counts and the server watches.
  ASSERT_NE(map.heartbeat(), nullptr);
  EXPECT_EQ(map.heartbeat()->path, "/Board/firmwareHeartbeat");
}

TEST(Deploy, DeviceMapAndConfigurationFitTheRegisterMap) {
  const auto dmap = dev::parseDeviceMap(QUELLOR_DEPLOY_DIR "/quellor.dmap");
  const auto& board = dmap.get("PiezoDriver");
  EXPECT_EQ(board.kind, dev::BackendKind::shm);
  EXPECT_EQ(board.target, "quellor-board");
  const auto map = dev::parseRegisterMap(board.mapFile);

  // The application reads every key with its type; the two table lengths must suit the map.
  const std::map<std::string, std::string> expected{
      {"nChannels", "int32 8"},
      {"daqTableLength", "uint32 " + std::to_string(map.get("Channel0/dacVoltage").elements)},
      {"maxHwMonitorIgnores", "uint32 10"},
      {"maxDriveVoltage", "double 120"},
      {"maxDCVoltageStep", "double 0.5"},
      {"heartbeatTimeoutTriggers", "uint32 5"},
      {"StateMachine/dacVoltageOffThreshold", "int32 100"},
      {"StateMachine/errorResetDelay", "float 2"},
      {"FeedforwardCompensation/controlTableLength",
       "uint32 " + std::to_string(map.get("Channel0/controlTable").elements)},
      {"FeedforwardCompensation/controlTableSampleRate", "uint32 1000000"}};
  EXPECT_EQ(configValues(), expected);
  // Every channel of the board has its channel group, and no group lacks its board.
  EXPECT_NE(map.find("/Channel7/dcVoltage"), nullptr);
  EXPECT_EQ(map.find("/Channel8/dcVoltage"), nullptr);
}

} // namespace
