// A global application object whose configuration cannot be read stops the program during static
// initialisation. That must end in one line naming the fault and exit status 1, whichever order
// the linker gave the static initialisers.

#include "tests/framework/device/TempDir.hpp"

#include <gtest/gtest.h>

#include <sys/wait.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>

namespace {

using orvane::device::test::TempDir;

struct Outcome {
  int status{-1}; ///< exit status, or 128 + signal
  std::string out;
  std::string err;
};

Outcome runIn(const TempDir& dir) {
  const std::string command =
      "cd '" + dir.path().string() + "' && " + QUELLOR_START_PROGRAM + " 2>stderr.txt";
  FILE* pipe = ::popen(command.c_str(), "r");
  Outcome o;
  if (pipe == nullptr) return o;
  char buffer[4096];
  while (std::size_t n = std::fread(buffer, 1, sizeof buffer, pipe))
    o.out.append(buffer, n);
  const int status = ::pclose(pipe);
  o.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  std::ifstream err(dir.path() / "stderr.txt");
  o.err.assign(std::istreambuf_iterator<char>(err), std::istreambuf_iterator<char>());
  return o;
}

TEST(StaticStart, AConfigurationFaultBeforeMainIsOneLineAndStatusOne) {
  TempDir dir;
  auto o = runIn(dir);
  EXPECT_EQ(o.status, 1) << o.err;
  EXPECT_EQ(o.out, "");
  EXPECT_EQ(o.err, "framework_start_program: Cannot read configuration file 'starttest_base_config.xml': "
                   "No such file or directory.\n");

  dir.write("starttest_base_config.xml",
            "<configuration>\n<value name=\"nChannels\" type=\"int32\">x</value>\n"
            "</configuration>\n");
  o = runIn(dir);
  EXPECT_EQ(o.status, 1);
  EXPECT_EQ(o.err, "framework_start_program: starttest_base_config.xml:2: key 'nChannels': 'x' is not a "
                   "valid int32.\n");

  dir.write("starttest_base_config.xml", "<configuration><value name=\"nChannels\" type=\"int32\">3</value>"
                                         "</configuration>\n");
  o = runIn(dir);
  EXPECT_EQ(o.status, 0) << o.err;
  EXPECT_EQ(o.out, "nChannels 3\n");
  EXPECT_EQ(o.err, "");
}

} // namespace
