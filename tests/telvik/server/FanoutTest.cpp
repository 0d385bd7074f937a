// Which updates reach which subscriptions: value events only on change beyond the deadband, alarm
// events on severity or status changes, property events when a limit's variable changes, fields
// that follow their variable, and the baseline a new subscriber starts from; and what a
// subscription holds while its client falls behind.
#include "telvik/server/src/Fanout.hpp"

#include <gtest/gtest.h>

#include <cmath>

using namespace telvik::server;
namespace b = telvik::bridge;
namespace p = telvik::protocol;
using orvane::AnyVector;
using orvane::DataValidity;
using orvane::ValueType;
using orvane::VersionNumber;

namespace {

constexpr std::uint16_t valueMask = static_cast<std::uint16_t>(p::EventMask::Value);
constexpr std::uint16_t logMask = static_cast<std::uint16_t>(p::EventMask::Log);
constexpr std::uint16_t alarmMask = static_cast<std::uint16_t>(p::EventMask::Alarm);
constexpr std::uint16_t propertyMask = static_cast<std::uint16_t>(p::EventMask::Property);

struct Sink : UpdateSink {
  bool latest = false;
  [[nodiscard]] bool latestOnly() const override { return latest; }
  void updateReady(const SubscriptionPtr&) override {}
};

struct FanoutTest : ::testing::Test {
  orvane::ProcessVariableRegistry reg;
  std::unique_ptr<b::PvTable> table;
  boost::asio::io_context io;
  ServerStats stats;
  std::shared_ptr<Fanout> fanout;
  Sink sink;

  void SetUp() override {
    add("/register", ValueType::int32);
    add("/voltage", ValueType::float64);
    add("/archived", ValueType::float64);
    add("/limit", ValueType::float64);
    add("/setpoint", ValueType::float64);
    add("/state", ValueType::int32);
    add("/event", ValueType::nothing);
    add("/table", ValueType::float64, 3);
    for (const char* path : {"/register", "/voltage", "/archived", "/limit", "/setpoint"})
      write(path, 0.0);
    write("/state", 0.0);
    const char* meta = "[/voltage]\ndeadband = 0.5\n"
                       "[/archived]\narchiveDeadband = 1\n"
                       "[/setpoint]\ndisplay = -/limit, /limit\n"
                       "[/state]\nstates = GOOD, BAD\nseverity = BAD: MAJOR\n";
    table = std::make_unique<b::PvTable>(reg, "", b::MetadataRules::parse(meta, "t.meta"));
    fanout = std::make_shared<Fanout>(io, *table, stats);
    fanout->attach(reg);
  }
  void add(const std::string& path, ValueType t, size_t n = 1) {
    orvane::ProcessVariableInfo i;
    i.path = path;
    i.type = t;
    i.nElements = n;
    reg.add(i);
  }
  void write(const std::string& path, double v, DataValidity validity = DataValidity::ok) {
    auto* pv = reg.find(path);
    AnyVector value =
        orvane::convertAnyVector(AnyVector(std::vector<double>(pv->info().nElements, v)), pv->info().type);
    pv->consume(value, VersionNumber(), validity);
    io.poll();
    io.restart();
  }
  SubscriptionPtr subscribe(const std::string& name, std::uint16_t mask) {
    auto sub = std::make_shared<Subscription>();
    sub->mask = mask;
    sub->sink = &sink;
    fanout->subscribe(sub, *table->resolve(name));
    return sub;
  }
  // The values pending for a subscription, taken.
  std::vector<double> taken(const SubscriptionPtr& sub) {
    std::vector<double> out;
    for (auto& u : sub->pending) {
      std::visit(
          [&](const auto& v) {
            using T = std::decay_t<decltype(v)>;
            if constexpr (std::is_same_v<T, p::LongString> || std::is_same_v<T, std::vector<std::string>>)
              out.push_back(-1);
            else
              out.push_back(v.empty() ? NAN : static_cast<double>(v[0]));
          },
          u->value);
    }
    sub->pending.clear();
    return out;
  }
};

TEST_F(FanoutTest, ValueEventsOnlyWhenTheValueMovesBeyondItsDeadband) {
  auto regSub = subscribe("register", valueMask);
  auto volt = subscribe("voltage", valueMask | alarmMask);
  EXPECT_EQ(taken(regSub), std::vector<double>{0}); // the first update, whatever the mask
  EXPECT_EQ(taken(volt), std::vector<double>{0});
  for (int trigger = 0; trigger < 10; ++trigger)
    write("/register", 0); // polled again, unchanged
  EXPECT_EQ(taken(regSub), std::vector<double>{});
  write("/register", 4);
  EXPECT_EQ(taken(regSub), std::vector<double>{4});
  // Measured against the last value posted, so a slow drift is posted once it adds up.
  for (double v : {0.3, 0.45, 0.6, 0.9, 1.2})
    write("/voltage", v);
  EXPECT_EQ(taken(volt), (std::vector<double>{0.6, 1.2}));
  // A faulty read of the same value is an alarm event, not a value event.
  write("/voltage", 1.2, DataValidity::faulty);
  ASSERT_EQ(volt->pending.size(), 1u);
  EXPECT_EQ(volt->pending.front()->metadata.severity, p::AlarmSeverity::Invalid);
  volt->pending.clear();

  // DBE_LOG has its own deadband.
  auto log = subscribe("archived", logMask);
  auto val = subscribe("archived", valueMask);
  taken(log);
  taken(val);
  for (double v : {0.5, 0.9, 1.5})
    write("/archived", v);
  EXPECT_EQ(taken(log), std::vector<double>{1.5});
  EXPECT_EQ(taken(val), (std::vector<double>{0.5, 0.9, 1.5}));
}

TEST_F(FanoutTest, EventsAndArraysPostWhatChanged) {
  auto ev = subscribe("event", valueMask);
  taken(ev);
  reg.find("/event")->consume(AnyVector(std::vector<orvane::Void>(1)), VersionNumber(), DataValidity::ok);
  reg.find("/event")->consume(AnyVector(std::vector<orvane::Void>(1)), VersionNumber(), DataValidity::ok);
  io.poll();
  EXPECT_EQ(taken(ev).size(), 2u); // an event's arrival is its content
  io.restart();
  auto tableSub = subscribe("table", valueMask);
  taken(tableSub);
  reg.find("/table")->consume(AnyVector(std::vector<double>{0, 0, 0}), VersionNumber(), DataValidity::ok);
  reg.find("/table")->consume(AnyVector(std::vector<double>{0, 0, 1}), VersionNumber(), DataValidity::ok);
  io.poll();
  EXPECT_EQ(taken(tableSub).size(), 1u);
}

TEST_F(FanoutTest, AlarmSubscribersSeeEachSeverityChange) {
  auto alarms = subscribe("state", alarmMask);
  auto sevr = subscribe("state.SEVR", valueMask);
  auto desc = subscribe("state.DESC", valueMask | alarmMask);
  EXPECT_EQ(taken(alarms), std::vector<double>{0});
  EXPECT_EQ(taken(sevr), std::vector<double>{0});
  EXPECT_EQ(taken(desc), std::vector<double>{-1});
  for (double v : {1, 1, 0, 1})
    write("/state", v);
  EXPECT_EQ(taken(alarms), (std::vector<double>{1, 0, 1}));
  EXPECT_EQ(taken(sevr), (std::vector<double>{2, 0, 2}));
  EXPECT_EQ(taken(desc), std::vector<double>{}); // fixed text does not follow the value
}

TEST_F(FanoutTest, ANewSubscriberStartsFromWhatItGot) {
  auto first = subscribe("register", valueMask);
  write("/register", 5);
  taken(first);
  fanout->unsubscribe(first);
  write("/register", 7); // nobody watches
  auto second = subscribe("register", valueMask);
  EXPECT_EQ(taken(second), std::vector<double>{7});
  write("/register", 7);
  EXPECT_EQ(taken(second), std::vector<double>{}); // no repeat of what it got
  write("/register", 5);
  EXPECT_EQ(taken(second), std::vector<double>{5}); // and the old value is a change again
}

TEST_F(FanoutTest, AChangedLimitIsAPropertyEventOfTheVariablesThatReferToIt) {
  auto props = subscribe("setpoint", propertyMask);
  auto values = subscribe("setpoint", valueMask);
  auto hopr = subscribe("setpoint.HOPR", valueMask);
  taken(props);
  taken(values);
  EXPECT_EQ(taken(hopr), std::vector<double>{0});
  write("/limit", 120);
  ASSERT_EQ(props->pending.size(), 1u);
  EXPECT_EQ(props->pending.front()->metadata.upperDisplayLimit, 120);
  EXPECT_EQ(props->pending.front()->metadata.lowerDisplayLimit, -120);
  props->pending.clear();
  EXPECT_EQ(taken(values), std::vector<double>{});
  EXPECT_EQ(taken(hopr), std::vector<double>{120});
  write("/limit", 120);
  EXPECT_EQ(props->pending.size(), 0u);
}

TEST(EventFilter, DeadbandComparison) {
  const p::Value one = std::vector<double>{1.0};
  EXPECT_FALSE(exceedsDeadband(one, one, 0));
  EXPECT_TRUE(exceedsDeadband(one, std::vector<double>{1.0 + 1e-12}, 0));
  EXPECT_FALSE(exceedsDeadband(one, std::vector<double>{1.1}, 0.1 + 1e-9));
  EXPECT_FALSE(exceedsDeadband(std::vector<double>{NAN}, std::vector<double>{NAN}, 0));
  EXPECT_TRUE(exceedsDeadband(std::vector<double>{NAN}, one, 1e9));
  EXPECT_FALSE(exceedsDeadband(std::vector<double>{INFINITY}, std::vector<double>{INFINITY}, 0));
  EXPECT_TRUE(exceedsDeadband(std::vector<double>{INFINITY}, one, 1e300));
  EXPECT_TRUE(exceedsDeadband(one, std::vector<double>{1.0, 1.0}, 0));
  EXPECT_TRUE(exceedsDeadband(one, std::vector<float>{1.0F}, 0));
  EXPECT_TRUE(exceedsDeadband(std::vector<std::string>{"a"}, std::vector<std::string>{"b"}, 1e9));
  EXPECT_FALSE(exceedsDeadband(p::LongString{"a"}, p::LongString{"a"}, 0));
}

// What a subscription holds while its client falls behind: each update once for all, a few of them,
// and only the newest while its circuit takes only that (events off, or output over budget).
TEST_F(FanoutTest, SubscribersShareEachUpdateAndASlowOneKeepsOnlyAFew) {
  write("/table", 0);
  auto a = subscribe("table", valueMask);
  auto c = subscribe("table", valueMask);
  ASSERT_EQ(a->pending.size(), 1u); // the current value at once
  EXPECT_EQ(a->pending.front(), c->pending.front());
  for (int i = 1; i <= 10; ++i)
    write("/table", i);
  ASSERT_EQ(a->pending.size(), 4u);
  EXPECT_EQ(a->pending.back(), c->pending.back());
  EXPECT_GT(stats.monitorUpdatesCoalesced, 0u);
  EXPECT_EQ(taken(a), (std::vector<double>{0, 1, 2, 10})); // the newest replaces the newest
  sink.latest = true;
  write("/table", 11);
  write("/table", 12);
  EXPECT_EQ(taken(a), (std::vector<double>{12}));
  fanout->unsubscribe(c);
  EXPECT_TRUE(c->pending.empty());
  write("/table", 13);
  EXPECT_TRUE(c->pending.empty());
}

} // namespace
