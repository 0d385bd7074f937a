#include "framework/device/DeviceMap.hpp"
#include "framework/device/DeviceError.hpp"
#include "tests/framework/device/TempDir.hpp"

#include <gtest/gtest.h>

namespace orvane::device {
namespace {

DeviceMap parse(std::string_view text) {
  return parseDeviceMapText(text, "quellor.dmap", "/srv/quellor");
}

TEST(DeviceMap, ParsesEveryBackendAndResolvesRelativePathsFromTheDmapDirectory) {
  auto dmap = parse("# devices of this server\n"
                    "\n"
                    "PiezoDriver  shm:quellor-board?map=quellor.map   # shared with the simulator\n"
                    "\tTest dummy:?map=../maps/test.map\n"
                    "Board mmap:/sys/bus/pci/devices/0000:03:00.0/resource0?map=/etc/quellor/board.map\n"
                    "Local mmap:regs.bin?map=sub/./local.map\n");
  ASSERT_EQ(dmap.devices().size(), 4u);

  const auto& piezo = dmap.get("PiezoDriver");
  EXPECT_EQ(piezo.kind, BackendKind::shm);
  EXPECT_EQ(piezo.target, "quellor-board");
  EXPECT_EQ(piezo.mapFile, "/srv/quellor/quellor.map");
  EXPECT_EQ(piezo.line, 3u);
  EXPECT_EQ(piezo.uri, "shm:quellor-board?map=quellor.map");

  const auto& test = dmap.get("Test");
  EXPECT_EQ(test.kind, BackendKind::dummy);
  EXPECT_TRUE(test.target.empty());
  EXPECT_EQ(test.mapFile, "/srv/maps/test.map");

  EXPECT_EQ(dmap.get("Board").target, "/sys/bus/pci/devices/0000:03:00.0/resource0");
  EXPECT_EQ(dmap.get("Board").mapFile, "/etc/quellor/board.map");
  EXPECT_EQ(dmap.get("Local").target, "/srv/quellor/regs.bin");
  EXPECT_EQ(dmap.get("Local").mapFile, "/srv/quellor/sub/local.map");

  EXPECT_EQ(dmap.find("piezodriver"), nullptr); // aliases are case-sensitive
}

TEST(DeviceMap, EveryErrorNamesFileAndLine) {
  struct Case {
    std::string text;
    std::size_t line;
    std::string fragment;
  };
  const std::vector<Case> cases{
      {"# c\nA foo:bar?map=a.map\n", 2, "unknown backend 'foo' in URI 'foo:bar?map=a.map'"},
      {"A\n", 1, "missing URI for device 'A'"},
      {"A dummy:?map=a.map extra\n", 1, "unexpected 'extra' after the URI"},
      {"A dummy:?map=a.map\n\nA shm:x?map=b.map\n", 3, "duplicate device 'A' (first at line 1)"},
      {"A quellor.map\n", 1, "names no backend"},
      {"A shm:board\n", 1, "has no map=FILE parameter"},
      {"A shm:board?mapp=a.map\n", 1, "unknown parameter 'mapp'"},
      {"A shm:board?map=a.map&map=b.map\n", 1, "duplicate parameter 'map'"},
      {"A shm:board?map=\n", 1, "empty map file"},
      {"A shm:?map=a.map\n", 1, "shm: needs an object name"},
      {"A shm:dir/board?map=a.map\n", 1, "must not contain '/'"},
      {"A mmap:?map=a.map\n", 1, "mmap: needs a file path"},
      {"A dummy:x?map=a.map\n", 1, "dummy: takes no target"},
      {"Piezo.Driver dummy:?map=a.map\n", 1, "bad device alias 'Piezo.Driver'"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    try {
      (void)parse(c.text);
      ADD_FAILURE() << "accepted";
    } catch (const MapError& e) {
      EXPECT_EQ(e.line(), c.line);
      const std::string what = e.what();
      EXPECT_EQ(what.rfind("quellor.dmap:" + std::to_string(c.line) + ": ", 0), 0u) << what;
      EXPECT_NE(what.find(c.fragment), std::string::npos) << what;
    }
  }
}

TEST(DeviceMap, UnknownAliasNamesTheFileAndTheKnownDevices) {
  auto dmap = parse("A dummy:?map=a.map\nB dummy:?map=b.map\n");
  try {
    (void)dmap.get("PiezoDriver");
    FAIL() << "found";
  } catch (const MapError& e) {
    EXPECT_STREQ(e.what(), "quellor.dmap: no device 'PiezoDriver' (devices: A, B)");
  }
}

TEST(DeviceMap, FileParsingResolvesAgainstTheFilesDirectoryAndReportsThePathAsGiven) {
  test::TempDir dir;
  auto file = dir.write("etc/quellor.dmap", "PiezoDriver dummy:?map=quellor.map\nX bad:?map=a\n");
  try {
    (void)parseDeviceMap(file);
    FAIL() << "accepted";
  } catch (const MapError& e) {
    EXPECT_EQ(std::string(e.what()).rfind(file.string() + ":2: unknown backend 'bad'", 0), 0u) << e.what();
  }
  dir.write("etc/quellor.dmap", "PiezoDriver dummy:?map=quellor.map\n");
  EXPECT_EQ(parseDeviceMap(file).get("PiezoDriver").mapFile, dir.path() / "etc/quellor.map");

  try {
    (void)parseDeviceMap(dir.path() / "missing.dmap");
    FAIL() << "read a missing file";
  } catch (const MapError& e) {
    EXPECT_NE(std::string(e.what()).find("missing.dmap: cannot read"), std::string::npos) << e.what();
  }
  std::filesystem::create_directory(dir.path() / "folder.dmap");
  try {
    (void)parseDeviceMap(dir.path() / "folder.dmap");
    FAIL() << "read a folder";
  } catch (const MapError& e) {
    EXPECT_EQ(std::string(e.what()),
              (dir.path() / "folder.dmap").string() + ": cannot read: it is a directory");
  }
}

} // namespace
} // namespace orvane::device
