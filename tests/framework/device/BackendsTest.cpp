#include "framework/device/DeviceError.hpp"
#include "framework/device/DummyBackend.hpp"
#include "framework/device/MmapBackend.hpp"
#include "framework/device/ShmBackend.hpp"
#include "tests/framework/device/TempDir.hpp"

#include <gtest/gtest.h>

#include <functional>
#include <iterator>

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

namespace orvane::device {
namespace {

std::shared_ptr<const RegisterMap> smallMap(std::string file = "/maps/small.map") {
  return std::make_shared<const RegisterMap>(parseRegisterMapText("A 1 0x0 4 fixed 32 0 1 rw\n"
                                                                  "Wide 2 0x8 8 fixed 64 0 0 rw\n"
                                                                  "Event 1 0x18 4 void 0 0 0 wo\n"
                                                                  "alias Second A\n",
                                                                  std::move(file)));
}

std::string messageOf(const std::function<void()>& f) {
  try {
    f();
  } catch (const DeviceError& e) {
    return e.what();
  }
  return "no DeviceError";
}

bool contains(const std::string& s, std::string_view part) {
  return s.find(part) != std::string::npos;
}

TEST(Backend, RefusesAccessWhenClosedOutOfRangeOrMisaligned) {
  DummyBackend b("Checks", smallMap());
  std::uint32_t w[2] = {};
  EXPECT_FALSE(b.isOpen());
  EXPECT_EQ(b.size(), 0u);
  EXPECT_EQ(messageOf([&] { b.read(0, w, 1); }),
            "device 'Checks' (dummy): cannot read: the device is not open");
  b.open();
  EXPECT_EQ(b.size(), 0x1cu);
  EXPECT_NO_THROW(b.read(0x18, w, 1));
  EXPECT_TRUE(contains(messageOf([&] { b.read(0x18, w, 2); }), "outside the 28 bytes"));
  EXPECT_TRUE(contains(messageOf([&] { b.write(0x1c, w, 1); }), "cannot write 1 words at byte 28"));
  EXPECT_TRUE(contains(messageOf([&] { b.read(2, w, 1); }), "cannot read"));
  EXPECT_TRUE(contains(messageOf([&] { b.read(~std::uint64_t{3}, w, 1); }), "outside"));
  b.open(); // re-open of an open device
  EXPECT_TRUE(b.isOpen());
  b.close();
  b.close();
  EXPECT_FALSE(b.isOpen());
}

TEST(DummyBackend, TestsReachTheMemoryBehindAnAlias) {
  auto map = smallMap();
  std::shared_ptr<DummyDevice> dummy;
  {
    DummyBackend b("PiezoDriver", map);
    DummyBackend again("PiezoDriver", map); // joins the same memory
    dummy = findDummyDevice("PiezoDriver");
    EXPECT_EQ(&b.device(), dummy.get());
    EXPECT_EQ(&again.device(), dummy.get());

    dummy->poke(0, 0xdeadbeef);
    b.open();
    std::uint32_t w = 0;
    b.read(0, &w, 1);
    EXPECT_EQ(w, 0xdeadbeefu);

    const std::uint32_t wide[4] = {1, 2, 3, 4};
    again.open();
    again.write(8, wide, 4);
    EXPECT_EQ(dummy->peekRegister("Wide"), (std::vector<std::uint32_t>{1, 2, 3, 4}));
    EXPECT_EQ(dummy->read<std::uint64_t>("/Wide"), (std::vector<std::uint64_t>{0x200000001, 0x400000003}));
    dummy->write<std::int32_t>("Second", {-3});
    b.read(0, &w, 1);
    EXPECT_EQ(w, 0xfffffffdu);
    EXPECT_EQ(dummy->writeCount("Wide"), 1u); // pokes are not backend writes
    EXPECT_EQ(dummy->writeCount("A"), 0u);

    b.close(); // register values outlive a close, as on a board
    b.open();
    b.read(0, &w, 1);
    EXPECT_EQ(w, 0xfffffffdu);
    EXPECT_EQ(dummy->openCount(), 3u);
    EXPECT_THROW((void)dummy->peek(0x1c), std::out_of_range);
    EXPECT_THROW(dummy->pokeRegister("A", {1, 2}), std::invalid_argument);
  }
  // The test's pointer keeps the memory; once it goes the alias is gone.
  EXPECT_EQ(findDummyDevice("PiezoDriver"), dummy);
  dummy.reset();
  EXPECT_THROW((void)findDummyDevice("PiezoDriver"), std::invalid_argument);
}

TEST(DummyBackend, OneAliasWithTwoMapsMustBeNamedByMap) {
  DummyBackend a("Twice", smallMap("/maps/a.map"));
  DummyBackend b("Twice", smallMap("/maps/b.map"));
  EXPECT_NE(&a.device(), &b.device());
  EXPECT_THROW((void)findDummyDevice("Twice"), std::invalid_argument);
  EXPECT_EQ(findDummyDevice("Twice", "/maps/b.map").get(), &b.device());
}

TEST(DummyBackend, InjectedFailuresHitTheNextAccessesAndOpens) {
  DummyBackend b("Faulty", smallMap());
  auto dummy = findDummyDevice("Faulty");
  dummy->failNextOpens(1, "board absent");
  EXPECT_EQ(messageOf([&] { b.open(); }), "device 'Faulty' (dummy): cannot open: board absent");
  EXPECT_FALSE(b.isOpen());
  b.open();

  std::uint32_t w = 7;
  dummy->failNextAccesses(2, "bus error");
  EXPECT_EQ(messageOf([&] { b.write(0, &w, 1); }), "device 'Faulty' (dummy): write failed: bus error");
  EXPECT_EQ(messageOf([&] { b.read(0, &w, 1); }), "device 'Faulty' (dummy): read failed: bus error");
  EXPECT_EQ(dummy->peek(0), 0u); // the failed write did not happen
  b.write(0, &w, 1);
  EXPECT_EQ(dummy->peek(0), 7u);
}

TEST(DummyBackend, RefusesAMapTooLargeForMemory) {
  auto map = std::make_shared<const RegisterMap>(
      parseRegisterMapText("A 1 0x100000000 4 fixed 8 0 0 rw\n", "big.map"));
  EXPECT_TRUE(contains(messageOf([&] { DummyBackend b("Big", map); }), "big.map needs 4294967300 bytes"));
}

class ShmBackendTest : public ::testing::Test {
 protected:
  void TearDown() override { ShmBackend::unlink(name); }
  const std::string name = "quellor-test-" + std::to_string(::getpid()) + "-" +
                           ::testing::UnitTest::GetInstance()->current_test_info()->name();
};

TEST_F(ShmBackendTest, TwoMappingsSeeEachOthersWrites) {
  auto map = smallMap();
  ShmBackend::create(name, map->requiredSize()); // what the simulator does before it maps it
  ShmBackend server("PiezoDriver", name, map);
  ShmBackend simulator("Sim", name, map);
  server.open();
  simulator.open();
  EXPECT_EQ(server.size(), map->requiredSize());

  const std::uint32_t out[2] = {0x11223344, 0x55667788};
  server.write(8, out, 2);
  std::uint32_t in[2] = {};
  simulator.read(8, in, 2);
  EXPECT_EQ(in[0], out[0]);
  EXPECT_EQ(in[1], out[1]);

  const std::uint32_t back = 42;
  simulator.write(0, &back, 1);
  server.read(0, in, 1);
  EXPECT_EQ(in[0], 42u);

  // The object outlives both mappings: a restarted server finds the simulator's state.
  server.close();
  simulator.close();
  server.open();
  server.read(0, in, 1);
  EXPECT_EQ(in[0], 42u);
  server.close();
  EXPECT_TRUE(ShmBackend::unlink(name));
  EXPECT_FALSE(ShmBackend::unlink(name));
}

TEST_F(ShmBackendTest, OnlyCreateMakesOrGrowsTheObjectAndOpeningAMissingOrShortOneFails) {
  // Opening is the server's side: it must never bring a board into being that nobody simulates.
  ShmBackend server("PiezoDriver", name, smallMap());
  auto message = messageOf([&] { server.open(); });
  EXPECT_EQ(message, "device 'PiezoDriver' (shm:" + name + "): shared memory /" + name +
                         " does not exist (is the board simulator running?)");
  EXPECT_FALSE(server.isOpen());
  EXPECT_FALSE(ShmBackend::unlink(name)) << "opening created the object";

  // An object shorter than the map (a simulator with another map) is refused, not grown.
  ShmBackend::create(name, 4);
  const std::string path = "/" + name;
  int fd = ::shm_open(path.c_str(), O_RDWR, 0);
  ASSERT_GE(fd, 0);
  const std::uint32_t word = 0xabcd;
  ASSERT_EQ(::pwrite(fd, &word, 4, 0), 4);
  message = messageOf([&] { server.open(); });
  EXPECT_EQ(message, "device 'PiezoDriver' (shm:" + name + "): shared memory /" + name +
                         " is 4 bytes, shorter than its map: /maps/small.map:2: register '/Wide' ends at "
                         "byte 24 (is the board simulator running with this map?)");
  struct stat st {};
  ASSERT_EQ(::fstat(fd, &st), 0);
  EXPECT_EQ(st.st_size, 4);

  // create() grows it and keeps what is there; it never shrinks it.
  ShmBackend::create(name, smallMap()->requiredSize());
  ShmBackend::create(name, 8);
  ASSERT_EQ(::fstat(fd, &st), 0);
  EXPECT_EQ(static_cast<std::uint64_t>(st.st_size), smallMap()->requiredSize());
  ::close(fd);
  server.open();
  std::uint32_t in[2] = {1, 1};
  server.read(0, in, 1);
  server.read(0x18, in + 1, 1);
  EXPECT_EQ(in[0], 0xabcdu);
  EXPECT_EQ(in[1], 0u);
}

TEST_F(ShmBackendTest, OpenFailureNamesTheDeviceAndObject) {
  ShmBackend b("PiezoDriver", "", smallMap()); // "/" alone is no object name
  auto message = messageOf([&] { b.open(); });
  EXPECT_TRUE(contains(message, "device 'PiezoDriver' (shm:): cannot open shared memory /:")) << message;
}

TEST(MmapBackend, MapsAFileWordByWordLittleEndianWordOrder) {
  test::TempDir dir;
  auto file = dir.write("regs.bin", std::string(0x20, '\0'));
  MmapBackend b("Board", file, smallMap());
  b.open();
  const std::uint32_t wide[2] = {0x04030201, 0x08070605}; // one 64-bit element, low word first
  b.write(8, wide, 2);
  b.close();
  std::ifstream in(file, std::ios::binary);
  std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  EXPECT_EQ(bytes.substr(8, 8), "\x01\x02\x03\x04\x05\x06\x07\x08");
  EXPECT_EQ(bytes.size(), 0x20u); // never grown
}

TEST(MmapBackend, AShortOrMissingFileFailsAtOpenNamingPathAndRegister) {
  test::TempDir dir;
  auto file = dir.write("regs.bin", std::string(0x10, '\0'));
  MmapBackend b("Board", file, smallMap());
  auto message = messageOf([&] { b.open(); });
  EXPECT_EQ(message,
            "device 'Board' (mmap:" + file.string() + "): file " + file.string() +
                " is 16 bytes, shorter than its map: /maps/small.map:2: register '/Wide' ends at byte 24");
  EXPECT_FALSE(b.isOpen());

  MmapBackend missing("Board", dir.path() / "absent", smallMap());
  EXPECT_TRUE(
      contains(messageOf([&] { missing.open(); }), "cannot open " + (dir.path() / "absent").string()));
}

} // namespace
} // namespace orvane::device
