// The metadata description: its syntax, its fit to the variables, and what a variable served
// under it looks like (states, alarms, limits that follow the configuration, record types).
#include "telvik/bridge/PvTable.hpp"

#include <gtest/gtest.h>

#include <bit>
#include <cstring>

using namespace telvik::bridge;
namespace p = telvik::protocol;
using orvane::AnyVector;
using orvane::DataValidity;
using orvane::ProcessVariableInfo;
using orvane::PvDirection;
using orvane::ValueType;
using orvane::VersionNumber;

namespace {

void add(orvane::ProcessVariableRegistry& reg, const std::string& path, ValueType t,
         PvDirection d = PvDirection::toOperator, size_t n = 1) {
  ProcessVariableInfo i;
  i.path = path;
  i.type = t;
  i.nElements = n;
  i.direction = d;
  i.unit = "V";
  reg.add(i);
}

template <typename T>
void set(orvane::ProcessVariableRegistry& reg, const std::string& path, T v,
         DataValidity validity = DataValidity::ok) {
  reg.find(path)->consume(AnyVector(std::vector<T>{v}), VersionNumber(), validity);
}

std::string errorOf(const std::function<void()>& f) {
  try {
    f();
  } catch (const MetadataError& e) {
    return e.what();
  }
  return "no error";
}

const char* const description = R"(
# states and alarms
[/Channel*/StateMachine/currentState]
states   = DISABLED, ENABLED, ERROR, DISABLING
severity = ERROR: MAJOR, DISABLING: MINOR

[/Channel*/StateMachine/requestedState]   # trailing comments are fine
states = DISABLED, ENABLED, ERROR

[/Channel*/flag]
severity = true: MINOR

[/Channel*/StateMachine/errorMessage]
severity = non-empty: MAJOR

[/Devices/*/status]
states = OK, FAULTY
severity = FAULTY: MAJOR
status = COMM

[/Channel*/setpoint /Channel*/**/readback]
precision = 3
display = -/Configuration/maxDriveVoltage, /Configuration/maxDriveVoltage
drive = -10, 10.5
deadband = 0.25

[/Channel1/setpoint]
precision = 1
record = calcout
)";

struct MetadataTest : ::testing::Test {
  orvane::ProcessVariableRegistry reg;
  std::unique_ptr<PvTable> table;
  void SetUp() override {
    add(reg, "/Channel0/StateMachine/currentState", ValueType::int32);
    add(reg, "/Channel0/StateMachine/requestedState", ValueType::int32, PvDirection::fromOperator);
    add(reg, "/Channel0/flag", ValueType::boolean);
    add(reg, "/Channel0/StateMachine/errorMessage", ValueType::string);
    add(reg, "/Devices/PiezoDriver/status", ValueType::int32);
    add(reg, "/Channel0/setpoint", ValueType::float64, PvDirection::bidirectional);
    add(reg, "/Channel1/setpoint", ValueType::float64, PvDirection::bidirectional);
    add(reg, "/Channel0/a/b/readback", ValueType::float32);
    add(reg, "/Configuration/maxDriveVoltage", ValueType::float64);
    add(reg, "/Channel0/table", ValueType::float64, PvDirection::toOperator, 4);
    set(reg, "/Configuration/maxDriveVoltage", 120.0);
    table = std::make_unique<PvTable>(reg, "Q:", MetadataRules::parse(description, "q.meta"));
  }
  UpdatePtr current(const std::string& name) { return table->resolve(name)->current(); }
};

TEST(PathPattern, StarStaysInItsLevelDoubleStarCrossesLevels) {
  EXPECT_TRUE(matchesPathPattern("/Channel*/dcVoltage", "/Channel12/dcVoltage"));
  EXPECT_FALSE(matchesPathPattern("/Channel*/dcVoltage", "/Channel1/X/dcVoltage"));
  EXPECT_TRUE(matchesPathPattern("/**/dcVoltage", "/Channel1/X/dcVoltage"));
  EXPECT_TRUE(matchesPathPattern("/Channel?/x", "/Channel3/x"));
  EXPECT_FALSE(matchesPathPattern("/Channel?/x", "/Channel33/x"));
  EXPECT_FALSE(matchesPathPattern("/Channel0/dcVoltage", "/Channel0/dcVoltageSetpoint"));
  EXPECT_TRUE(matchesPathPattern("/**", "/any/thing"));
  EXPECT_FALSE(matchesPathPattern("/A?B", "/A/B"));
  // However many stars a pattern from a file has, the cost stays tokens × characters.
  EXPECT_FALSE(matchesPathPattern("/**a**a**a**a**a**a**a**a**a**a**a**a**b", "/" + std::string(200, 'a')));
}

TEST(MetadataSyntax, FaultsNameFileAndLine) {
  auto parse = [](const char* text) { return errorOf([&] { (void)MetadataRules::parse(text, "f.meta"); }); };
  EXPECT_EQ(parse("states = A, B\n"), "f.meta:1: an attribute before the first [pattern]");
  EXPECT_EQ(parse("\n[/a]\nprecision 3\n"), "f.meta:3: expected 'attribute = value' or '[pattern]'");
  EXPECT_EQ(parse("[/a]\ncolour = red\n").substr(0, 35), "f.meta:2: unknown attribute 'colour");
  EXPECT_EQ(parse("[a/b]\n"), "f.meta:1: pattern 'a/b' is not a path starting with '/'");
  EXPECT_EQ(parse("[/a]\nseverity = ERROR: HUGE\n"),
            "f.meta:2: 'HUGE' is no severity (NO_ALARM, MINOR, MAJOR, INVALID)");
  EXPECT_EQ(parse("[/a]\nstates = A, , C\n"), "f.meta:2: empty state name (states are separated by commas)");
  EXPECT_EQ(parse("[/a]\nstates = A, A\n"), "f.meta:2: state 'A' is named twice");
  EXPECT_EQ(parse("[/a]\nstates = ABCDEFGHIJKLMNOPQRSTUVWXYZ\n"),
            "f.meta:2: state 'ABCDEFGHIJKLMNOPQRSTUVWXYZ' is longer than 25 characters");
  EXPECT_EQ(parse("[/a]\nstates = 0,1,2,3,4,5,6,7,8,9,10,11,12,13,14,15,16\n"),
            "f.meta:2: at most 16 states reach Channel Access clients");
  EXPECT_EQ(parse("[/a]\nprecision = 2.5\n"), "f.meta:2: precision is a whole number from 0 to 17");
  EXPECT_EQ(parse("[/a]\ndeadband = -1\n"), "f.meta:2: a deadband is not negative");
  EXPECT_EQ(parse("[/a]\ndisplay = 1\n"), "f.meta:2: limits are 'low, high'");
  EXPECT_EQ(parse("[/a]\ndrive = low, 2\n"), "f.meta:2: limit 'low' is not a number");
  EXPECT_EQ(parse("[/a]\nstatus = BROKEN\n").substr(0, 37), "f.meta:2: 'BROKEN' is no alarm status");
  EXPECT_EQ(errorOf([] { (void)MetadataRules::fromFile("/nonexistent/q.meta"); }),
            "/nonexistent/q.meta: cannot be read: No such file or directory");
  EXPECT_EQ(errorOf([] { (void)MetadataRules::fromFile("/"); }), "/: cannot be read: it is a directory");
}

TEST(MetadataFit, AttributesThatDoNotFitTheVariableAreErrorsNamingBoth) {
  orvane::ProcessVariableRegistry reg;
  add(reg, "/v", ValueType::float64);
  add(reg, "/n", ValueType::int32);
  add(reg, "/b", ValueType::boolean);
  add(reg, "/t", ValueType::string);
  add(reg, "/arr", ValueType::int32, PvDirection::toOperator, 3);
  auto fit = [&](const std::string& text) {
    return errorOf([&] { PvTable t(reg, "", MetadataRules::parse(text, "f.meta")); });
  };
  EXPECT_EQ(fit("[/v]\nstates = A, B\n"),
            "f.meta:2: states of /v: states need a scalar integer or Boolean variable, not a double");
  EXPECT_EQ(
      fit("[/arr]\nstates = A, B\n"),
      "f.meta:2: states of /arr: states need a scalar integer or Boolean variable, not a int32 array of 3");
  EXPECT_EQ(fit("[/b]\nstates = A, B, C\n"), "f.meta:2: states of /b: a Boolean has exactly two states");
  EXPECT_EQ(fit("[/n]\nstates = A, B\nseverity = C: MAJOR\n"),
            "f.meta:3: severity of /n: 'C' is not one of its states");
  EXPECT_EQ(fit("[/t]\nseverity = empty: MAJOR\n"),
            "f.meta:2: severity of /t: a text takes only 'non-empty: SEVERITY', not 'empty'");
  EXPECT_EQ(fit("[/v]\nseverity = x: MAJOR\n"),
            "f.meta:2: severity of /v: severities need named states or a text, not a double");
  EXPECT_EQ(fit("[/b]\nprecision = 2\n"),
            "f.meta:2: precision of /b: only numbers without states have it, not a Boolean");
  EXPECT_EQ(fit("[/v]\ndisplay = 0, /nowhere\n"), "f.meta:2: display of /v: no variable /nowhere");
  EXPECT_EQ(fit("[/v]\ndrive = 0, /t\n"), "f.meta:2: drive of /v: /t is no numeric scalar but a string");
  // Later blocks override earlier ones attribute by attribute, so a fault overridden is none.
  EXPECT_EQ(fit("[/v]\nprecision = 2\n[/**]\n[/v]\nprecision = 4\n"), "no error");
  auto rules = MetadataRules::parse("[/v /x]\nprecision = 2\n[/Nothing/*]\nprecision = 1\n", "f.meta");
  EXPECT_EQ(rules.unmatched(reg), std::vector<std::string>{"f.meta:3: [/Nothing/*] matches no variable"});
}

TEST_F(MetadataTest, NamedStatesAreEnumsWithSeverityPerState) {
  auto cur = *table->resolve("Q:Channel0:StateMachine:currentState");
  EXPECT_EQ(cur.nativeType(), p::NativeType::Enum);
  EXPECT_EQ(cur.variable->recordType(), "mbbi");
  EXPECT_EQ(table->resolve("Q:Channel0:StateMachine:requestedState")->variable->recordType(), "mbbo");
  struct Case {
    int32_t state;
    p::AlarmSeverity severity;
    p::AlarmStatus status;
  };
  for (auto c : {Case{0, p::AlarmSeverity::NoAlarm, p::AlarmStatus::NoAlarm},
                 Case{2, p::AlarmSeverity::Major, p::AlarmStatus::State},
                 Case{3, p::AlarmSeverity::Minor, p::AlarmStatus::State},
                 // A value without a state shows as an index no state has, without alarm.
                 Case{-1, p::AlarmSeverity::NoAlarm, p::AlarmStatus::NoAlarm}}) {
    set(reg, "/Channel0/StateMachine/currentState", c.state);
    auto u = cur.current();
    EXPECT_EQ(std::get<std::vector<std::uint16_t>>(u->value)[0], c.state < 0 ? 65535 : c.state);
    EXPECT_EQ(u->metadata.severity, c.severity) << c.state;
    EXPECT_EQ(u->metadata.status, c.status) << c.state;
    EXPECT_EQ(u->metadata.enumStrings.size(), 4u);
  }
  // A faulty value is INVALID whatever its state says.
  set(reg, "/Channel0/StateMachine/currentState", int32_t{2}, DataValidity::faulty);
  EXPECT_EQ(cur.current()->metadata.severity, p::AlarmSeverity::Invalid);
  EXPECT_EQ(cur.current()->metadata.status, p::AlarmStatus::Read);

  set(reg, "/Devices/PiezoDriver/status", int32_t{1});
  auto dev = current("Q:Devices:PiezoDriver:status");
  EXPECT_EQ(dev->metadata.severity, p::AlarmSeverity::Major);
  EXPECT_EQ(dev->metadata.status, p::AlarmStatus::Comm);
  set(reg, "/Channel0/flag", orvane::Boolean{true});
  EXPECT_EQ(current("Q:Channel0:flag")->metadata.severity, p::AlarmSeverity::Minor);
  EXPECT_EQ(current("Q:Channel0:flag")->metadata.enumStrings, (std::vector<std::string>{"false", "true"}));
  set(reg, "/Channel0/StateMachine/errorMessage", std::string("EmergencyOff was pressed."));
  EXPECT_EQ(current("Q:Channel0:StateMachine:errorMessage$")->metadata.severity, p::AlarmSeverity::Major);
  set(reg, "/Channel0/StateMachine/errorMessage", std::string());
  EXPECT_EQ(current("Q:Channel0:StateMachine:errorMessage")->metadata.severity, p::AlarmSeverity::NoAlarm);
}

TEST_F(MetadataTest, StatesAreWrittenByNameOrIndexAndNothingElse) {
  using S = p::EcaStatus;
  auto req = *table->resolve("Q:Channel0:StateMachine:requestedState");
  auto value = [&] { return std::get<std::vector<int32_t>>(req.variable->pv().get().value)[0]; };
  p::Bytes name(8, 0);
  std::memcpy(name.data(), "ENABLED", 7);
  EXPECT_EQ(req.write(p::toWire(p::DbrType::String), 1, name), S::Normal);
  EXPECT_EQ(value(), 1);
  EXPECT_EQ(req.write(p::toWire(p::DbrType::Long), 1, p::Bytes{0, 0, 0, 2, 0, 0, 0, 0}), S::Normal);
  EXPECT_EQ(value(), 2);
  for (double refused : {3.0, -1.0, 0.5, 1e9}) {
    const auto u = std::bit_cast<std::uint64_t>(refused);
    p::Bytes b(8);
    for (int i = 0; i < 8; ++i)
      b[i] = static_cast<std::uint8_t>(u >> (56 - 8 * i));
    EXPECT_EQ(req.write(p::toWire(p::DbrType::Double), 1, b), S::NoConvert) << refused;
  }
  std::memcpy(name.data(), "ENABLE\0", 7);
  EXPECT_EQ(req.write(p::toWire(p::DbrType::String), 1, name), S::NoConvert);
  EXPECT_EQ(value(), 2);
}

TEST_F(MetadataTest, LimitsFollowTheReferencedVariable) {
  auto sp = *table->resolve("Q:Channel0:setpoint");
  auto md = sp.current()->metadata;
  EXPECT_EQ(md.precision, 3);
  EXPECT_EQ(md.upperDisplayLimit, 120.0);
  EXPECT_EQ(md.lowerDisplayLimit, -120.0);
  EXPECT_EQ(md.upperControlLimit, 10.5);
  EXPECT_EQ(md.lowerControlLimit, -10.0);
  EXPECT_EQ(md.units, "V"); // the variable's own
  EXPECT_EQ(sp.variable->conventions().deadband, 0.25);
  ASSERT_EQ(sp.variable->conventions().references.size(), 1u);
  EXPECT_EQ(sp.variable->conventions().references[0]->info().path, "/Configuration/maxDriveVoltage");
  set(reg, "/Configuration/maxDriveVoltage", 80.0);
  EXPECT_EQ(sp.current()->metadata.upperDisplayLimit, 80.0);
  EXPECT_EQ(current("Q:Channel0:a:b:readback")->metadata.lowerDisplayLimit, -80.0);
  // The later block wins for the attributes it sets.
  md = current("Q:Channel1:setpoint")->metadata;
  EXPECT_EQ(md.precision, 1);
  EXPECT_EQ(md.upperDisplayLimit, 80.0);
  EXPECT_EQ(md.className, "calcout");
}

TEST_F(MetadataTest, FieldsDeriveFromTheValueAndShareItsAlarm) {
  set(reg, "/Channel0/setpoint", 2.5);
  auto field = [&](const std::string& n) { return current("Q:Channel0:setpoint." + n); };
  EXPECT_EQ(std::get<std::vector<double>>(field("HOPR")->value)[0], 120.0);
  EXPECT_EQ(std::get<std::vector<double>>(field("LOPR")->value)[0], -120.0);
  EXPECT_EQ(std::get<std::vector<double>>(field("DRVH")->value)[0], 10.5);
  EXPECT_EQ(std::get<std::vector<double>>(field("DRVL")->value)[0], -10.0);
  EXPECT_EQ(std::get<std::vector<std::int16_t>>(field("PREC")->value)[0], 3);
  EXPECT_EQ(std::get<std::vector<std::string>>(field("RTYP")->value)[0], "ao");
  EXPECT_EQ(std::get<std::vector<std::string>>(field("NAME")->value)[0], "Q:Channel0:setpoint");
  EXPECT_EQ(table->resolve("Q:Channel0:setpoint.PREC")->nativeType(), p::NativeType::Short);

  set(reg, "/Channel0/StateMachine/currentState", int32_t{2});
  auto sevr = current("Q:Channel0:StateMachine:currentState.SEVR");
  EXPECT_EQ(std::get<std::vector<std::uint16_t>>(sevr->value)[0], 2);
  EXPECT_EQ(sevr->metadata.enumStrings[2], "MAJOR");
  EXPECT_EQ(sevr->metadata.severity, p::AlarmSeverity::Major);
  auto stat = current("Q:Channel0:StateMachine:currentState.STAT");
  EXPECT_EQ(stat->metadata.enumStrings[std::get<std::vector<std::uint16_t>>(stat->value)[0]], "STATE");
  // A DBR_STRING read of .STAT names the status even past the 16 states that reach the wire.
  set(reg, "/Channel0/setpoint", 1.0);
  reg.add([] {
    ProcessVariableInfo i;
    i.path = "/never";
    i.type = ValueType::float64;
    return i;
  }());
  PvTable t2(reg, "Q:");
  auto udf = t2.resolve("Q:never.STAT")->current();
  const auto d = p::encodeDbr(udf->value, udf->metadata, p::toWire(p::DbrType::String), 1, p::ReadContext{1});
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(d.bytes.data())), "UDF");
}

TEST(RecordTypes, DerivedFromTypeAndDirection) {
  orvane::ProcessVariableRegistry reg;
  add(reg, "/ai", ValueType::float64);
  add(reg, "/ao", ValueType::float32, PvDirection::fromOperator);
  add(reg, "/longin", ValueType::int32);
  add(reg, "/longout", ValueType::int16, PvDirection::bidirectional);
  add(reg, "/count", ValueType::uint32);
  add(reg, "/bi", ValueType::boolean);
  add(reg, "/bo", ValueType::boolean, PvDirection::fromOperator);
  add(reg, "/lsi", ValueType::string);
  add(reg, "/lso", ValueType::string, PvDirection::fromOperator);
  add(reg, "/waveform", ValueType::int32, PvDirection::toOperator, 16);
  add(reg, "/event", ValueType::nothing, PvDirection::fromOperator);
  PvTable t(reg, "");
  for (auto [name, type] : std::vector<std::pair<std::string, std::string>>{{"ai", "ai"},
                                                                            {"ao", "ao"},
                                                                            {"longin", "longin"},
                                                                            {"longout", "longout"},
                                                                            {"count", "ai"},
                                                                            {"bi", "bi"},
                                                                            {"bo", "bo"},
                                                                            {"lsi", "lsi"},
                                                                            {"lso", "lso"},
                                                                            {"waveform", "waveform"},
                                                                            {"event", "longout"}}) {
    EXPECT_EQ(t.resolve(name)->variable->recordType(), type) << name;
  }
}

} // namespace
