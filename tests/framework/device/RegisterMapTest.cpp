#include "framework/device/RegisterMap.hpp"
#include "framework/device/DeviceError.hpp"
#include "tests/framework/device/TempDir.hpp"

#include <gtest/gtest.h>

namespace orvane::device {
namespace {

constexpr std::string_view boardMap =
    R"(# path                     elements offset  bytes type   width frac signed access
Channel0/dcVoltage         1        0x0000  4     fixed  32    16   1      rw
Channel0/dacVoltage        16       0x0040  4     fixed  32    0    1      ro   # DAQ buffer
Channel0/gain              2        0x0080  8     ieee754 64   0    1      rw
Board/hwProtectionReset    1        0x8000  4     void   0     0    0      wo
Board/hwProtectionMonitor  1        32772   4     fixed  1     0    0      ro
alias BSP/WORD_PEM_CTL_MON Board/hwProtectionMonitor
alias /BSP/WORD_PEM_CTL_RESET /Board/hwProtectionReset
)";

TEST(RegisterMap, ParsesColumnsAliasesAndSize) {
  auto map = parseRegisterMapText(boardMap, "quellor.map");
  ASSERT_EQ(map.registers().size(), 5u);

  const auto& dc = map.get("Channel0/dcVoltage");
  EXPECT_EQ(dc.path, "/Channel0/dcVoltage");
  EXPECT_EQ(dc.type, RegisterType::fixedPoint);
  EXPECT_EQ(dc.width, 32u);
  EXPECT_EQ(dc.frac, 16);
  EXPECT_TRUE(dc.isSigned);
  EXPECT_TRUE(dc.isReadable() && dc.isWritable());
  EXPECT_EQ(dc.line, 2u);

  const auto& dac = map.get("/Channel0/dacVoltage");
  EXPECT_EQ(dac.elements, 16u);
  EXPECT_EQ(dac.offset, 0x40u);
  EXPECT_EQ(dac.end(), 0x80u);
  EXPECT_EQ(dac.access, Access::readOnly);

  const auto& gain = map.get("Channel0/gain");
  EXPECT_EQ(gain.wordsPerElement(), 2u);
  EXPECT_EQ(gain.end(), 0x90u);

  const auto& monitor = map.get("Board/hwProtectionMonitor");
  EXPECT_EQ(monitor.offset, 0x8004u);
  EXPECT_EQ(monitor.aliases, std::vector<std::string>{"/BSP/WORD_PEM_CTL_MON"});
  EXPECT_EQ(&map.get("BSP/WORD_PEM_CTL_MON"), &monitor);
  EXPECT_EQ(&map.get("/BSP/WORD_PEM_CTL_RESET"), &map.get("Board/hwProtectionReset"));
  EXPECT_EQ(map.get("Board/hwProtectionReset").access, Access::writeOnly);

  EXPECT_EQ(map.requiredSize(), 0x8008u);
  EXPECT_EQ(map.find("Channel0"), nullptr);
}

TEST(RegisterMap, ToleratesCarriageReturnsTabsAndAFinalLineWithoutNewline) {
  auto map = parseRegisterMapText("A\t1\t0\t4\tfixed\t8\t0\t0\tro\r\n\r\nB 1 4 4 fixed 8 -3 0 rw", "m");
  EXPECT_EQ(map.get("A").width, 8u);
  EXPECT_EQ(map.get("B").frac, -3);
  EXPECT_EQ(map.get("B").line, 3u);
}

TEST(RegisterMap, EveryErrorNamesFileAndLine) {
  const std::string ok = "Good 1 0x100 4 fixed 32 0 1 rw\n";
  struct Case {
    std::string text;
    std::size_t line;
    std::string fragment;
  };
  const std::vector<Case> cases{
      {ok + "A 1 0 4 fixed 32 0 1\n", 2, "missing column 'access'"},
      {ok + "A 1\n", 2, "missing column 'offset'"},
      {ok + "A 1 0 4 fixed 32 0 1 rw 7\n", 2, "unexpected column '7'"},
      {ok + "A 1 0xZZ 4 fixed 32 0 1 rw\n", 2, "bad number '0xZZ' in column 'offset'"},
      {ok + "A -1 0 4 fixed 32 0 1 rw\n", 2, "bad number '-1' in column 'elements'"},
      {ok + "A 1 0 4 fixed 32 1.5 1 rw\n", 2, "bad number '1.5' in column 'frac'"},
      {ok + "A 1 0 4 fixed 32 0 1 rw\n# gap\nA 1 8 4 fixed 32 0 1 rw\n", 4,
       "duplicate register '/A' (register at line 2)"},
      {ok + "alias Good Good\n", 2, "alias '/Good' collides with an existing path (register at line 1)"},
      {"alias A Good\n" + ok + "A 1 0 4 fixed 8 0 0 ro\n", 3,
       "register '/A' collides with an alias (alias at line 1)"},
      {ok + "A 2 0x0FC 4 fixed 32 0 1 rw\n", 2, "register '/A' (bytes 0xfc..0x103) overlaps '/Good'"},
      {"Big 64 0 4 fixed 32 0 1 rw\nFar 1 0x400 4 fixed 32 0 1 rw\nIn 1 0x80 8 fixed 64 0 1 rw\n", 3,
       "register '/In' (bytes 0x80..0x87) overlaps '/Big' (bytes 0x0..0xff, line 1)"},
      {ok + "A 1 0 4 fixed 40 0 1 rw\n", 2, "width '40' does not fit in 4 bytes"},
      {ok + "A 1 0 8 fixed 65 0 1 rw\n", 2, "fixed width '65' must be 1..64"},
      {ok + "A 1 0 4 fixed 0 0 1 rw\n", 2, "fixed width '0' must be 1..64"},
      {ok + "A 1 0 4 fixed 32 65 1 rw\n", 2, "frac '65' must be -64..64"},
      {ok + "A 1 0 4 fixed 32 -65 1 rw\n", 2, "frac '-65' must be -64..64"},
      {ok + "A 1 0 4 float 32 0 1 rw\n", 2, "unknown type 'float'"},
      {ok + "A 1 0 4 fixed 32 0 1 r\n", 2, "unknown access 'r'"},
      {ok + "A 1 0 4 fixed 32 0 2 rw\n", 2, "signed '2' must be 0 or 1"},
      {ok + "A 1 0 2 fixed 16 0 1 rw\n", 2, "bytes '2' must be 4 or 8"},
      {ok + "A 1 2 4 fixed 16 0 1 rw\n", 2, "offset '2' is not a multiple of 4"},
      {ok + "A 0 0 4 fixed 16 0 1 rw\n", 2, "has 0 elements"},
      {ok + "A 2 0xFFFFFFFFFFFFFFFC 4 fixed 16 0 1 rw\n", 2, "runs past the end of the address space"},
      {ok + "A 1 0 8 ieee754 32 0 1 rw\n", 2, "ieee754 width '32' needs 4 bytes"},
      {ok + "A 1 0 4 ieee754 16 0 1 rw\n", 2, "ieee754 width '16' must be 32 or 64"},
      {ok + "A 1 0 4 ieee754 32 3 1 rw\n", 2, "ieee754 frac '3' must be 0"},
      {ok + "A 1 0 4 void 8 0 0 wo\n", 2, "void width '8' must be 0"},
      {ok + "A 1 0 4 void 0 0 0 rw\n", 2, "void register '/A' cannot be read"},
      {ok + "a//b 1 0 4 fixed 8 0 0 rw\n", 2, "bad register path 'a//b'"},
      {ok + "a.b 1 0 4 fixed 8 0 0 rw\n", 2, "bad register path 'a.b'"},
      {ok + "alias X\n", 2, "an alias line reads 'alias ALIASPATH TARGETPATH'"},
      {ok + "alias X Missing\n", 2, "alias '/X' names unknown register '/Missing'"},
      {"alias X Good\n" + ok + "alias Y X\n", 3, "alias '/Y' names another alias '/X'"},
      {ok + "operator\n", 2, "an operator line reads 'operator PATH'"},
      {ok + "heartbeat A B\n", 2, "a heartbeat line reads 'heartbeat PATH'"},
      {ok + "operator Missing\n", 2, "operator line names unknown register '/Missing'"},
      {ok + "R 1 0 4 fixed 8 0 0 ro\noperator R\n", 3, "operator line names read-only register '/R'"},
      {ok + "alias G Good\noperator Good\noperator G\n", 4,
       "register '/Good' is named by two operator lines"},
      {ok + "heartbeat Good\n", 2,
       "heartbeat register '/Good' must be a read-only fixed or ieee754 register"},
      {ok + "R 1 0 4 fixed 8 0 0 ro\nS 1 4 4 fixed 8 0 0 ro\nheartbeat R\n\nheartbeat S\n", 6,
       "a second heartbeat line (the first is at line 4)"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    try {
      (void)parseRegisterMapText(c.text, "dir/quellor.map");
      ADD_FAILURE() << "accepted";
    } catch (const MapError& e) {
      EXPECT_EQ(e.file(), "dir/quellor.map");
      EXPECT_EQ(e.line(), c.line);
      const std::string what = e.what();
      EXPECT_EQ(what.rfind("dir/quellor.map:" + std::to_string(c.line) + ": ", 0), 0u) << what;
      EXPECT_NE(what.find(c.fragment), std::string::npos) << what;
    }
  }
}

TEST(RegisterMap, OperatorAndHeartbeatLinesMarkRegistersByAnyOfTheirPaths) {
  auto map = parseRegisterMapText("Sim/freeze 1 0 4 fixed 32 0 0 rw\n"
                                  "Channel0/dcVoltage 1 4 4 fixed 32 16 1 rw\n"
                                  "Sim/ticks 1 8 4 fixed 32 0 0 ro\n"
                                  "alias Board/firmwareHeartbeat Sim/ticks\n"
                                  "alias Sim/hang Sim/freeze\n"
                                  "operator Sim/hang\n"
                                  "heartbeat /Board/firmwareHeartbeat\n",
                                  "m");
  EXPECT_TRUE(map.get("Sim/freeze").operatorWritable);
  EXPECT_FALSE(map.get("Channel0/dcVoltage").operatorWritable);
  ASSERT_NE(map.heartbeat(), nullptr);
  EXPECT_EQ(map.heartbeat()->path, "/Sim/ticks");
  EXPECT_EQ(parseRegisterMapText("A 1 0 4 fixed 8 0 0 ro\n", "m").heartbeat(), nullptr);
}

TEST(RegisterMap, WholeFileErrorsNameTheFile) {
  try {
    (void)parseRegisterMapText("# nothing here\n\n", "empty.map");
    FAIL() << "accepted";
  } catch (const MapError& e) {
    EXPECT_STREQ(e.what(), "empty.map: no registers");
  }
  test::TempDir dir;
  try {
    (void)parseRegisterMap(dir.path() / "absent.map");
    FAIL() << "read a missing file";
  } catch (const MapError& e) {
    EXPECT_NE(std::string(e.what()).find("absent.map: cannot read"), std::string::npos) << e.what();
  }
  auto file = dir.write("quellor.map", std::string(boardMap));
  EXPECT_EQ(parseRegisterMap(file).file(), file.string());
  // A folder opens like a file; the stream library's own words for it name no file.
  std::filesystem::create_directory(dir.path() / "folder.map");
  try {
    (void)parseRegisterMap(dir.path() / "folder.map");
    FAIL() << "read a folder";
  } catch (const MapError& e) {
    EXPECT_EQ(std::string(e.what()),
              (dir.path() / "folder.map").string() + ": cannot read: it is a directory");
  }
}

TEST(RegisterMap, FitCheckNamesMapFileLineAndRegister) {
  auto map = parseRegisterMapText(boardMap, "quellor.map");
  EXPECT_NO_THROW(checkRegistersFit(map, 0x8008, "'PiezoDriver'"));
  EXPECT_EQ(firstRegisterBeyond(map, 0x8008), nullptr);
  EXPECT_EQ(firstRegisterBeyond(map, 0x8007), &map.get("Board/hwProtectionMonitor"));
  try {
    checkRegistersFit(map, 0x88, "'PiezoDriver'");
    FAIL() << "fits";
  } catch (const MapError& e) {
    EXPECT_STREQ(e.what(), "quellor.map:4: register '/Channel0/gain' (bytes 0x80..0x8f) lies beyond the 136 "
                           "bytes of device 'PiezoDriver'");
  }
}

} // namespace
} // namespace orvane::device
