// The delivered programs as an operator starts them: --help and --version anywhere, and a start
// that cannot go on says why once and exits 1. The application object is a global built before
// main(), which is where these went wrong.

#include "AppTestSupport.hpp"
#include "tests/framework/start/ProgramRun.hpp"

#include <gtest/gtest.h>

#include <algorithm>

#include <fstream>
#include <iterator>
#include <string>

namespace {

using orvane::test::ProgramRun;
using quellor::testing::RuntimeDirectory;

/// Runs a program in the current directory (which the test has set).
ProgramRun run(const std::string& program, const std::string& args) {
  return orvane::test::runProgram(std::filesystem::current_path(), program + " " + args);
}

const std::string programs[] = {QUELLOR_SERVER, QUELLOR_XMLGEN, QUELLOR_BOARD_SIM};

std::string shortName(const std::string& path) {
  return path.substr(path.rfind('/') + 1);
}

TEST(Programs, HelpAndVersionWorkInAnyDirectory) {
  RuntimeDirectory empty; // no configuration, no device map
  std::filesystem::remove(empty.path() / "quellor.dmap");
  for (const auto& program : programs) {
    const auto name = shortName(program);
    auto help = run(program, "--help");
    EXPECT_EQ(help.status, 0) << name << ": " << help.err;
    EXPECT_NE(help.out.find("sage: " + name), std::string::npos) << help.out;
    EXPECT_EQ(help.err, "") << name;
    auto version = run(program, "--version");
    EXPECT_EQ(version.status, 0) << name << ": " << version.err;
    EXPECT_EQ(version.out, name + " 4.3.1\n");
    EXPECT_EQ(version.err, "") << name;
    auto bad = run(program, "--no-such-option");
    EXPECT_EQ(bad.status, 2) << name;
    EXPECT_NE(bad.err.find(name + ": unknown option '--no-such-option'"), std::string::npos) << bad.err;
  }
  // In a runtime directory --help only helps: no banner, nothing started.
  for (const char* f : {"quellorctrl_base_config.xml", "quellor.dmap"})
    std::filesystem::copy_file(std::filesystem::path(QUELLOR_DEPLOY_DIR) / f, empty.path() / f);
  auto help = run(QUELLOR_SERVER, "--help");
  EXPECT_EQ(help.status, 0);
  EXPECT_EQ(help.out.find("****"), std::string::npos) << help.out;
}

TEST(Programs, AStartThatCannotGoOnSaysWhyOnceAndExitsOne) {
  RuntimeDirectory dir;
  const std::pair<std::string, std::string> starts[] = {{QUELLOR_SERVER, "--persist none --port 0"},
                                                        {QUELLOR_XMLGEN, ""}};
  for (const auto& [program, args] : starts) {
    const auto name = shortName(program);
    const auto o = run(program, args);
    EXPECT_EQ(o.status, 1) << name;
    EXPECT_EQ(o.err, name + ": Cannot read configuration file 'quellorctrl_base_config.xml': No such file or "
                            "directory.\n");
    EXPECT_EQ(o.out, "");
  }
  // A value the channels cannot run with: refused after the banner, with file, line, key and value.
  dir.write("quellorctrl_base_config.xml", quellor::testing::configText("2"));
  std::ifstream in("quellorctrl_base_config.xml");
  std::string config((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  config.replace(config.find(">0.5<"), 5, ">0<");
  dir.write("quellorctrl_base_config.xml", config);
  const auto o = run(QUELLOR_SERVER, "--persist none --port 0");
  EXPECT_EQ(o.status, 1);
  // Found once main() runs, so the line is the event log's (time, severity, source).
  const std::string why =
      "quellorctrl_base_config.xml:7: maxDCVoltageStep is 0: the DC voltage step per "
      "trigger must be a finite voltage greater than 0 (with 0 the DC voltage never moves).";
  EXPECT_EQ(std::count(o.err.begin(), o.err.end(), '\n'), 1) << o.err;
  EXPECT_TRUE(o.err.ends_with(" critical server: " + why + "\n")) << o.err;
}

} // namespace
