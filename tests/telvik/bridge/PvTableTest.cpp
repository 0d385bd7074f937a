#include "telvik/bridge/PvTable.hpp"
#include "telvik/bridge/PvList.hpp"

#include <gtest/gtest.h>

#include <bit>
#include <cstring>
#include <map>
#include <sstream>

using namespace telvik::bridge;
namespace p = telvik::protocol;
using orvane::AnyVector;
using orvane::ProcessVariableInfo;
using orvane::PvDirection;
using orvane::ValueType;

namespace {

ProcessVariableInfo info(const std::string& path, ValueType t, size_t n = 1,
                         PvDirection d = PvDirection::fromOperator, const std::string& unit = "",
                         const std::string& desc = "") {
  ProcessVariableInfo i;
  i.path = path;
  i.type = t;
  i.nElements = n;
  i.direction = d;
  i.unit = unit;
  i.description = desc;
  return i;
}

struct PvTableTest : ::testing::Test {
  orvane::ProcessVariableRegistry reg;
  std::unique_ptr<PvTable> table;
  void SetUp() override {
    reg.add(info("/Channel0/StateMachine/currentState", ValueType::int32, 1, PvDirection::toOperator, "",
                 "State"));
    reg.add(info("/Channel0/VoltageSumLimiter/dcVoltageSetpoint", ValueType::float64, 1,
                 PvDirection::bidirectional, "V", "DC voltage setpoint requested by the operator"));
    reg.add(info("/Board/count", ValueType::uint32));
    reg.add(info("/Board/stamp", ValueType::int64));
    reg.add(info("/Board/small", ValueType::int16));
    reg.add(info("/Board/f", ValueType::float32));
    reg.add(info("/Board/enabled", ValueType::boolean));
    reg.add(info("/Board/message", ValueType::string));
    reg.add(info("/Board/names", ValueType::string, 3));
    reg.add(info("/Board/reset", ValueType::nothing));
    reg.add(info("/Board/table", ValueType::float64, 65536));
    reg.add(info("/Server/triggerNumber", ValueType::int64));
    table = std::make_unique<PvTable>(reg, "QUELLOR:");
  }
  ServedVariable& var(const std::string& name) { return *table->resolve(name)->variable; }
};

p::Bytes be64(double d) {
  auto u = std::bit_cast<std::uint64_t>(d);
  p::Bytes b(8);
  for (int i = 0; i < 8; ++i)
    b[i] = static_cast<std::uint8_t>(u >> (56 - 8 * i));
  return b;
}
p::Bytes be16(std::uint16_t v) {
  return {static_cast<std::uint8_t>(v >> 8), static_cast<std::uint8_t>(v), 0, 0, 0, 0, 0, 0};
}
p::Bytes text(const std::string& s, size_t size) {
  p::Bytes b(size, 0);
  std::memcpy(b.data(), s.data(), std::min(s.size(), size));
  return b;
}

TEST_F(PvTableTest, NamesArePrefixPlusPathWithColons) {
  EXPECT_EQ(PvTable::pvName("QUELLOR:", "/Channel0/StateMachine/currentState"),
            "QUELLOR:Channel0:StateMachine:currentState");
  EXPECT_TRUE(table->resolve("QUELLOR:Server:triggerNumber"));
  EXPECT_TRUE(table->resolve("QUELLOR:Channel0:StateMachine:currentState.VAL"));
  EXPECT_FALSE(table->resolve("QUELLOR:Channel0:StateMachine"));
  EXPECT_FALSE(table->resolve("Channel0:StateMachine:currentState"));
  EXPECT_FALSE(table->resolve("QUELLOR:Channel0:StateMachine:currentState.HIHI")); // not served
  EXPECT_FALSE(table->resolve("QUELLOR:Board:enabled.HOPR"));                      // states have no limits
  EXPECT_FALSE(table->resolve("QUELLOR:Board:message.PREC"));                      // text neither
  EXPECT_FALSE(table->resolve("QUELLOR:Channel0:StateMachine:currentState$"));     // "$" only on text
  EXPECT_FALSE(table->resolve("QUELLOR:Board:names$"));                            // nor on text arrays
  EXPECT_FALSE(table->resolve("QUELLOR:Board:f.EGU.VAL"));
  EXPECT_FALSE(table->resolve("QUELLOR:Board:table.VAL[0:3]"));
  EXPECT_FALSE(table->resolve(""));
  EXPECT_EQ(table->byPath("/Board/f"), &var("QUELLOR:Board:f"));
}

TEST_F(PvTableTest, NativeTypesAndCountsFollowTheTypeMapping) {
  struct Case {
    const char* name;
    p::NativeType type;
    std::uint32_t count;
  };
  for (auto c :
       std::vector<Case>{{"QUELLOR:Channel0:StateMachine:currentState", p::NativeType::Long, 1},
                         {"QUELLOR:Board:count", p::NativeType::Double, 1},
                         {"QUELLOR:Board:stamp", p::NativeType::Double, 1},
                         {"QUELLOR:Board:small", p::NativeType::Long, 1},
                         {"QUELLOR:Board:f", p::NativeType::Float, 1},
                         {"QUELLOR:Board:enabled", p::NativeType::Enum, 1},
                         {"QUELLOR:Board:message", p::NativeType::String, 1},
                         {"QUELLOR:Board:message$", p::NativeType::LongString, longStringCapacity},
                         {"QUELLOR:Board:message.VAL$", p::NativeType::LongString, longStringCapacity},
                         {"QUELLOR:Board:names", p::NativeType::String, 3},
                         {"QUELLOR:Board:reset", p::NativeType::Long, 1},
                         {"QUELLOR:Board:table", p::NativeType::Double, 65536}}) {
    auto t = table->resolve(c.name);
    ASSERT_TRUE(t) << c.name;
    EXPECT_EQ(t->nativeType(), c.type) << c.name;
    EXPECT_EQ(t->nativeCount(), c.count) << c.name;
  }
  EXPECT_EQ(p::nativeDbrType(p::NativeType::LongString), p::DbrType::Char);
}

TEST_F(PvTableTest, ValuesConvertWithMetadata) {
  reg.find("/Board/count")
      ->consume(AnyVector(std::vector<uint32_t>{4294967295u}), orvane::VersionNumber(),
                orvane::DataValidity::ok);
  auto u = var("QUELLOR:Board:count").current();
  EXPECT_EQ(std::get<std::vector<double>>(u->value)[0], 4294967295.0);
  EXPECT_EQ(u->metadata.precision, 0);
  EXPECT_EQ(u->metadata.severity, p::AlarmSeverity::NoAlarm);

  reg.find("/Board/stamp")
      ->consume(AnyVector(std::vector<int64_t>{(1ll << 53) - 1}), orvane::VersionNumber(),
                orvane::DataValidity::ok);
  EXPECT_EQ(std::get<std::vector<double>>(var("QUELLOR:Board:stamp").current()->value)[0],
            9007199254740991.0);

  // Faulty data is INVALID; a variable that never had a value is INVALID/UDF.
  const auto when =
      std::chrono::system_clock::time_point(std::chrono::seconds(1700000000) + std::chrono::nanoseconds(250));
  reg.find("/Channel0/StateMachine/currentState")
      ->consume(AnyVector(std::vector<int32_t>{2}), orvane::VersionNumber(when),
                orvane::DataValidity::faulty);
  u = var("QUELLOR:Channel0:StateMachine:currentState").current();
  EXPECT_EQ(u->metadata.severity, p::AlarmSeverity::Invalid);
  EXPECT_EQ(u->metadata.status, p::AlarmStatus::Read);
  EXPECT_EQ(u->metadata.timestamp, (p::Timestamp{1700000000 - 631152000, 250}));
  u = var("QUELLOR:Board:f").current();
  EXPECT_EQ(u->metadata.severity, p::AlarmSeverity::Invalid);
  EXPECT_EQ(u->metadata.status, p::AlarmStatus::Udf);
  EXPECT_EQ(u->metadata.timestamp, p::Timestamp{});

  u = var("QUELLOR:Board:enabled").current();
  EXPECT_EQ(u->metadata.enumStrings, (std::vector<std::string>{"false", "true"}));
  u = var("QUELLOR:Channel0:VoltageSumLimiter:dcVoltageSetpoint").current();
  EXPECT_EQ(u->metadata.units, "V");

  // Text longer than the char array keeps its first capacity-1 characters and the NUL in the "$"
  // view; the bare name is one DBR_STRING of the first 39.
  reg.find("/Board/message")
      ->consume(AnyVector(std::vector<std::string>{std::string(longStringCapacity + 10, 'm')}),
                orvane::VersionNumber(), orvane::DataValidity::ok);
  u = table->resolve("QUELLOR:Board:message$")->current();
  EXPECT_EQ(std::get<p::LongString>(u->value).text.size(), longStringCapacity - 1);
  EXPECT_EQ(p::currentCount(u->value), longStringCapacity);
  u = table->resolve("QUELLOR:Board:message")->current();
  const auto d = p::encodeDbr(u->value, u->metadata, p::toWire(p::DbrType::String), 0, p::ReadContext{1});
  EXPECT_EQ(d.count, 1u);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(d.bytes.data())), std::string(39, 'm'));
}

TEST_F(PvTableTest, TextFieldsServeDescriptionAndUnits) {
  auto desc = table->resolve("QUELLOR:Channel0:VoltageSumLimiter:dcVoltageSetpoint.DESC");
  ASSERT_TRUE(desc);
  EXPECT_FALSE(desc->writable());
  EXPECT_EQ(desc->nativeType(), p::NativeType::String);
  // A DBR_STRING field holds 39 characters; the "$" form gives the whole text.
  EXPECT_EQ(std::get<std::vector<std::string>>(desc->current()->value)[0],
            "DC voltage setpoint requested by the op");
  auto full = table->resolve("QUELLOR:Channel0:VoltageSumLimiter:dcVoltageSetpoint.DESC$");
  ASSERT_TRUE(full);
  EXPECT_EQ(full->nativeType(), p::NativeType::LongString);
  EXPECT_EQ(std::get<p::LongString>(full->current()->value).text,
            "DC voltage setpoint requested by the operator");
  EXPECT_EQ(full->nativeCount(), 46u);
  auto egu = table->resolve("QUELLOR:Channel0:VoltageSumLimiter:dcVoltageSetpoint.EGU");
  ASSERT_TRUE(egu);
  EXPECT_EQ(std::get<std::vector<std::string>>(egu->current()->value)[0], "V");
  EXPECT_TRUE(table->resolve("QUELLOR:Channel0:VoltageSumLimiter:dcVoltageSetpoint")->writable());
}

TEST_F(PvTableTest, WritesConvertToTheVariablesType) {
  using S = p::EcaStatus;
  auto& sp = var("QUELLOR:Channel0:VoltageSumLimiter:dcVoltageSetpoint");
  EXPECT_EQ(sp.write(p::toWire(p::DbrType::Double), 1, be64(2.25)), S::Normal);
  EXPECT_EQ(std::get<std::vector<double>>(sp.pv().get().value)[0], 2.25);
  // The C caput writes numbers as text.
  EXPECT_EQ(sp.write(p::toWire(p::DbrType::String), 1, text("-7.5", 8)), S::Normal);
  EXPECT_EQ(std::get<std::vector<double>>(sp.pv().get().value)[0], -7.5);
  EXPECT_EQ(sp.write(p::toWire(p::DbrType::String), 1, text("seven", 8)), S::NoConvert);
  EXPECT_EQ(sp.write(p::toWire(p::DbrType::Double), 2, be64(1)), S::BadCount);

  auto& count = var("QUELLOR:Board:count");
  EXPECT_EQ(count.write(p::toWire(p::DbrType::Double), 1, be64(-3.0)), S::Normal); // clamps at 0
  EXPECT_EQ(std::get<std::vector<uint32_t>>(count.pv().get().value)[0], 0u);
  EXPECT_EQ(count.write(p::toWire(p::DbrType::Double), 1, be64(41.6)), S::Normal); // rounds
  EXPECT_EQ(std::get<std::vector<uint32_t>>(count.pv().get().value)[0], 42u);

  auto& en = var("QUELLOR:Board:enabled");
  EXPECT_EQ(en.write(p::toWire(p::DbrType::String), 1, text("true", 8)), S::Normal);
  EXPECT_TRUE(std::get<std::vector<orvane::Boolean>>(en.pv().get().value)[0]);
  EXPECT_EQ(en.write(p::toWire(p::DbrType::Enum), 1, be16(0)), S::Normal);
  EXPECT_FALSE(std::get<std::vector<orvane::Boolean>>(en.pv().get().value)[0]);
  EXPECT_EQ(en.write(p::toWire(p::DbrType::Enum), 1, be16(2)), S::NoConvert);
  // Neither NaN nor a negative number is "false".
  EXPECT_EQ(en.write(p::toWire(p::DbrType::String), 1, text("true", 8)), S::Normal);
  EXPECT_EQ(en.write(p::toWire(p::DbrType::Double), 1, be64(std::nan(""))), S::NoConvert);
  EXPECT_EQ(en.write(p::toWire(p::DbrType::Double), 1, be64(-1)), S::NoConvert);
  EXPECT_TRUE(std::get<std::vector<orvane::Boolean>>(en.pv().get().value)[0]);

  // pyepics writes a char array with the NUL counted, to the "$" view.
  auto msg = *table->resolve("QUELLOR:Board:message$");
  EXPECT_EQ(msg.write(p::toWire(p::DbrType::Char), 6, text("hello", 8)), S::Normal);
  EXPECT_EQ(std::get<std::vector<std::string>>(msg.variable->pv().get().value)[0], "hello");
  const std::string longText(100, 'L');
  EXPECT_EQ(msg.write(p::toWire(p::DbrType::Char), 101, text(longText, 104)), S::Normal);
  EXPECT_EQ(std::get<std::vector<std::string>>(msg.variable->pv().get().value)[0], longText);
  // The bare name takes one DBR_STRING; fields take nothing.
  EXPECT_EQ(var("QUELLOR:Board:message").write(p::toWire(p::DbrType::String), 1, text("short", 8)),
            S::Normal);
  EXPECT_EQ(std::get<std::vector<std::string>>(msg.variable->pv().get().value)[0], "short");
  EXPECT_EQ(
      table->resolve("QUELLOR:Board:message.DESC")->write(p::toWire(p::DbrType::String), 1, text("x", 8)),
      S::NoWtAccess);

  auto& reset = var("QUELLOR:Board:reset");
  EXPECT_EQ(reset.write(p::toWire(p::DbrType::Long), 1, p::Bytes{0, 0, 0, 5, 0, 0, 0, 0}), S::Normal);
  EXPECT_EQ(reset.write(p::toWire(p::DbrType::String), 1, text("not a number", 16)), S::Normal);
  EXPECT_EQ(reset.pv().get().value.index(), AnyVector(std::vector<orvane::Void>{}).index());
  EXPECT_EQ(reset.write(p::toWire(p::DbrType::TimeLong), 1, p::Bytes(16, 0)), S::BadType);

  auto& ro = var("QUELLOR:Channel0:StateMachine:currentState");
  EXPECT_EQ(ro.write(p::toWire(p::DbrType::Long), 1, p::Bytes{0, 0, 0, 1, 0, 0, 0, 0}), S::NoWtAccess);
  EXPECT_EQ(sp.write(p::toWire(p::DbrType::CtrlDouble), 1, be64(1)), S::BadType);
}

TEST_F(PvTableTest, PvListHasOneLineOfFiveFieldsPerVariable) {
  reg.add(info("/Board/odd", ValueType::int32, 1, PvDirection::toOperator, "", "two\tparts\nand lines"));
  PvTable withOdd(reg, "Q:");
  std::ostringstream out;
  writePvList(withOdd, out);
  std::istringstream in(out.str());
  std::string line;
  std::map<std::string, std::vector<std::string>> rows;
  ASSERT_TRUE(std::getline(in, line));
  EXPECT_EQ(line, "# name\ttype\tcount\taccess\tdescription");
  std::string previous;
  while (std::getline(in, line)) {
    std::vector<std::string> fields{""};
    for (char c : line)
      if (c == '\t')
        fields.emplace_back();
      else
        fields.back().push_back(c);
    ASSERT_EQ(fields.size(), 5u) << line;
    EXPECT_LT(previous, fields[0]); // in name order
    previous = fields[0];
    rows[fields[0]] = fields;
  }
  EXPECT_EQ(rows.size(), reg.all().size());
  using Row = std::vector<std::string>;
  EXPECT_EQ(rows["Q:Channel0:StateMachine:currentState"],
            (Row{"Q:Channel0:StateMachine:currentState", "DBR_LONG", "1", "ro", "State"}));
  EXPECT_EQ(rows["Q:Channel0:VoltageSumLimiter:dcVoltageSetpoint"][1], "DBR_DOUBLE");
  EXPECT_EQ(rows["Q:Channel0:VoltageSumLimiter:dcVoltageSetpoint"][3], "rw");
  EXPECT_EQ(rows["Q:Board:table"][2], "65536");
  EXPECT_EQ(rows["Q:Board:message"],
            (Row{"Q:Board:message", "DBR_STRING", "1", "rw", ""})); // NAME$: all of it
  EXPECT_EQ(rows["Q:Board:odd"][4], "two parts and lines");
}

TEST_F(PvTableTest, EveryReaderOfAValueSharesOneConversion) {
  auto& served = var("QUELLOR:Board:table");
  const orvane::VersionNumber v;
  served.pv().write(AnyVector(std::vector<double>(65536, 1.0)), v);
  const auto first = served.current();
  EXPECT_EQ(served.current(), first);
  EXPECT_EQ(served.convert(served.pv().get()), first);
  // A module writing back under the version it read from is a new value all the same.
  served.pv().write(AnyVector(std::vector<double>(65536, 2.0)), v);
  const auto second = served.current();
  EXPECT_NE(second, first);
  EXPECT_EQ(std::get<std::vector<double>>(second->value)[0], 2.0);
  EXPECT_EQ(std::get<std::vector<double>>(first->value)[0], 1.0);
}

TEST_F(PvTableTest, AKeptConversionFollowsTheVariablesItsLimitsReferTo) {
  PvTable limited(reg,
                  "Q:", MetadataRules::parse("[/Board/table]\ndisplay = -/Board/f, /Board/f\n", "t.meta"));
  auto& served = *limited.resolve("Q:Board:table")->variable;
  served.pv().write(AnyVector(std::vector<double>(65536, 1.0)));
  const auto before = served.current();
  EXPECT_EQ(served.current(), before);
  reg.find("/Board/f")->write(AnyVector(std::vector<float>{7}));
  const auto after = served.current();
  EXPECT_NE(after, before);
  EXPECT_EQ(after->metadata.upperDisplayLimit, 7.0);
  EXPECT_EQ(after->metadata.lowerDisplayLimit, -7.0);
}

TEST_F(PvTableTest, AWriteOfNoElementsIsRefusedAndSendsNothing) {
  int updates = 0;
  reg.addUpdateHook([&updates](const orvane::ProcessVariable&) { ++updates; });
  for (const char* name : {"QUELLOR:Board:reset", "QUELLOR:Board:table", "QUELLOR:Board:message",
                           "QUELLOR:Channel0:VoltageSumLimiter:dcVoltageSetpoint"})
    EXPECT_EQ(var(name).write(p::toWire(p::DbrType::Long), 0, {}), p::EcaStatus::BadCount) << name;
  EXPECT_EQ(updates, 0);
  EXPECT_EQ(var("QUELLOR:Board:reset").write(p::toWire(p::DbrType::Long), 1, p::Bytes(8, 0)),
            p::EcaStatus::Normal);
  EXPECT_EQ(updates, 1);
}

} // namespace
