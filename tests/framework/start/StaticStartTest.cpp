// A global application object whose configuration cannot be read stops the program during static
// initialisation. That must end in one line naming the fault and exit status 1, whichever order
// the linker gave the static initialisers.

#include "tests/framework/device/TempDir.hpp"
#include "tests/framework/start/ProgramRun.hpp"

#include <gtest/gtest.h>

#include <string>

namespace {

using orvane::device::test::TempDir;
using orvane::test::ProgramRun;

ProgramRun runIn(const TempDir& dir) {
  return orvane::test::runProgram(dir.path(), QUELLOR_START_PROGRAM);
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
