// deploy/initHardware.py and quellor_board_sim as processes on a register file of their own: a
// shared-memory object with a name unique to the test run, or a plain file, removed afterwards.

#include "framework/device/Device.hpp"
#include "framework/device/DeviceError.hpp"
#include "framework/device/ShmBackend.hpp"
#include "sim/BoardModel.hpp"
#include "tests/framework/device/TempDir.hpp"

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <sys/wait.h>
#include <unistd.h>

namespace {

namespace dev = orvane::device;
using orvane::device::test::TempDir;

const std::string deployDir = QUELLOR_DEPLOY_DIR;
const std::string initScriptPath = deployDir + "/initHardware.py";
// The server starts the script through its #! line, as the first test does; the others name the
// interpreter, which spares them the start-up of a python3 wrapper that may come first on PATH.
const std::string initScript =
    (::access("/usr/bin/python3", X_OK) == 0 ? "/usr/bin/python3 " : "") + initScriptPath;
const std::string boardSim = QUELLOR_BOARD_SIM;

struct Run {
  int status;
  std::string output;
  [[nodiscard]] bool says(std::string_view text) const { return output.find(text) != std::string::npos; }
};

Run run(const std::string& command) {
  FILE* pipe = ::popen((command + " 2>&1").c_str(), "r");
  if (pipe == nullptr) return {-1, "popen failed"};
  Run r{-1, {}};
  char buffer[4096];
  while (std::size_t n = std::fread(buffer, 1, sizeof buffer, pipe))
    r.output.append(buffer, n);
  const int status = ::pclose(pipe);
  r.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return r;
}

/// A shared-memory name no other run uses, unlinked when the test ends.
struct UniqueShm {
  UniqueShm() {
    static int serial = 0;
    name = "quellor-simtest-" + std::to_string(::getpid()) + "-" + std::to_string(++serial);
  }
  ~UniqueShm() { dev::ShmBackend::unlink(name); }
  std::string name;
};

std::uint32_t readWord(dev::Backend& board, std::string_view path) {
  std::uint32_t word = 0;
  board.read(board.registerMap().get(path).offset, &word, 1);
  return word;
}

void writeWord(dev::Backend& board, std::string_view path, std::uint32_t word) {
  board.write(board.registerMap().get(path).offset, &word, 1);
}

std::string in(const TempDir& dir, const std::string& command) {
  return "cd '" + dir.path().string() + "' && " + command;
}

TEST(InitHardware, MarksARebootedSimulatedBoardInitialised) {
  TempDir dir;
  UniqueShm shm;
  dir.write("quellor.dmap", "PiezoDriver shm:" + shm.name + "?map=" + deployDir + "/quellor.map\n");
  auto board = dev::openDevice(dir.path() / "quellor.dmap", "PiezoDriver");
  dev::ShmBackend::create(shm.name, board.registers->requiredSize()); // the simulator's board
  board.backend->open();
  quellor::sim::BoardModel model(*board.backend);
  model.reboot();

  const auto first = run(in(dir, initScriptPath));
  EXPECT_EQ(first.status, 0) << first.output;
  EXPECT_TRUE(first.says("Board/driverBootStatus reads 0 (the board needs initialising)")) << first.output;
  EXPECT_TRUE(first.says("8 channels on the board")) << first.output;
  model.tick();
  EXPECT_EQ(readWord(*board.backend, "Board/driverBootStatus"), 1u) << "the firmware keeps the mark";

  writeWord(*board.backend, "Sim/reboot", 1);
  model.tick();
  EXPECT_EQ(readWord(*board.backend, "Board/driverBootStatus"), 0u);
  const auto again = run("cd / && QUELLOR_DMAP='" + (dir.path() / "quellor.dmap").string() + "' " +
                         initScript + " --boot-status 5");
  EXPECT_EQ(again.status, 0) << again.output;
  EXPECT_EQ(readWord(*board.backend, "Board/driverBootStatus"), 5u);
}

TEST(InitHardware, WorksOnAPlainRegisterFileAndRefusesAShortOne) {
  TempDir dir;
  dir.write("quellor.dmap", "PiezoDriver mmap:regs.bin?map=" + deployDir + "/quellor.map\n");
  const auto size = dev::parseRegisterMap(deployDir + "/quellor.map").requiredSize();
  dir.write("regs.bin", std::string(size, '\0'));
  EXPECT_EQ(run(in(dir, initScript)).status, 0);
  std::ifstream file(dir.path() / "regs.bin", std::ios::binary);
  std::uint32_t word = 0;
  file.read(reinterpret_cast<char*>(&word), 4); // driverBootStatus lies at offset 0
  EXPECT_EQ(word, 1u);

  dir.write("regs.bin", std::string(16, '\0'));
  const auto shortFile = run(in(dir, initScript));
  EXPECT_EQ(shortFile.status, 1);
  EXPECT_TRUE(shortFile.says("regs.bin is 16 bytes, its map needs " + std::to_string(size)))
      << shortFile.output;
}

TEST(InitHardware, FailsWithAClearMessage) {
  TempDir dir;
  UniqueShm shm;
  const auto noDmap = run(in(dir, initScript));
  EXPECT_EQ(noDmap.status, 1);
  EXPECT_TRUE(noDmap.says("error: cannot read the device map quellor.dmap")) << noDmap.output;

  dir.write("quellor.dmap", "PiezoDriver shm:" + shm.name + "?map=" + deployDir + "/quellor.map\n" +
                                "Inside dummy:?map=" + deployDir + "/quellor.map\nNoStatus shm:" + shm.name +
                                "?map=bare.map\n");
  dir.write("bare.map", "Board/hwProtectionMonitor 1 4 4 fixed 1 0 0 ro\n");
  const struct {
    std::string options;
    std::string message;
  } cases[] = {
      {"--alias Nope", "quellor.dmap: no device 'Nope' (devices: PiezoDriver, Inside, NoStatus)"},
      {"--alias Inside", "quellor.dmap:2: device 'Inside' (dummy:?map="},
      {"", "cannot open the register file /dev/shm/" + shm.name +
               ": No such file or directory (is quellor_board_sim running?)"},
      {"--alias NoStatus", "bare.map: no register '/Board/driverBootStatus'"},
  };
  for (const auto& c : cases) {
    const auto r = run(in(dir, initScript + " " + c.options));
    EXPECT_EQ(r.status, 1) << c.options;
    EXPECT_TRUE(r.says("initHardware.py: error: ")) << r.output;
    EXPECT_TRUE(r.says(c.message)) << c.options << ": " << r.output;
  }
  EXPECT_EQ(run(initScript + " --boot-status 0").status, 2);
}

TEST(BoardSimProgram, PowersOnRunsCyclesAndRefusesWhatItCannotSimulate) {
  TempDir dir;
  UniqueShm shm;
  dir.write("quellor.dmap", "PiezoDriver shm:" + shm.name + "?map=" + deployDir + "/quellor.map\n" +
                                "Inside dummy:?map=" + deployDir +
                                "/quellor.map\nFile mmap:regs.bin?map=" + deployDir + "/quellor.map\n");
  auto board = dev::openDevice(dir.path() / "quellor.dmap", "PiezoDriver");
  EXPECT_THROW(board.backend->open(), dev::DeviceError) << "nobody has made the board yet";

  // The simulator makes the shared-memory board; a second start finds and powers it on again.
  auto once = run(in(dir, boardSim + " --once"));
  EXPECT_EQ(once.status, 0) << once.output;
  board.backend->open();
  writeWord(*board.backend, "Board/driverBootStatus", 3);
  once = run(in(dir, boardSim + " --once"));
  EXPECT_EQ(once.status, 0) << once.output;
  EXPECT_TRUE(once.says("8 channels")) << once.output;
  EXPECT_EQ(readWord(*board.backend, "Board/driverBootStatus"), 0u) << "starting is a power-on";
  EXPECT_EQ(readWord(*board.backend, "Sim/ticks"), 1u);

  const auto some =
      run(boardSim + " --dmap '" + (dir.path() / "quellor.dmap").string() + "' --channels 2 --ticks 3");
  EXPECT_EQ(some.status, 0) << some.output;
  EXPECT_TRUE(some.says("2 channels")) << some.output;
  EXPECT_EQ(readWord(*board.backend, "Sim/ticks"), 3u);

  const auto file = run(in(dir, boardSim + " --alias File --once"));
  EXPECT_EQ(file.status, 0) << file.output;
  EXPECT_TRUE(file.says("created register file")) << file.output;
  EXPECT_EQ(std::filesystem::file_size(dir.path() / "regs.bin"), board.registers->requiredSize());

  const auto dummy = run(in(dir, boardSim + " --alias Inside --once"));
  EXPECT_EQ(dummy.status, 1);
  EXPECT_TRUE(dummy.says("lives inside the server's process")) << dummy.output;
  EXPECT_EQ(run(in(dir, boardSim + " --channels 9 --once")).status, 1);
  EXPECT_EQ(run(in(dir, boardSim + " --tick-rate 0")).status, 2);
  EXPECT_EQ(run(in(dir, boardSim + " --ticks")).status, 2);
}

} // namespace
