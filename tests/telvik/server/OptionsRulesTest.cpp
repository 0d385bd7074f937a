#include "telvik/server/AccessRules.hpp"
#include "telvik/server/Options.hpp"

#include <gtest/gtest.h>

#include <map>
#include <tuple>

using namespace telvik::server;

namespace {

struct Env {
  std::map<std::string, std::string> vars;
  EnvLookup lookup() const {
    return [this](const std::string& n) -> std::optional<std::string> {
      auto it = vars.find(n);
      if (it == vars.end()) return std::nullopt;
      return it->second;
    };
  }
};

ParseResult parse(const std::vector<std::string>& args, const Env& env = {}) {
  return parseOptions(args, env.lookup());
}

TEST(Options, DefaultsFollowTheDesign) {
  auto r = parse({});
  ASSERT_EQ(r.action, ParseResult::Action::run);
  EXPECT_EQ(r.options.prefix, "QUELLOR:");
  EXPECT_EQ(r.options.interfaces, (std::vector<std::string>{"127.0.0.1"}));
  EXPECT_TRUE(r.options.autoBeaconAddresses);
  EXPECT_EQ(r.options.port, 5064);
  ASSERT_EQ(r.options.beaconAddresses.size(), 1u);
  EXPECT_EQ(r.options.beaconAddresses[0], (Endpoint{"127.255.255.255", 5065}));
  EXPECT_EQ(r.options.triggerRate, 10.0);
  EXPECT_EQ(r.options.persistFile, "quellorctrl.persist");
  EXPECT_EQ(r.options.persistRequest, "quellorctrl.req");
  EXPECT_TRUE(r.options.accessFile.empty());
  EXPECT_EQ(r.options.stallTimeout, 60.0);
}

TEST(Options, CommandLineOverridesEnvironment) {
  Env env{{{"EPICS_CAS_SERVER_PORT", "6000"},
           {"EPICS_CA_SERVER_PORT", "7000"},
           {"EPICS_CAS_INTF_ADDR_LIST", "127.0.0.2 127.0.0.3"},
           {"EPICS_CAS_BEACON_ADDR_LIST", "127.0.0.1 127.0.0.9:7001"},
           {"EPICS_CAS_BEACON_PORT", "7065"},
           {"EPICS_CA_MAX_ARRAY_BYTES", "1000000"},
           {"EPICS_CAS_BEACON_PERIOD", "3.5"},
           {"EPICS_CAS_IGNORE_ADDR_LIST", " 10.0.0.1  10.0.0.2 "}}};
  auto r = parse({}, env);
  ASSERT_EQ(r.action, ParseResult::Action::run) << r.message;
  EXPECT_EQ(r.options.port, 6000); // the server variable wins over the client one
  EXPECT_EQ(r.options.interfaces, (std::vector<std::string>{"127.0.0.2", "127.0.0.3"})); // every one served
  ASSERT_EQ(r.options.beaconAddresses.size(), 2u);
  EXPECT_EQ(r.options.beaconAddresses[0], (Endpoint{"127.0.0.1", 7065}));
  EXPECT_EQ(r.options.beaconAddresses[1], (Endpoint{"127.0.0.9", 7001}));
  EXPECT_TRUE(r.options.autoArrayBytes);
  EXPECT_EQ(r.options.maxArrayBytes, 1000000u); // raises the limit the variables set
  EXPECT_EQ(r.options.beaconPeriod, 3.5);
  EXPECT_EQ(r.options.ignoreAddresses, (std::vector<std::string>{"10.0.0.1", "10.0.0.2"}));

  r = parse({"--port", "0", "--interface=127.0.0.5", "--beacon-address", "127.0.0.7:9", "--prefix",
             "X:", "--trigger-rate", "0", "--persist", "none", "--access", "rules.txt", "--stall-timeout=2.5",
             "--persist-request", "kept.req"},
            env);
  ASSERT_EQ(r.action, ParseResult::Action::run) << r.message;
  EXPECT_EQ(r.options.port, 0);
  EXPECT_EQ(r.options.interfaces, (std::vector<std::string>{"127.0.0.5"}));
  EXPECT_EQ(r.options.beaconAddresses, (std::vector<Endpoint>{{"127.0.0.7", 9}}));
  EXPECT_EQ(r.options.prefix, "X:");
  EXPECT_EQ(r.options.triggerRate, 0.0);
  EXPECT_TRUE(r.options.persistFile.empty());
  EXPECT_EQ(r.options.accessFile, "rules.txt");
  EXPECT_EQ(r.options.stallTimeout, 2.5);
  EXPECT_EQ(r.options.persistRequest, "kept.req");

  env.vars["EPICS_CA_AUTO_ARRAY_BYTES"] = "no";
  r = parse({}, env);
  EXPECT_FALSE(r.options.autoArrayBytes);
  EXPECT_EQ(r.options.maxArrayBytes, 1000000u);

  // EPICS_CA_SERVER_PORT is the fallback; a bad beacon period leaves the default.
  r = parse({}, Env{{{"EPICS_CA_SERVER_PORT", "7000"}, {"EPICS_CAS_BEACON_PERIOD", "-1"}}});
  EXPECT_EQ(r.options.port, 7000);
  EXPECT_EQ(r.options.beaconPeriod, 15.0);
}

TEST(Options, HelpVersionAndErrors) {
  auto r = parse({"--port", "1", "--help"});
  EXPECT_EQ(r.action, ParseResult::Action::help);
  EXPECT_NE(r.message.find("--trigger-rate"), std::string::npos);
  r = parse({"--version"});
  EXPECT_EQ(r.action, ParseResult::Action::version);
  EXPECT_EQ(r.message, "quellor_server 4.3.1\n");

  for (auto args : std::vector<std::vector<std::string>>{{"--port", "65536"},
                                                         {"--port", "-1"},
                                                         {"--port", "12x"},
                                                         {"--port"},
                                                         {"--trigger-rate", "-2"},
                                                         {"--trigger-rate", "nan"},
                                                         {"--beacon-address", "host:0"},
                                                         {"--persist", ""},
                                                         {"--persist-request", ""},
                                                         {"--stall-timeout", "0"},
                                                         {"--stall-timeout", "inf"},
                                                         {"--frobnicate"}}) {
    r = parse(args);
    EXPECT_EQ(r.action, ParseResult::Action::error) << args[0];
    EXPECT_EQ(r.message.rfind("quellor_server: ", 0), 0u) << r.message;
  }
  r = parse({}, Env{{{"EPICS_CAS_SERVER_PORT", "abc"}}});
  EXPECT_EQ(r.action, ParseResult::Action::error);
  EXPECT_NE(r.message.find("EPICS_CAS_SERVER_PORT"), std::string::npos);
}

TEST(Options, InterfacesAndBeaconAddressesAreLists) {
  // Repeated options add; the first one replaces the environment's list. Duplicates count once.
  Env env{{{"EPICS_CAS_INTF_ADDR_LIST", "127.0.0.2"}, {"EPICS_CAS_AUTO_BEACON_ADDR_LIST", "no"}}};
  auto r = parse({"--interface", "127.0.0.3", "--interface=127.0.0.4", "--interface", "127.0.0.3",
                  "--beacon-address", "127.0.0.1:6000", "--beacon-address", "127.255.255.255",
                  "--beacon-address", "127.0.0.1:6000"},
                 env);
  ASSERT_EQ(r.action, ParseResult::Action::run) << r.message;
  EXPECT_EQ(r.options.interfaces, (std::vector<std::string>{"127.0.0.3", "127.0.0.4"}));
  EXPECT_EQ(r.options.beaconAddresses,
            (std::vector<Endpoint>{{"127.0.0.1", 6000}, {"127.255.255.255", 5065}}));
  EXPECT_FALSE(r.options.autoBeaconAddresses);

  r = parse({"--interface", "0.0.0.0"}, env);
  ASSERT_EQ(r.action, ParseResult::Action::run) << r.message;
  EXPECT_EQ(r.options.interfaces, (std::vector<std::string>{"0.0.0.0"}));

  // Each fault names the option or variable and the value.
  for (auto& [args, vars, expected] : std::vector<std::tuple<std::vector<std::string>, Env, std::string>>{
           {{"--interface", "0.0.0.0", "--interface", "127.0.0.1"}, {}, "cannot be combined"},
           {{"--interface", "127.0.0.1", "--interface", "0.0.0.0"}, {}, "cannot be combined"},
           {{"--interface", "localhost"}, {}, "'localhost' is not an IPv4 address"},
           {{"--interface", "::1"}, {}, "'::1' is not an IPv4 address"},
           {{"--interface", "224.0.0.1"}, {}, "multicast"},
           {{}, Env{{{"EPICS_CAS_INTF_ADDR_LIST", "127.0.0.1 bogus"}}}, "EPICS_CAS_INTF_ADDR_LIST: 'bogus'"},
           {{}, Env{{{"EPICS_CAS_AUTO_BEACON_ADDR_LIST", "maybe"}}}, "neither YES nor NO"}}) {
    r = parse(args, vars);
    EXPECT_EQ(r.action, ParseResult::Action::error) << expected;
    EXPECT_NE(r.message.find(expected), std::string::npos) << r.message;
  }
}

TEST(Options, SilentCircuitsAreProbedOnlyAfterClientsWouldHaveProbedThemselves) {
  auto r = parse({});
  EXPECT_EQ(r.options.echoTimeout, 5.0);
  EXPECT_EQ(r.options.idleTimeout, 35.0); // clients' EPICS_CA_CONN_TMO of 30 s, plus the echo time
  r = parse({"--echo-timeout", "2"}, Env{{{"EPICS_CA_CONN_TMO", "60"}}});
  EXPECT_EQ(r.options.idleTimeout, 62.0);
  r = parse({"--idle-timeout=1.5", "--echo-timeout", "0.5"}, Env{{{"EPICS_CA_CONN_TMO", "60"}}});
  EXPECT_EQ(r.options.idleTimeout, 1.5);
  EXPECT_EQ(r.options.echoTimeout, 0.5);
  for (auto args : std::vector<std::vector<std::string>>{{"--idle-timeout", "0"}, {"--echo-timeout", "x"}}) {
    r = parse(args);
    EXPECT_EQ(r.action, ParseResult::Action::error) << args[0];
    EXPECT_NE(r.message.find(args[0]), std::string::npos) << r.message;
  }
  // A client setting that makes no sense leaves the default rather than stopping the server.
  r = parse({}, Env{{{"EPICS_CA_CONN_TMO", "-3"}}});
  EXPECT_EQ(r.action, ParseResult::Action::run);
  EXPECT_EQ(r.options.idleTimeout, 35.0);
}

TEST(Options, AMessageMayCarryWhatTheLargestVariableNeeds) {
  Options o;
  constexpr std::uint64_t table = 65536 * 8 + 1024;
  auto l = messageLimits(o, table);
  EXPECT_EQ(l.request, table);
  EXPECT_EQ(l.reply, 16u * 1024 * 1024);
  EXPECT_EQ(messageLimits(o, 100).request, 16384u); // what every client may send anyway
  o.maxArrayBytes = 20'000'000;                     // EPICS_CA_MAX_ARRAY_BYTES raises both
  l = messageLimits(o, table);
  EXPECT_EQ(l.request, 20'000'000u);
  EXPECT_EQ(l.reply, 20'000'000u);
  o.maxArrayBytes = 100'000; // ...but does not lower them
  EXPECT_EQ(messageLimits(o, table).request, table);
  o.autoArrayBytes = false; // unless sizing is fixed
  l = messageLimits(o, table);
  EXPECT_EQ(l.request, 100'000u);
  EXPECT_EQ(l.reply, 100'000u);
}

TEST(AccessRules, WithoutFileEveryoneWrites) {
  AccessRules r;
  EXPECT_FALSE(r.restricted());
  EXPECT_TRUE(r.mayWrite("", "", "10.0.0.1"));
}

TEST(AccessRules, RulesMatchUserAndHostOrAddress) {
  auto r = AccessRules::fromText("# operators\nalice@*   # anywhere\n*@127.0.0.1\nbob@console1\n\n", "rules");
  EXPECT_TRUE(r.restricted());
  EXPECT_TRUE(r.mayWrite("alice", "laptop", "10.1.1.1"));
  EXPECT_TRUE(r.mayWrite("mallory", "whatever", "127.0.0.1"));
  EXPECT_TRUE(r.mayWrite("bob", "console1", "10.1.1.2"));
  EXPECT_TRUE(r.mayWrite("bob", "", "console1")); // a peer address may be written as a name
  EXPECT_FALSE(r.mayWrite("bob", "laptop", "10.1.1.2"));
  EXPECT_FALSE(r.mayWrite("", "", "10.1.1.3")); // anonymous clients match only "*" users
  auto none = AccessRules::fromText("# nobody\n", "rules");
  EXPECT_FALSE(none.mayWrite("alice", "h", "127.0.0.1"));
}

TEST(AccessRules, FaultsNameFileAndLine) {
  for (const char* text : {"alice\n", "alice@b@c\n", "@host\n", "alice@\n", "ok@* extra\n"}) {
    try {
      (void)AccessRules::fromText(std::string("# first\n") + text, "rules.txt");
      ADD_FAILURE() << text;
    } catch (const std::runtime_error& e) {
      EXPECT_EQ(std::string(e.what()).rfind("rules.txt:2: ", 0), 0u) << e.what();
    }
  }
  EXPECT_THROW((void)AccessRules::fromFile("/nonexistent/rules"), std::runtime_error);
  // A folder read as no rules at all would leave every variable read-only without a word.
  try {
    (void)AccessRules::fromFile("/");
    ADD_FAILURE() << "a folder was taken for rules";
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "access rules file '/' cannot be read: it is a directory");
  }
}

} // namespace
