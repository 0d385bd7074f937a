// The shm backend as the server and the board simulator use it: two processes, each with its own
// mapping of one object, see each other's writes.
#include "framework/device/RegisterAccess.hpp"
#include "framework/device/ShmBackend.hpp"

#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

namespace orvane::device {
namespace {

std::shared_ptr<const RegisterMap> boardMap() {
  return std::make_shared<const RegisterMap>(
      parseRegisterMapText("Board/driverBootStatus 1 0x0 4 fixed 32 0 0 rw\n"
                           "Channel0/dcVoltage 1 0x4 4 fixed 32 16 1 rw\n"
                           "Channel0/dacVoltage 16 0x40 4 fixed 18 0 1 rw\n",
                           "shm-test.map"));
}

// One byte over a pipe is the hand-over between the processes: no timing involved.
void send(int fd) {
  const char c = 1;
  if (::write(fd, &c, 1) != 1) std::abort();
}
bool receive(int fd) {
  char c = 0;
  return ::read(fd, &c, 1) == 1;
}

TEST(ShmTwoProcesses, EachSeesTheOthersWrites) {
  const std::string name = "quellor-test-2proc-" + std::to_string(::getpid());
  auto map = boardMap();
  const auto& dc = map->get("Channel0/dcVoltage");
  const auto& dac = map->get("Channel0/dacVoltage");
  const auto& boot = map->get("Board/driverBootStatus");

  int toChild[2], toParent[2];
  ASSERT_EQ(::pipe(toChild), 0);
  ASSERT_EQ(::pipe(toParent), 0);
  const pid_t pid = ::fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    // The simulator's side: its own backend and mapping. Exit codes tell the parent what failed.
    int code = 0;
    try {
      ShmBackend sim("Sim", name, map);
      if (!receive(toChild[0])) ::_exit(10);
      sim.open();
      std::vector<double> v;
      readRegister(sim, dc, v);
      if (v != std::vector<double>{-2.5}) code = 11;
      std::vector<int32_t> samples(16);
      for (int i = 0; i < 16; ++i)
        samples[static_cast<size_t>(i)] = (i - 8) * 1000;
      writeRegister(sim, dac, samples);
      writeRegister(sim, boot, std::vector<uint32_t>{0});
      send(toParent[1]);
    } catch (...) {
      code = 12;
    }
    ::_exit(code);
  }

  ShmBackend::create(name, map->requiredSize()); // the simulator's part; the child opens it later
  ShmBackend server("PiezoDriver", name, map);
  server.open();
  writeRegister(server, dc, std::vector<double>{-2.5});
  writeRegister(server, boot, std::vector<uint32_t>{1});
  send(toChild[1]);
  ASSERT_TRUE(receive(toParent[0]));
  std::vector<int32_t> samples;
  readRegister(server, dac, samples);
  EXPECT_EQ(samples.front(), -8000);
  EXPECT_EQ(samples.back(), 7000);
  std::vector<uint32_t> status;
  readRegister(server, boot, status);
  EXPECT_EQ(status, std::vector<uint32_t>{0});

  int wstatus = 0;
  ASSERT_EQ(::waitpid(pid, &wstatus, 0), pid);
  EXPECT_TRUE(WIFEXITED(wstatus));
  EXPECT_EQ(WEXITSTATUS(wstatus), 0);
  for (int fd : {toChild[0], toChild[1], toParent[0], toParent[1]})
    ::close(fd);
  server.close();
  EXPECT_TRUE(ShmBackend::unlink(name));
}

} // namespace
} // namespace orvane::device
