#include "AppTestSupport.hpp"
#include "framework/Log.hpp"
#include "telvik/bridge/Persistence.hpp"

#include <gtest/gtest.h>

#include <pugixml.hpp>

#include <algorithm>
#include <cstdlib>
#include <set>
#include <sstream>

using quellor::testing::RuntimeDirectory;
using quellor::testing::ServerUnderTest;

namespace {

const std::string banner = std::string(64, '*') + "\n*** Quellor control server version 4.3.1\n";

std::set<std::string> topDirectories(orvane::Application& app) {
  std::set<std::string> out;
  for (const auto& info : app.plannedVariables()) {
    auto end = info.path.find('/', 1);
    out.insert(info.path.substr(0, end));
  }
  return out;
}

bool hasPath(orvane::Application& app, const std::string& path) {
  auto vars = app.plannedVariables();
  return std::any_of(vars.begin(), vars.end(), [&](const auto& v) { return v.path == path; });
}

// Set and cleared while no thread of the application under test runs (testable mode).
// NOLINTBEGIN(concurrency-mt-unsafe)
struct DebugVariable {
  explicit DebugVariable(const char* value) {
    if (value != nullptr)
      setenv("QUELLOR_SERVER_DEBUG", value, 1);
    else
      unsetenv("QUELLOR_SERVER_DEBUG");
  }
  ~DebugVariable() { unsetenv("QUELLOR_SERVER_DEBUG"); }
};
// NOLINTEND(concurrency-mt-unsafe)

TEST(Application, ChannelDirectoriesFollowTheChannelCount) {
  {
    ServerUnderTest s("0");
    auto dirs = topDirectories(*s.server);
    // The board's own registers of its eight channels are published all the same; what must be
    // missing are the channel modules.
    for (const auto& v : s.server->plannedVariables())
      EXPECT_FALSE(v.path.rfind("/Channel", 0) == 0 && v.path.find("/StateMachine/") != std::string::npos)
          << v.path;
    EXPECT_TRUE(dirs.count("/Board") && dirs.count("/Server") && dirs.count("/Configuration"));
    EXPECT_TRUE(hasPath(*s.server, "/Server/triggerNumber"));
    EXPECT_TRUE(hasPath(*s.server, "/Board/hwProtectionReset"));
    EXPECT_TRUE(hasPath(*s.server, "/Configuration/nChannels"));
    EXPECT_TRUE(s.server->resetWriter.channelResets.empty());
    // Without channels the reset writer must idle, not stop the application.
    orvane::log::Capture events;
    s.run();
    EXPECT_EQ(events.find("no channels configured").size(), 1u);
  }
  {
    ServerUnderTest s("2");
    auto dirs = topDirectories(*s.server);
    EXPECT_TRUE(dirs.count("/Channel0") && dirs.count("/Channel1"));
    EXPECT_FALSE(hasPath(*s.server, "/Channel2/StateMachine/currentState"));
    EXPECT_EQ(s.server->channels.at(0).getDescription(), "Piezo driver channel 0");
    EXPECT_EQ(s.server->channels.at(1).getDescription(), "Piezo driver channel 1");
    EXPECT_EQ(s.server->resetWriter.channelResets.size(), 2u);
    // The collector's own directory stays empty; its variables sit in the channel directory.
    for (const auto& v : s.server->plannedVariables())
      EXPECT_EQ(v.path.rfind("/Channel0/InputRejectedCollector/", 0), std::string::npos) << v.path;
    for (const char* name : {"hwProtectionReset", "inputRejectedMessage", "inputRejectedFlag",
                             "clearInputRejectedMessage", "dcVoltage", "controlTable", "dacVoltage"})
      EXPECT_TRUE(hasPath(*s.server, std::string("/Channel1/") + name)) << name;
  }
  {
    ServerUnderTest s("11");
    auto dirs = topDirectories(*s.server);
    EXPECT_TRUE(dirs.count("/Channel10"));
    EXPECT_FALSE(dirs.count("/Channel11"));
    EXPECT_TRUE(hasPath(*s.server, "/Channel10/StateMachine/currentState"));
    EXPECT_EQ(s.server->channels.back().getName(), "Channel10");
    // Every channel, also those appended after the deque grew, gets the trigger.
    s.run();
    s.tf().writeScalar<double>("/Channel10/VoltageSumLimiter/dcVoltageSetpoint", 1.0);
    s.tf().writeScalar<int32_t>("/Channel10/StateMachine/requestedState", 1);
    s.tf().stepApplication();
    s.trigger();
    EXPECT_DOUBLE_EQ(s.tf().readDeviceScalar<double>("PiezoDriver", "Channel10/dcVoltage"), 0.5);
  }
}

TEST(Application, BannerComesFirstAndDebugWordsAreActedOnInOrder) {
  {
    DebugVariable debug(nullptr);
    ServerUnderTest s("1");
    EXPECT_EQ(s.startupOutput, banner);
  }
  {
    DebugVariable debug(" \t ");
    ServerUnderTest s("1");
    EXPECT_EQ(s.startupOutput, banner);
  }
  {
    DebugVariable debug("CS Connections nonsense");
    ServerUnderTest s("1");
    EXPECT_EQ(s.startupOutput, banner);
  }
  std::string tree;
  std::string connections;
  {
    DebugVariable debug("cs");
    ServerUnderTest s("1");
    tree = s.startupOutput.substr(banner.size());
  }
  {
    DebugVariable debug("connections");
    ServerUnderTest s("1");
    connections = s.startupOutput.substr(banner.size());
  }
  EXPECT_NE(tree.find("/Channel0/StateMachine\n"), std::string::npos) << tree;
  EXPECT_NE(connections.find("/Channel0/dcVoltage"), std::string::npos);
  {
    DebugVariable debug("cs connections cs");
    ServerUnderTest s("1");
    const std::string& out = s.startupOutput;
    ASSERT_EQ(out.rfind(banner + tree, 0), 0u) << out;
    // The connection listing names the private map file of each run, so only its frame is compared.
    const auto begin = banner.size() + tree.size();
    ASSERT_EQ(out.compare(begin, 27, "==== Variable networks of q"), 0) << out.substr(begin, 80);
    const auto end = out.find("\n====\n", begin);
    ASSERT_NE(end, std::string::npos);
    EXPECT_EQ(out.substr(end + 6), tree);
    EXPECT_EQ(std::count(out.begin() + begin, out.begin() + end + 6, '\n'),
              std::count(connections.begin(), connections.end(), '\n'));
  }
}

// Constructing the server must fail with a message that holds `fragment`.
void expectConstructionFails(const std::string& fragment) {
  try {
    quellor::QuellorCtrlServer server;
    ADD_FAILURE() << "constructed, expected an error naming " << fragment;
  } catch (const std::exception& e) {
    EXPECT_NE(std::string(e.what()).find(fragment), std::string::npos) << e.what();
  }
}

// Builds and initialises the server of the working directory; the error, or "" when it started.
std::string initialiseError() {
  quellor::QuellorCtrlServer server;
  orvane::TestFacility tf(server);
  std::string error;
  // The banner is printed first; failures are reported once it is no longer captured.
  ::testing::internal::CaptureStdout();
  try {
    server.initialise();
  } catch (const std::exception& e) {
    error = e.what();
  }
  ::testing::internal::GetCapturedStdout();
  return error;
}

// The server is built, but its connection step must fail with a message that holds `fragment`.
void expectInitialiseFails(const std::string& fragment) {
  const auto error = initialiseError();
  EXPECT_FALSE(error.empty()) << "initialised, expected an error naming " << fragment;
  EXPECT_NE(error.find(fragment), std::string::npos) << error;
}

TEST(Application, ConfigurationFaultsStopStartUpWithTheirReason) {
  RuntimeDirectory dir;
  expectConstructionFails("quellorctrl_base_config.xml"); // no file at all
  dir.write("quellorctrl_base_config.xml", quellor::testing::configText("-3"));
  expectConstructionFails("nChannels is -3");
  dir.write("quellorctrl_base_config.xml", quellor::testing::configText("two"));
  expectConstructionFails("nChannels");
  // Channels are built in the connection step; one without its table length stops it there.
  dir.write(
      "quellorctrl_base_config.xml",
      R"(<?xml version="1.0"?><configuration><value name="nChannels" type="int32">1</value></configuration>)");
  expectInitialiseFails("daqTableLength");
  dir.write("quellorctrl_base_config.xml", quellor::testing::configText("1"));
  std::filesystem::remove(dir.path() / "quellor.dmap");
  expectInitialiseFails("quellor.dmap");
  // A folder in its place is no malformed file.
  std::filesystem::remove(dir.path() / "quellorctrl_base_config.xml");
  std::filesystem::create_directory(dir.path() / "quellorctrl_base_config.xml");
  expectConstructionFails("Cannot read configuration file 'quellorctrl_base_config.xml': it is a directory.");
}

// The test configuration with one value changed ("" removes it).
std::string configWith(const std::string& key, const std::string& value) {
  std::istringstream in(quellor::testing::configText("2"));
  std::string out, line;
  while (std::getline(in, line)) {
    const auto at = line.find("name=\"" + key + "\"");
    if (at != std::string::npos) {
      if (value.empty()) continue;
      line = line.substr(0, line.find('>') + 1) + value + line.substr(line.rfind('<'));
    }
    out += line + "\n";
  }
  return out;
}

TEST(Application, ValuesTheChannelsCannotRunWithStopStartUpNamingFileKeyAndValue) {
  RuntimeDirectory dir;
  const std::string file = "quellorctrl_base_config.xml";
  const struct {
    std::string key, value, message;
  } cases[] = {
      {"maxDriveVoltage", "", "no configuration value 'maxDriveVoltage' (a double) in file '" + file + "'"},
      {"maxDCVoltageStep", "", "no configuration value 'maxDCVoltageStep' (a double) in file '" + file + "'"},
      {"maxDriveVoltage", "nan",
       file + ":6: maxDriveVoltage is nan: the drive range must be a finite voltage"},
      {"maxDriveVoltage", "-inf", file + ":6: maxDriveVoltage is -inf: "},
      {"maxDriveVoltage", "-1", file + ":6: maxDriveVoltage is -1: "},
      {"maxDCVoltageStep", "0",
       file + ":7: maxDCVoltageStep is 0: the DC voltage step per trigger must be a "
              "finite voltage greater than 0 (with 0 the DC voltage never moves)."},
      {"maxDCVoltageStep", "-0.5", file + ":7: maxDCVoltageStep is -0.5: "},
      {"maxDCVoltageStep", "inf", file + ":7: maxDCVoltageStep is inf: "},
      {"errorResetDelay", "-1", file + ":10: StateMachine/errorResetDelay is -1: the delay must be a finite"},
      {"errorResetDelay", "nan", file + ":10: StateMachine/errorResetDelay is nan: "},
      {"dacVoltageOffThreshold", "-1", file + ":9: StateMachine/dacVoltageOffThreshold is -1: no DAC sample"},
      {"controlTableSampleRate", "0",
       file +
           ":14: FeedforwardCompensation/controlTableSampleRate is 0: the control table needs a sample rate"},
      {"controlTableLength", "4000",
       file + ":13: FeedforwardCompensation/controlTableLength is 4000: the default feed-forward burst (one "
              "period of 250 Hz at controlTableSampleRate 1000000) needs more than 4000 samples."},
      {"nChannels", "9",
       file + ":3: nChannels is 9, but the register map quellor.map of device 'PiezoDriver' "
              "has no register /Channel8/dacVoltage."},
      {"daqTableLength", "17",
       file + ":4: daqTableLength is 17: register /Channel0/dacVoltage of quellor.map has 16 elements."},
      {"controlTableLength", "65535",
       file + ":13: FeedforwardCompensation/controlTableLength is 65535: register "
              "/Channel0/controlTable of quellor.map has 65536 elements."},
  };
  const std::string mapFile = (dir.path() / "quellor.map").string();
  for (auto c : cases) {
    SCOPED_TRACE(c.key + " = '" + c.value + "'");
    if (const auto at = c.message.find("quellor.map"); at != std::string::npos)
      c.message.replace(at, 11, mapFile);
    dir.write(file, configWith(c.key, c.value));
    expectInitialiseFails(c.message);
  }
  // Values at the edge of what works start.
  for (const auto& [key, value] :
       std::vector<std::pair<std::string, std::string>>{{"maxDriveVoltage", "0"},
                                                        {"errorResetDelay", "0"},
                                                        {"dacVoltageOffThreshold", "0"},
                                                        {"nChannels", "8"},
                                                        {"controlTableSampleRate", "16383999"}}) {
    SCOPED_TRACE(key + " = " + value);
    dir.write(file, configWith(key, value));
    EXPECT_EQ(initialiseError(), "");
  }

  // The board modules' own registers, and the direction in which the server uses each.
  dir.write(file, quellor::testing::configText("1"));
  std::ifstream in(dir.path() / "quellor.map");
  const std::string map((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  auto replaced = [&](const std::string& from, const std::string& to) {
    auto out = map;
    for (auto at = out.find(from); at != std::string::npos; at = out.find(from, at + to.size()))
      out.replace(at, from.size(), to);
    return out;
  };
  dir.write("quellor.map", replaced("Board/hwProtectionMonitor", "Board/otherMonitor"));
  expectInitialiseFails("The board modules need /Board/hwProtectionMonitor, but the register map " + mapFile +
                        " of device 'PiezoDriver' has no register /Board/hwProtectionMonitor.");
  dir.write("quellor.map", replaced("65536    0x010000  4     fixed   32    16   1      rw",
                                    "65536    0x010000  4     fixed   32    16   1      ro"));
  expectInitialiseFails("register /Channel0/controlTable is read-only, but the server writes it.");
}

// The test configuration with one value given as another type, or as an array of its own type.
std::string configRetyped(const std::string& key, const std::string& type, bool array = false) {
  std::istringstream in(quellor::testing::configText(
      "2", R"(<value name="heartbeatTimeoutTriggers" type="uint32">5</value>)" + std::string("\n")));
  std::string out, line;
  while (std::getline(in, line)) {
    if (line.find("name=\"" + key + "\"") != std::string::npos) {
      const auto at = line.find("type=\"") + 6;
      line.replace(at, line.find('"', at) - at, type);
      if (array) {
        line.replace(line.find("<value"), 6, "<array");
        line.replace(line.find("</value>"), 8, "</array>");
      }
    }
    out += line + "\n";
  }
  return out;
}

TEST(Application, AMistypedValueStopsStartUpNamingKeyAndFile) {
  RuntimeDirectory dir;
  const std::string file = "quellorctrl_base_config.xml";
  const std::string value = "ConfigReader: configuration value '";
  const struct {
    std::string key, type;
    bool array;
    std::string message;
  } cases[] = {
      {"maxHwMonitorIgnores", "int32", false,
       value + "maxHwMonitorIgnores' in file '" + file + "' (line 5) is a int32, not a uint32."},
      {"maxHwMonitorIgnores", "uint32", true,
       value + "maxHwMonitorIgnores' in file '" + file + "' (line 5) is an array of uint32, not a uint32."},
      {"maxDriveVoltage", "float", false,
       value + "maxDriveVoltage' in file '" + file + "' (line 6) is a float, not a double."},
      {"maxDCVoltageStep", "float", false,
       value + "maxDCVoltageStep' in file '" + file + "' (line 7) is a float, not a double."},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.key + " as " + (c.array ? "an array of " : "") + c.type);
    dir.write(file, configRetyped(c.key, c.type, c.array));
    expectInitialiseFails(c.message);
  }
  // The board's value is read while the application is built.
  dir.write(file, configRetyped("heartbeatTimeoutTriggers", "double"));
  expectConstructionFails(file + ":16: heartbeatTimeoutTriggers must be a uint32");

  // Left out, the tolerance of protection reports is 10, as before.
  dir.write(file, configWith("maxHwMonitorIgnores", ""));
  EXPECT_EQ(initialiseError(), "");
}

TEST(Application, DcSetpointTravelsThroughLimiterStateMachineAndRampToTheBoard) {
  ServerUnderTest s("2");
  s.run();
  auto& tf = s.tf();
  // The init script ran once before anything reached the modules.
  EXPECT_NE(tf.readScalar<std::string>("/PiezoInitHandler/initScriptOutput").find("run 1"),
            std::string::npos);

  tf.writeScalar<int32_t>("/Channel0/StateMachine/requestedState", 1);
  tf.stepApplication();
  EXPECT_EQ(tf.readScalar<int32_t>("/Channel0/StateMachine/currentState"), 1);
  EXPECT_TRUE(tf.readDeviceScalar<orvane::Boolean>("PiezoDriver", "Channel0/loadRelayControl"));
  EXPECT_FALSE(tf.readDeviceScalar<orvane::Boolean>("PiezoDriver", "Channel1/loadRelayControl"));

  tf.writeScalar<double>("/Channel0/VoltageSumLimiter/dcVoltageSetpoint", 1.2);
  tf.stepApplication();
  // Nothing moves until a trigger comes.
  EXPECT_EQ(tf.readDeviceScalar<double>("PiezoDriver", "Channel0/dcVoltage"), 0.0);
  std::vector<double> seen;
  for (int i = 0; i < 4; ++i) {
    s.trigger();
    seen.push_back(tf.readDeviceScalar<double>("PiezoDriver", "Channel0/dcVoltage"));
  }
  // The register holds 16 fractional bits: 1.2 V lands on the nearest raw step.
  const std::vector<double> expected{0.5, 1.0, 1.2, 1.2};
  ASSERT_EQ(seen.size(), expected.size());
  for (size_t i = 0; i < seen.size(); ++i)
    EXPECT_NEAR(seen[i], expected[i], 1.0 / 65536) << i;
  EXPECT_EQ(tf.readDeviceScalar<double>("PiezoDriver", "Channel1/dcVoltage"), 0.0);

  // Beyond the drive range: refused at the sum limiter, the board keeps its voltage.
  tf.writeScalar<double>("/Channel0/VoltageSumLimiter/dcVoltageSetpoint", 11.0);
  tf.stepApplication();
  s.trigger();
  EXPECT_NEAR(tf.readDeviceScalar<double>("PiezoDriver", "Channel0/dcVoltage"), 1.2, 1.0 / 65536);
  EXPECT_DOUBLE_EQ(tf.readScalar<double>("/Channel0/VoltageSumLimiter/dcVoltageSetpoint"), 1.2);
  EXPECT_TRUE(tf.readScalar<orvane::Boolean>("/Channel0/inputRejectedFlag"));

  // Disabling ramps back to zero and ends in DISABLED with the relay open.
  tf.writeScalar<int32_t>("/Channel0/StateMachine/requestedState", 0);
  tf.stepApplication();
  for (int i = 0; i < 4; ++i)
    s.trigger();
  EXPECT_EQ(tf.readDeviceScalar<double>("PiezoDriver", "Channel0/dcVoltage"), 0.0);
  EXPECT_EQ(tf.readScalar<int32_t>("/Channel0/StateMachine/currentState"), 0);
  EXPECT_FALSE(tf.readDeviceScalar<orvane::Boolean>("PiezoDriver", "Channel0/loadRelayControl"));
}

TEST(Application, ProtectionMonitorReachesEveryChannelAndResetsReachTheBoard) {
  ServerUnderTest s("2");
  s.run();
  auto& tf = s.tf();
  auto& dummy = s.server->driverBoard.dummyDevice();
  const auto resetsBefore = dummy.writeCount("Board/hwProtectionReset");

  tf.writeDeviceScalar<uint32_t>("PiezoDriver", "Board/hwProtectionMonitor", 1);
  s.trigger();
  for (const char* ch : {"/Channel0", "/Channel1"}) {
    EXPECT_EQ(tf.readScalar<int32_t>(std::string(ch) + "/StateMachine/currentState"), 2) << ch;
    EXPECT_EQ(tf.readScalar<std::string>(std::string(ch) + "/StateMachine/errorMessage"),
              "Hardware protection monitor reports error.");
  }
  // Each channel's reset asks for one write of the board's single reset word.
  tf.writeScalar<int32_t>("/Channel0/StateMachine/resetError", 1);
  tf.writeScalar<int32_t>("/Channel1/StateMachine/resetError", 1);
  tf.stepApplication();
  EXPECT_EQ(dummy.writeCount("Board/hwProtectionReset") - resetsBefore, 2u);
  EXPECT_EQ(tf.readScalar<int32_t>("/Channel0/StateMachine/currentState"), 3);
}

TEST(Application, BoardRebootMakesTheDeviceRecoverAndRunTheScriptAgain) {
  ServerUnderTest s("1");
  auto& tf = s.tf();
  s.run();
  s.trigger();
  EXPECT_NE(tf.readScalar<std::string>("/PiezoInitHandler/initScriptOutput").find("run 1"),
            std::string::npos);
  EXPECT_EQ(tf.readScalar<int32_t>("/Devices/PiezoDriver/status"), 0);

  tf.writeDeviceScalar<uint32_t>("PiezoDriver", "Board/driverBootStatus", 0);
  s.trigger();
  EXPECT_EQ(tf.readScalar<std::string>("/Devices/PiezoDriver/message"),
            "RebootWatchdog: Reboot detected. /Board/driverBootStatus is 0.");
  EXPECT_EQ(tf.readDeviceScalar<uint32_t>("PiezoDriver", "Board/driverBootStatus"), 1u);
  s.trigger();
  EXPECT_NE(tf.readScalar<std::string>("/PiezoInitHandler/initScriptOutput").find("run 2"), std::string::npos)
      << tf.readScalar<std::string>("/PiezoInitHandler/initScriptOutput");
  EXPECT_EQ(tf.readScalar<int32_t>("/Devices/PiezoDriver/status"), 0);
  EXPECT_EQ(s.server->driverBoard.openCount(), 2u);
}

TEST(Application, LogicErrorOfAModuleThreadReachesTheTest) {
  ServerUnderTest s("1");
  s.run();
  // Only the step limiter may acknowledge a ramp; an acknowledgement in DISABLED is a broken
  // exchange that must stop the application rather than be swallowed.
  auto& ready = s.server->channels.at(0).dcVoltageStepLimiter.ready;
  ready = "unexpected";
  ready.write();
  try {
    s.tf().stepApplication();
    FAIL() << "no error";
  } catch (const std::logic_error& e) {
    EXPECT_STREQ(e.what(), "StateMachine: voltageRampReady is not allowed in DISABLED.");
  }
}

TEST(Application, ShippedRequestKeepsSetpointsAndFeedForwardParametersButNoCommand) {
  ServerUnderTest s("2");
  auto& registry = s.server->processVariables();
  const auto request = telvik::bridge::SettingsRequest::read(QUELLOR_DEPLOY_DIR "/quellorctrl.req");
  ASSERT_TRUE(request.found());
  EXPECT_TRUE(request.problems().empty());
  telvik::bridge::SettingsStore store((s.dir.path() / "quellorctrl.persist").string(), request);
  // Every pattern matches, the settings file is not there yet: nothing to say.
  auto report = store.restore(registry);
  EXPECT_TRUE(report.notes.empty()) << ::testing::PrintToString(report.notes);
  std::set<std::string> kept;
  for (const auto& pv : registry.all())
    if (store.persists(pv->info())) kept.insert(pv->info().path);
  std::set<std::string> expected;
  for (const char* ch : {"/Channel0/", "/Channel1/"})
    for (const char* v : {"VoltageSumLimiter/acVoltageSetpoint", "VoltageSumLimiter/dcVoltageSetpoint",
                          "FeedforwardCompensation/frequency", "FeedforwardCompensation/delay",
                          "FeedforwardCompensation/nPeriods"})
      expected.insert(std::string(ch) + v);
  EXPECT_EQ(kept, expected);

  // Requests to act are commands whatever a request file says.
  for (const char* path : {"/Channel1/StateMachine/requestedState", "/Channel1/StateMachine/resetError",
                           "/Channel1/StateMachine/emergencyOff", "/Channel1/clearInputRejectedMessage",
                           "/Sim/freeze", "/Sim/tripProtection", "/Server/triggerNumber"}) {
    auto* pv = registry.find(path);
    ASSERT_NE(pv, nullptr) << path;
    EXPECT_TRUE(pv->info().writable()) << path;
    EXPECT_TRUE(telvik::bridge::SettingsStore::neverSaved(pv->info())) << path;
  }
  EXPECT_FALSE(registry.find("/Channel1/StateMachine/enableFeedback")->info().command);
}

TEST(Application, BoardRegistersOfChannelsWithoutAGroupAreShownReadOnlyAndNamedAtStartUp) {
  {
    ServerUnderTest s("2");
    EXPECT_NE(s.startupErrors.find("warning device PiezoDriver: " + (s.dir.path() / "quellor.map").string() +
                                   ": channels without a channel group (nChannels is 2): Channel2, Channel3, "
                                   "Channel4, Channel5, Channel6, Channel7; their registers are published "
                                   "read-only\n"),
              std::string::npos)
        << s.startupErrors;
    EXPECT_EQ(std::count(s.startupErrors.begin(), s.startupErrors.end(), '\n'), 1) << s.startupErrors;
    s.run();
    auto& tf = s.tf();
    // No state machine and no step limiter sit in front of these: operators only look.
    for (const char* name : {"dcVoltage", "loadRelayControl", "controlTableMode", "enableFeedback"})
      EXPECT_THROW(tf.writeScalar<double>(std::string("/Channel7/") + name, 1.0), std::logic_error) << name;
    // Visible as the board holds it, read at every opening of the board.
    tf.writeDeviceScalar<double>("PiezoDriver", "Channel7/dcVoltage", 7.5);
    s.server->driverBoard.reportException("look again");
    tf.stepApplication();
    EXPECT_DOUBLE_EQ(tf.readScalar<double>("/Channel7/dcVoltage"), 7.5);
    // The simulator's fault injection is named on operator lines of the map.
    tf.writeScalar<uint32_t>("/Sim/freeze", 1);
    EXPECT_EQ(tf.readDeviceScalar<uint32_t>("PiezoDriver", "Sim/freeze"), 1u);
  }
  {
    ServerUnderTest s("8");
    EXPECT_EQ(s.startupErrors.find("channels without a channel group"), std::string::npos) << s.startupErrors;
  }
}

TEST(Application, AChannelNumberBeyondEveryIntegerIsNamedLikeAnyOther) {
  RuntimeDirectory dir;
  dir.write("quellorctrl_base_config.xml", quellor::testing::configText("8"));
  {
    std::ofstream map(dir.path() / "quellor.map", std::ios::app);
    map << "Channel99999999999999999999/dcVoltage 1 0x210000 4 fixed 32 16 1 rw\n"
        << "Channel10/dcVoltage 1 0x210004 4 fixed 32 16 1 rw\n";
  }
  orvane::log::Capture log;
  EXPECT_EQ(initialiseError(), "");
  const auto warnings = log.find("channels without a channel group");
  ASSERT_EQ(warnings.size(), 1u);
  EXPECT_NE(warnings[0].message.find("(nChannels is 8): Channel10, Channel99999999999999999999; their"),
            std::string::npos)
      << warnings[0].message;
}

TEST(Application, TheHeartbeatTimeoutComesFromTheConfiguration) {
  {
    // With the firmware standing still the board turns faulty after the configured window.
    ServerUnderTest s("1", R"(<value name="heartbeatTimeoutTriggers" type="uint32">2</value>)");
    s.run();
    s.firmwareFrozen = true;
    s.trigger();
    EXPECT_EQ(s.tf().readScalar<int32_t>("/Devices/PiezoDriver/status"), 0);
    ::testing::internal::CaptureStderr();
    s.trigger();
    s.trigger();
    s.trigger();
    ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(s.tf().readScalar<int32_t>("/Devices/PiezoDriver/status"), 1);
    EXPECT_EQ(s.tf().readValidity("/Channel0/dacVoltage"), orvane::DataValidity::faulty);
    EXPECT_NE(s.tf().readScalar<std::string>("/Devices/PiezoDriver/message").find("for 2 triggers"),
              std::string::npos);
  }
  RuntimeDirectory dir;
  dir.write(
      "quellorctrl_base_config.xml",
      quellor::testing::configText("1", R"(<value name="heartbeatTimeoutTriggers" type="int32">2</value>)"));
  expectConstructionFails("heartbeatTimeoutTriggers must be a uint32");
}

// A board that reboots under a channel at 100 V: the board comes back with 0 V, and must get its
// 100 V back in the steps the step limiter would have taken, not in one write.
TEST(Application, AfterABoardRebootTheDcVoltageClimbsBackInSteps) {
  ServerUnderTest s("1", "", "120");
  s.run();
  auto& tf = s.tf();
  auto board = [&](const char* reg) { return tf.readDeviceScalar<double>("PiezoDriver", reg); };
  tf.writeScalar<int32_t>("/Channel0/StateMachine/requestedState", 1);
  tf.writeScalar<double>("/Channel0/VoltageSumLimiter/dcVoltageSetpoint", 100.0);
  tf.stepApplication();
  for (int i = 0; i < 201; ++i)
    s.trigger();
  ASSERT_EQ(board("Channel0/dcVoltage"), 100.0);

  // The reboot clears every register of the board, the boot status included.
  auto& dummy = s.server->driverBoard.dummyDevice();
  for (const auto& reg : s.server->driverBoard.registerMap().registers())
    if (reg.type != orvane::device::RegisterType::nothing)
      dummy.pokeRegister(reg.path, std::vector<uint32_t>(orvane::device::wordCount(reg), 0));
  s.trigger();
  EXPECT_EQ(tf.readScalar<int32_t>("/Devices/PiezoDriver/status"), 0);
  EXPECT_EQ(s.server->driverBoard.openCount(), 2u);
  EXPECT_TRUE(tf.readDeviceScalar<orvane::Boolean>("PiezoDriver", "Channel0/loadRelayControl")); // at once
  std::vector<double> climb{board("Channel0/dcVoltage")};
  for (int i = 0; i < 210; ++i) {
    s.trigger();
    climb.push_back(board("Channel0/dcVoltage"));
  }
  EXPECT_EQ(climb.front(), 0.0);
  for (size_t i = 1; i < climb.size(); ++i)
    ASSERT_LE(climb[i] - climb[i - 1], 0.5) << "trigger " << i;
  EXPECT_EQ(climb[1], 0.5);
  EXPECT_EQ(climb.back(), 100.0);
  EXPECT_EQ(tf.readScalar<int32_t>("/Channel0/StateMachine/currentState"), 1);

  // The acknowledgements still add up: disabling ends in DISABLED, also when it comes during the
  // climb after a second reboot.
  for (const auto& reg : s.server->driverBoard.registerMap().registers())
    if (reg.type != orvane::device::RegisterType::nothing)
      dummy.pokeRegister(reg.path, std::vector<uint32_t>(orvane::device::wordCount(reg), 0));
  for (int i = 0; i < 20; ++i)
    s.trigger();
  EXPECT_EQ(board("Channel0/dcVoltage"), 9.5);
  tf.writeScalar<int32_t>("/Channel0/StateMachine/requestedState", 0);
  tf.stepApplication();
  double highest = 0.0;
  for (int i = 0; i < 210; ++i) {
    s.trigger();
    highest = std::max(highest, board("Channel0/dcVoltage"));
  }
  EXPECT_LT(highest, 60.0);
  EXPECT_EQ(board("Channel0/dcVoltage"), 0.0);
  EXPECT_EQ(tf.readScalar<int32_t>("/Channel0/StateMachine/currentState"), 0);
  EXPECT_FALSE(tf.readDeviceScalar<orvane::Boolean>("PiezoDriver", "Channel0/loadRelayControl"));
}

TEST(Application, AModuleThatDiesLeavesEveryChannelAsAnEmergencyOffWould) {
  ServerUnderTest s("3", "", "120");
  s.run();
  auto& tf = s.tf();
  for (const char* ch : {"/Channel0", "/Channel1"}) {
    const std::string c = ch;
    tf.writeScalar<orvane::Boolean>(c + "/StateMachine/enableFeedforward", orvane::Boolean(true));
    tf.writeScalar<orvane::Boolean>(c + "/StateMachine/enableFeedback", orvane::Boolean(true));
    tf.writeScalar<int32_t>(c + "/StateMachine/requestedState", 1);
    tf.writeScalar<double>(c + "/VoltageSumLimiter/dcVoltageSetpoint", 3.0);
  }
  tf.stepApplication();
  for (int i = 0; i < 4; ++i)
    s.trigger();
  ASSERT_EQ(tf.readDeviceScalar<double>("PiezoDriver", "Channel1/dcVoltage"), 2.0);
  ASSERT_EQ(tf.readDeviceScalar<int32_t>("PiezoDriver", "Channel1/controlTableMode"), 1);

  // A broken exchange ends Channel2's state machine, and with it the process: nothing would
  // supervise the two channels that are driving.
  auto& ready = s.server->channels.at(2).dcVoltageStepLimiter.ready;
  ready.write();
  orvane::log::Capture events;
  EXPECT_THROW(s.tf().stepApplication(), std::logic_error);
  ASSERT_EQ(events.find("outputs put into their safe state").size(), 1u);
  EXPECT_EQ(events.find("outputs put into their safe state")[0].message,
            "outputs put into their safe state (12 registers written directly)");
  for (const char* ch : {"Channel0", "Channel1"}) {
    const std::string c = ch;
    EXPECT_FALSE(tf.readDeviceScalar<orvane::Boolean>("PiezoDriver", c + "/loadRelayControl")) << c;
    EXPECT_EQ(tf.readDeviceScalar<int32_t>("PiezoDriver", c + "/controlTableMode"), 0) << c;
    EXPECT_FALSE(tf.readDeviceScalar<orvane::Boolean>("PiezoDriver", c + "/enableFeedback")) << c;
    EXPECT_EQ(tf.readDeviceScalar<double>("PiezoDriver", c + "/dcVoltage"), 0.0) << c;
  }
}

TEST(Generator, WritesTheVariableListOfTheDeployDirectory) {
  RuntimeDirectory dir;
  namespace fs = std::filesystem;
  for (const char* f : {"quellorctrl_base_config.xml", "quellor.dmap"})
    fs::copy_file(fs::path(QUELLOR_DEPLOY_DIR) / f, dir.path() / f, fs::copy_options::overwrite_existing);
  const std::string command = std::string(QUELLOR_XMLGEN) + " > stdout.txt 2> stderr.txt";
  ASSERT_EQ(std::system(command.c_str()), 0);
  std::ifstream out(dir.path() / "stdout.txt");
  std::string printed((std::istreambuf_iterator<char>(out)), std::istreambuf_iterator<char>());
  EXPECT_EQ(printed, banner);

  pugi::xml_document doc;
  ASSERT_TRUE(doc.load_file((dir.path() / "quellorctrl.xml").c_str()));
  std::map<std::string, pugi::xml_node> byPath;
  for (auto v : doc.child("application").children("variable"))
    byPath[v.attribute("path").value()] = v;
  struct Expected {
    const char* path;
    const char* type;
    const char* direction;
    unsigned elements;
  };
  // The deployment serves every channel of its board.
  for (int n = 0; n < 8; ++n) {
    const std::string ch = "/Channel" + std::to_string(n);
    for (auto e : std::vector<Expected>{
             {"/StateMachine/requestedState", "int32", "from_operator", 1},
             {"/StateMachine/currentState", "int32", "to_operator", 1},
             {"/StateMachine/actuatorSensorRelayControl", "Boolean", "bidirectional", 1},
             {"/VoltageSumLimiter/dcVoltageSetpoint", "double", "bidirectional", 1},
             {"/FeedforwardCompensation/nPeriods", "uint32", "bidirectional", 1},
             {"/DcVoltageStepLimiter/trigger", "int64", "to_operator", 1},
             {"/dacVoltage", "int32", "to_operator", 16},
             {"/controlTable", "double", "to_operator", 65536},
             {"/dcVoltage", "double", "to_operator", 1},
             {"/inputRejectedMessage", "string", "to_operator", 1},
             {"/clearInputRejectedMessage", "int32", "from_operator", 1},
         }) {
      auto it = byPath.find(ch + e.path);
      ASSERT_NE(it, byPath.end()) << ch + e.path;
      EXPECT_STREQ(it->second.attribute("type").value(), e.type) << ch + e.path;
      EXPECT_STREQ(it->second.attribute("direction").value(), e.direction) << ch + e.path;
      EXPECT_EQ(it->second.attribute("elements").as_uint(), e.elements) << ch + e.path;
    }
  }
  EXPECT_EQ(byPath.count("/Channel8/StateMachine/currentState"), 0u);
  for (const char* path : {"/Sim/reboot", "/Sim/tripProtection", "/Sim/freeze", "/Sim/protectionLimit"})
    EXPECT_STREQ(byPath[path].attribute("direction").value(), "from_operator") << path;
  // The reset word's second name must not become a way around the state machines.
  EXPECT_EQ(byPath.count("/BSP/WORD_PEM_CTL_RESET"), 0u);
  EXPECT_STREQ(byPath["/BSP/WORD_PEM_CTL_MON"].attribute("direction").value(), "to_operator");
  EXPECT_EQ(byPath.count("/PiezoInitHandler/initScriptOutput"), 1u);
  EXPECT_EQ(byPath.count("/Server/triggerNumber"), 1u);
  EXPECT_STREQ(byPath["/Server/triggerNumber"].attribute("direction").value(), "from_operator");

  // Served with fewer channels, the others' registers are listed for operators to read only.
  dir.write("quellorctrl_base_config.xml", quellor::testing::configText("2"));
  ASSERT_EQ(std::system(command.c_str()), 0);
  ASSERT_TRUE(doc.load_file((dir.path() / "quellorctrl.xml").c_str()));
  byPath.clear();
  for (auto v : doc.child("application").children("variable"))
    byPath[v.attribute("path").value()] = v;
  for (const char* path :
       {"/Channel2/dcVoltage", "/Channel2/loadRelayControl", "/Channel7/controlTable",
        "/Channel7/controlTableMode", "/Channel7/enableFeedback", "/Channel7/swapControlTable"})
    EXPECT_STREQ(byPath[path].attribute("direction").value(), "to_operator") << path;
  EXPECT_STREQ(byPath["/Sim/freeze"].attribute("direction").value(), "from_operator");
  std::ifstream errors(dir.path() / "stderr.txt");
  std::string said((std::istreambuf_iterator<char>(errors)), std::istreambuf_iterator<char>());
  EXPECT_NE(said.find("channels without a channel group (nChannels is 2): Channel2, "), std::string::npos)
      << said;
}

} // namespace
