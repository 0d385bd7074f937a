#include "framework/Log.hpp"
#include "framework/Orvane.hpp"
#include "framework/TestFacility.hpp"
#include "framework/devicemodule/DeviceModule.hpp"
#include "framework/devicemodule/ScriptedInitHandler.hpp"
#include "framework/devicemodule/src/Subprocess.hpp"
#include "tests/framework/device/TempDir.hpp"

#include <gtest/gtest.h>

#include <boost/thread/thread.hpp>

#include <csignal>
#include <fstream>
#include <iterator>
#include <unistd.h>

using namespace orvane;
using orvane::device::detail::CommandResult;
using orvane::device::detail::runCommand;
using orvane::device::detail::splitCommand;
using orvane::device::test::TempDir;
using namespace std::chrono_literals;

namespace {

const char* const boardMap = "Board/driverBootStatus 1 0 4 fixed 32 0 0 ro\n"
                             "Channel0/appliedTableMode 1 4 4 fixed 32 0 1 ro\n";

// Scripts and the server's working directory are the scratch directory, as "./initHardware.py"
// is relative to the server's.
class ScriptTest : public ::testing::Test {
 protected:
  void SetUp() override {
    previous = std::filesystem::current_path();
    std::filesystem::current_path(dir.path());
  }
  void TearDown() override { std::filesystem::current_path(previous); }

  std::string script(const std::string& name, const std::string& body) {
    const auto p = dir.write(name, "#!/bin/sh\n" + body);
    std::filesystem::permissions(p, std::filesystem::perms::owner_all);
    return "./" + name;
  }
  static std::string read(const std::string& file) {
    std::ifstream in(file);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  }
  // Gone, or dead and waiting for a parent that does not reap it (the test's process may be
  // nobody's subreaper, so killed orphans can stay zombies for a while).
  static bool processGone(const std::string& pidFile) {
    const std::string pid = read(pidFile);
    std::ifstream stat("/proc/" + std::to_string(std::stoi(pid)) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    if (text.empty()) return true;
    const auto state = text.substr(text.rfind(')') + 2, 1);
    return state == "Z" || state == "X";
  }

  TempDir dir;
  std::filesystem::path previous;
};

using CommandTest = ScriptTest;

TEST_F(CommandTest, OutcomesAreToldApartAndDescribed) {
  auto r = runCommand({script("a.sh", "echo out\necho err >&2\necho more\nexit 3\n")}, 10s, 1000);
  EXPECT_EQ(r.output, "out\nerr\nmore\n");
  EXPECT_FALSE(r.succeeded());
  EXPECT_EQ(r.describe(60s), "exited with status 3");
  EXPECT_TRUE(runCommand({script("b.sh", "echo fine\n")}, 10s, 1000).succeeded());

  dir.write("plain.sh", "#!/bin/sh\necho never\n");
  r = runCommand({"./plain.sh"}, 10s, 1000);
  EXPECT_EQ(r.outcome, CommandResult::Outcome::notStarted);
  EXPECT_EQ(r.code, EACCES);

  r = runCommand({script("kill.sh", "echo dying\nkill -9 $$\n")}, 10s, 1000);
  EXPECT_EQ(r.outcome, CommandResult::Outcome::signalled);
  EXPECT_EQ(r.code, SIGKILL);
  EXPECT_EQ(r.output, "dying\n");
  EXPECT_FALSE(r.succeeded());

  r.outcome = CommandResult::Outcome::timedOut;
  EXPECT_EQ(r.describe(60s), "did not finish within 60 s and was killed");
}

TEST_F(CommandTest, ArgumentsReachTheProgramUntouchedByAnyShell) {
  EXPECT_EQ(splitCommand("  ./init.sh  --board\t2 "),
            (std::vector<std::string>{"./init.sh", "--board", "2"}));
  const auto r = runCommand(splitCommand("echo $HOME * ; `id` >x"), 10s, 1000);
  EXPECT_EQ(r.output, "$HOME * ; `id` >x\n");
  EXPECT_FALSE(std::filesystem::exists(dir.path() / "x"));
}

TEST_F(CommandTest, OutputIsBoundedAndAnInterruptionKillsTheCommand) {
  auto r = runCommand({script("chatty.sh", "head -c 100000 /dev/zero | tr '\\0' x\n")}, 10s, 1000);
  EXPECT_TRUE(r.succeeded());
  EXPECT_EQ(r.output, std::string(1000, 'x'));
  EXPECT_TRUE(r.truncated);

  // Shutdown interrupts the device thread while a command runs.
  const auto sleeper = script("sleeper.sh", "echo $$ > spid\necho ready\nexec sleep 60\n");
  bool interrupted = false;
  boost::thread t([&] {
    try {
      (void)runCommand({sleeper}, 60s, 1000);
    } catch (const boost::thread_interrupted&) {
      interrupted = true;
    }
  });
  t.interrupt();
  t.join();
  EXPECT_TRUE(interrupted);
  // The interruption may come before the script has written its pid.
  if (std::filesystem::exists("spid") && !read("spid").empty()) {
    EXPECT_TRUE(processGone("spid"));
  }
}

TEST_F(CommandTest, NothingTheCommandStartedOutlivesIt) {
  // A helper in a process group of its own, as timeout(1) makes one: the command's group alone
  // does not hold it. The script hangs once the helper has moved.
  const std::string mover = "python3 -c 'import os, time\nos.setpgid(0, 0)\nopen(\"moved\", \"w\").close()\n"
                            "time.sleep(60)' &\n";
  auto r =
      runCommand({script("hang.sh", mover + "echo $! > helper\nwhile [ ! -e moved ]; do sleep 0.01; done\n"
                                            "echo $$ > pid\necho waiting\nexec sleep 60\n")},
                 3s, 1000);
  EXPECT_EQ(r.outcome, CommandResult::Outcome::timedOut);
  ASSERT_TRUE(std::filesystem::exists("pid")) << "the helper did not start in time: " << r.output;
  EXPECT_TRUE(processGone("pid"));
  EXPECT_TRUE(processGone("helper"));

  // A command that ends at once but leaves a helper holding its output: the run ends with the
  // command, not at the time limit, and the helper ends with it.
  std::filesystem::remove("moved");
  const auto started = std::chrono::steady_clock::now();
  r = runCommand({script("quick.sh", mover + "echo $! > helper2\nwhile [ ! -e moved ]; do sleep 0.01; done\n"
                                             "echo done\n")},
                 60s, 1000);
  EXPECT_TRUE(r.succeeded()) << r.describe(60s);
  EXPECT_EQ(r.output, "done\n");
  // Far below the limit; only a run that waited for the helper's output to close comes near it.
  EXPECT_LT(std::chrono::steady_clock::now() - started, 30s);
  EXPECT_TRUE(processGone("helper2"));
}

// ---------------------------------------------------------------------------------------------

struct Consumer : ApplicationModule {
  using ApplicationModule::ApplicationModule;
  ModifyHierarchy<ScalarPushInput<int32_t>> mode{this, "/Channel0/appliedTableMode", "", ""};
  bool started = false;
  void mainLoop() override {
    started = true;
    for (;;)
      mode->read();
  }
};

struct InitApp : Application {
  InitApp(const std::string& command, unsigned grace = 10, std::chrono::milliseconds limit = 60s)
      : Application("inittest"),
        handler(this, "PiezoInitHandler", "", command, dev, "initScriptOutput", grace, limit) {}
  ~InitApp() override { shutdown(); }
  DeviceModule dev{this, "PiezoDriver"};
  ScriptedInitHandler handler;
  Consumer consumer{this, "Consumer", ""};
  void defineConnections() override {
    setDMapFilePath("quellor.dmap");
    dev.connectTo(ControlSystemModule{}, ControlSystemModule{}["Server"]("triggerNumber"));
    findTag(".*").connectTo(ControlSystemModule{});
  }
};

class InitHandlerTest : public ScriptTest {
 protected:
  void SetUp() override {
    ScriptTest::SetUp();
    dir.write("board.map", boardMap);
    dir.write("quellor.dmap", "PiezoDriver dummy:?map=board.map\n");
  }
  const std::string output = "/PiezoInitHandler/initScriptOutput";
  const std::string status = "/Devices/PiezoDriver/status";
};

TEST_F(InitHandlerTest, RunsAtEveryOpeningAndPublishesWhatItPrinted) {
  const auto cmd =
      script("initHardware.sh", "n=$(cat runs 2>/dev/null || echo 0)\nn=$((n+1))\necho $n > runs\n"
                                "echo \"init run $n\"\necho 'a warning' >&2\n");
  InitApp app(cmd);
  TestFacility tf(app);
  tf.runApplication();
  EXPECT_EQ(tf.readScalar<std::string>(output), "init run 1\na warning\n");
  EXPECT_EQ(tf.readScalar<int32_t>(status), 0);
  EXPECT_TRUE(app.consumer.started);
  EXPECT_EQ(app.handler.runCount(), 1u);

  app.dev.reportException("RebootWatchdog: Reboot detected. /Board/driverBootStatus is 0.");
  tf.stepApplication();
  EXPECT_EQ(tf.readScalar<std::string>(output), "init run 2\na warning\n");
  EXPECT_EQ(tf.takeUpdates<std::string>(output).size(), 2u);
  EXPECT_EQ(tf.readScalar<int32_t>(status), 0);
  EXPECT_EQ(tf.pv(output).info().direction, PvDirection::toOperator);
}

TEST_F(InitHandlerTest, AFailingScriptKeepsTheDeviceFaultyWithoutValuesAndIsRetried) {
  const auto cmd =
      script("initHardware.sh", "if [ -e ok ]; then echo ready; exit 0; fi\necho 'not ready'\nexit 3\n");
  InitApp app(cmd);
  TestFacility tf(app);
  tf.runApplication();
  EXPECT_EQ(tf.readScalar<std::string>(output), "not ready\n./initHardware.sh exited with status 3\n");
  EXPECT_EQ(tf.readScalar<int32_t>(status), 1);
  EXPECT_EQ(tf.readScalar<std::string>("/Devices/PiezoDriver/message"),
            "initialisation of device 'PiezoDriver' failed: PiezoInitHandler: ./initHardware.sh exited with "
            "status 3");
  // No register value has reached anyone, so the module waiting for one has not started.
  EXPECT_EQ(tf.updateCount("/Channel0/appliedTableMode"), 0u);
  EXPECT_FALSE(app.consumer.started);
  tf.writeScalar<int64_t>("/Server/triggerNumber", 1);
  tf.stepApplication();
  EXPECT_EQ(tf.updateCount("/Channel0/appliedTableMode"), 0u);

  tf.retryDeviceRecovery("PiezoDriver");
  tf.stepApplication();
  EXPECT_EQ(app.handler.runCount(), 2u);
  EXPECT_EQ(app.handler.consecutiveFailures(), 2u);
  EXPECT_EQ(tf.readScalar<int32_t>(status), 1);

  dir.write("ok", "");
  tf.retryDeviceRecovery("PiezoDriver");
  tf.stepApplication();
  EXPECT_EQ(tf.readScalar<std::string>(output), "ready\n");
  EXPECT_EQ(tf.readScalar<int32_t>(status), 0);
  EXPECT_EQ(app.handler.consecutiveFailures(), 0u);
  EXPECT_EQ(tf.updateCount("/Channel0/appliedTableMode"), 1u);
  EXPECT_TRUE(app.consumer.started);
}

TEST_F(InitHandlerTest, AHangingScriptIsKilledAtTheTimeLimitAndAMissingOneFails) {
  {
    // The background child keeps the output open, the script itself never ends.
    InitApp app(
        script("hang.sh", "echo $$ > pid\necho working\nsleep 60 &\necho $! > child\nexec sleep 60\n"), 10,
        300ms);
    TestFacility tf(app);
    tf.runApplication();
    EXPECT_EQ(tf.readScalar<std::string>(output),
              "working\n./hang.sh did not finish within 300 ms and was killed\n");
    EXPECT_EQ(tf.readScalar<int32_t>(status), 1);
    EXPECT_TRUE(processGone("pid"));
    EXPECT_TRUE(processGone("child"));
  }
  {
    InitApp app("./initHardware.py");
    TestFacility tf(app);
    tf.runApplication();
    EXPECT_EQ(tf.readScalar<std::string>(output),
              "./initHardware.py cannot be started: No such file or directory\n");
    EXPECT_EQ(tf.readScalar<int32_t>(status), 1);
  }
}

TEST_F(InitHandlerTest, AfterTheGracePeriodOnlyEveryTenthFailureIsPrinted) {
  InitApp app(script("fail.sh", "exit 1\n"), 2);
  TestFacility tf(app);
  log::Capture events;
  tf.runApplication();
  for (int i = 2; i <= 21; ++i) {
    tf.retryDeviceRecovery("PiezoDriver");
    tf.stepApplication();
  }
  EXPECT_EQ(app.handler.consecutiveFailures(), 21u);
  std::vector<std::string> printed;
  std::string all;
  for (const auto& e : events.entries()) {
    all += e.source + ": " + e.message + "\n";
    for (size_t at = e.message.find("(failure "); at != std::string::npos;
         at = e.message.find("(failure ", at + 1))
      printed.push_back(e.message.substr(at + 9, e.message.find_first_of(");", at) - at - 9));
  }
  EXPECT_EQ(printed, (std::vector<std::string>{"1", "2", "10", "20"})) << all;
}

TEST(InitHandler, RefusesAnEmptyCommand) {
  struct App : Application {
    App() : Application("emptycommand") {}
    ~App() override { shutdown(); }
    DeviceModule dev{this, "PiezoDriver"};
    void defineConnections() override {}
  } app;
  EXPECT_THROW(ScriptedInitHandler(&app, "H", "", "   ", app.dev), std::logic_error);
}

} // namespace
