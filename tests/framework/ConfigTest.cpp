#include "framework/Application.hpp"
#include "framework/ConfigReader.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <fstream>
#include <optional>
#include <sys/stat.h>
#include <unistd.h>

using namespace orvane;

namespace {

struct App : Application {
  App() : Application("configtest") {}
  ~App() override { shutdown(); }
  void defineConnections() override {}
};

std::string writeFile(const std::string& text) {
  std::string name = "/tmp/quellor_cfg_" + std::to_string(getpid()) + ".xml";
  std::ofstream(name) << text;
  return name;
}

std::string errorOf(const std::string& text) {
  App app;
  auto f = writeFile(text);
  try {
    ConfigReader r(&app, "Configuration", f);
  } catch (const ConfigError& e) {
    std::remove(f.c_str());
    return e.what();
  }
  std::remove(f.c_str());
  return "";
}

TEST(Config, TypedLookupAndGroups) {
  App app;
  auto f = writeFile(R"(<?xml version="1.0"?>
<configuration>
  <value name="nChannels" type="int32">-2</value>
  <group name="StateMachine"><value name="errorResetDelay" type="float">2.5</value></group>
  <array name="gains" type="double">1.0 2.5 3</array>
  <value name="big" type="uint64">18446744073709551615</value>
</configuration>)");
  ConfigReader r(&app, "Configuration", f);
  std::remove(f.c_str());
  EXPECT_EQ(r.get<int32_t>("nChannels"), -2);
  EXPECT_FLOAT_EQ(r.get<float>("StateMachine/errorResetDelay"), 2.5f);
  EXPECT_EQ(r.getArray<double>("gains"), (std::vector<double>{1.0, 2.5, 3}));
  EXPECT_EQ(r.get<uint64_t>("big"), UINT64_MAX);
  EXPECT_EQ(r.get<uint32_t>("maxHwMonitorIgnores", 10u), 10u);
  EXPECT_EQ(r.get<uint32_t>("nChannels", 7u), 7u); // wrong type falls back to the default
  EXPECT_THROW((void)r.get<uint32_t>("nChannels"), std::logic_error);
  EXPECT_THROW((void)r.get<int32_t>("missing"), std::logic_error);
  EXPECT_EQ(r.whereIs("StateMachine/errorResetDelay"), f + ":4");
  EXPECT_EQ(r.whereIs("missing"), f);
  r.findTag(".*").connectTo(ControlSystemModule{});
  auto vars = app.plannedVariables();
  ASSERT_EQ(vars.size(), 4u);
  EXPECT_EQ(vars[3].path, "/Configuration/nChannels");
  EXPECT_EQ(vars[2].path, "/Configuration/gains");
  EXPECT_EQ(vars[2].nElements, 3u);
}

TEST(Config, AnOptionalValueMayBeMissingButNotMistyped) {
  App app;
  auto f = writeFile(R"(<?xml version="1.0"?>
<configuration>
  <value name="count" type="uint32">3</value>
  <value name="signedCount" type="int32">3</value>
  <array name="counts" type="uint32">1 2</array>
</configuration>)");
  ConfigReader r(&app, "Configuration", f);
  std::remove(f.c_str());
  EXPECT_EQ(r.getOptional<uint32_t>("count"), 3u);
  EXPECT_EQ(r.getOptional<uint32_t>("missing"), std::nullopt);
  const struct {
    const char* key;
    const char* message;
  } mistyped[] = {
      {"signedCount", "' (line 4) is a int32, not a uint32."},
      {"counts", "' (line 5) is an array of uint32, not a uint32."},
  };
  for (const auto& m : mistyped) {
    SCOPED_TRACE(m.key);
    try {
      (void)r.getOptional<uint32_t>(m.key);
      ADD_FAILURE() << "a mistyped value passed";
    } catch (const std::logic_error& e) {
      EXPECT_EQ(std::string(e.what()),
                "ConfigReader: configuration value '" + std::string(m.key) + "' in file '" + f + m.message);
    }
  }
}

TEST(Config, ErrorsNameFileLineAndKey) {
  EXPECT_NE(errorOf("<configuration>\n<value name=\"a\" type=\"int32\">1</value>\n"
                    "<value name=\"a\" type=\"int32\">2</value></configuration>")
                .find(":3: duplicate key 'a' (first defined at line 2)"),
            std::string::npos);
  EXPECT_NE(errorOf("<configuration>\n\n<value name=\"b\" type=\"int8\">300</value></configuration>")
                .find(":3: key 'b': '300' is not a valid int8"),
            std::string::npos);
  EXPECT_NE(errorOf("<configuration>\n<value name=\"c\" type=\"complex\">1</value></configuration>")
                .find(":2: key 'c': unknown type 'complex'"),
            std::string::npos);
  EXPECT_NE(errorOf("<configuration>\n<value name=\"d\" type=\"uint32\">-1</value></configuration>")
                .find("'-1' is not a valid uint32"),
            std::string::npos);
  EXPECT_NE(errorOf("<configuration>\n<value name=\"e\" type=\"int32\">1</valu></configuration>")
                .find("malformed XML"),
            std::string::npos);
  // A folder opens like a file and reads as nothing; it must not pass for malformed XML.
  const std::string folder = "/tmp/quellor_cfg_dir_" + std::to_string(getpid());
  ::mkdir(folder.c_str(), 0700);
  {
    App app;
    try {
      ConfigReader r(&app, "Configuration", folder);
      ADD_FAILURE() << "a folder was read";
    } catch (const ConfigError& e) {
      EXPECT_EQ(std::string(e.what()), "Cannot read configuration file '" + folder + "': it is a directory.");
    }
  }
  ::rmdir(folder.c_str());
  App app;
  try {
    ConfigReader r(&app, "Configuration", "/nonexistent/quellorctrl_base_config.xml");
    FAIL();
  } catch (const ConfigError& e) {
    EXPECT_NE(std::string(e.what()).find("'/nonexistent/quellorctrl_base_config.xml'"), std::string::npos);
  }
}

TEST(Config, NumbersAsWrittenByHand) {
  {
    App app;
    auto f = writeFile(R"(<?xml version="1.0"?>
<configuration>
  <value name="plus" type="int32"> +5 </value>
  <value name="hex" type="int64">-0x10</value>
  <value name="hexFloat" type="double">0x1p-2</value>
  <value name="tiny" type="double">1e-400</value>
  <value name="tinyFloat" type="float">1e-50</value>
  <value name="infinite" type="double">-inf</value>
  <array name="list" type="uint8">1 +2 0xff</array>
</configuration>)");
    ConfigReader r(&app, "Configuration", f);
    std::remove(f.c_str());
    EXPECT_EQ(r.get<int32_t>("plus"), 5);
    EXPECT_EQ(r.get<int64_t>("hex"), -16);
    EXPECT_EQ(r.get<double>("hexFloat"), 0.25);
    EXPECT_EQ(r.get<double>("tiny"), 0.0);
    EXPECT_EQ(r.get<float>("tinyFloat"), 0.0f);
    EXPECT_EQ(r.get<double>("infinite"), -HUGE_VAL);
    EXPECT_EQ(r.getArray<uint8_t>("list"), (std::vector<uint8_t>{1, 2, 255}));
  }

  const struct {
    const char* type;
    const char* text;
  } refused[] = {{"int32", "+-5"},    {"int32", "-+5"},    {"int32", "1.0"},  {"int32", "2147483648"},
                 {"uint8", "-0"},     {"double", "1e400"}, {"double", "1,5"}, {"double", "1.5 V"},
                 {"float", "3.5e38"}, {"double", ""}};
  for (const auto& c : refused) {
    SCOPED_TRACE(std::string(c.type) + " '" + c.text + "'");
    EXPECT_NE(errorOf(std::string("<configuration>\n<value name=\"k\" type=\"") + c.type + "\">" + c.text +
                      "</value></configuration>")
                  .find(":2: key 'k': '" + std::string(c.text) + "' is not a valid " + c.type + "."),
              std::string::npos);
  }
}

} // namespace
