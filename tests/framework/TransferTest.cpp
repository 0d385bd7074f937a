#include "framework/Orvane.hpp"
#include "framework/TestFacility.hpp"

#include <gtest/gtest.h>

#include <numeric>
#include <sstream>

using namespace orvane;

namespace {

// Doubles every input and counts wake-ups; the poll input is sampled on each wake-up.
struct Doubler : ApplicationModule {
  using ApplicationModule::ApplicationModule;
  ScalarPushInput<int32_t> in{this, "in", "", "input"};
  ScalarPushInput<int32_t> other{this, "other", "", ""};
  ScalarPollInput<int32_t> gain{this, "gain", "", ""};
  ScalarOutput<int32_t> out{this, "out", "", "doubled"};
  ScalarOutput<std::string> order{this, "order", "", ""};
  void prepare() override { out.write(); }
  void mainLoop() override {
    ReadAnyGroup g{in, other, gain};
    for (;;) {
      auto id = g.readAny();
      if (id == in.getId()) {
        out = 2 * in * gain;
        out.write();
      }
      order = order.value() + (id == in.getId() ? "i" : "o");
      order.write();
    }
  }
};

struct Thrower : ApplicationModule {
  using ApplicationModule::ApplicationModule;
  ScalarPushInput<int32_t> in{this, "in", "", ""};
  void mainLoop() override {
    for (;;) {
      in.read();
      if (in == 7) throw std::logic_error("seven is not allowed");
    }
  }
};

struct App : Application {
  App() : Application("transfertest") {}
  ~App() override { shutdown(); }
  Doubler d{this, "D", ""};
  Thrower t{this, "T", ""};
  void defineConnections() override { findTag(".*").connectTo(ControlSystemModule{}); }
};

TEST(Transfer, PushPollAndArrivalOrder) {
  App app;
  TestFacility tf(app);
  app.initialise();
  tf.writeScalar<int32_t>("/D/gain", 3);
  tf.writeScalar<int32_t>("/D/in", 5); // initial value: not an update
  tf.runApplication();
  EXPECT_EQ(tf.takeUpdates<int32_t>("/D/out"), std::vector<int32_t>{0}); // only the prepare() write
  tf.writeScalar<int32_t>("/D/in", 4);
  tf.stepApplication();
  EXPECT_EQ(tf.readScalar<int32_t>("/D/out"), 24);
  tf.writeScalar<int32_t>("/D/other", 1);
  tf.writeScalar<int32_t>("/D/in", 1);
  tf.writeScalar<int32_t>("/D/other", 2);
  tf.stepApplication();
  EXPECT_EQ(tf.readScalar<std::string>("/D/order"), "ioio");
  EXPECT_EQ(tf.pv("/D/out").info().direction, PvDirection::toOperator);
  EXPECT_EQ(tf.pv("/D/in").info().direction, PvDirection::fromOperator);
  EXPECT_THROW(tf.writeScalar<int32_t>("/D/out", 1), std::logic_error);
}

TEST(Transfer, FullQueueLosesNewestAndCounts) {
  App app;
  TestFacility tf(app);
  tf.runApplication();
  for (int i = 0; i < 5; ++i)
    tf.writeScalar<int32_t>("/D/other", i);
  EXPECT_EQ(app.d.other.getLostCount(), 2u);
  tf.stepApplication();
  EXPECT_EQ(tf.readScalar<std::string>("/D/order"), "ooo");

  // The application's sum over every variable, and the one that lost most.
  for (int i = 0; i < 4; ++i)
    tf.writeScalar<int32_t>("/D/in", i);
  auto lost = app.lostValues();
  EXPECT_EQ(lost.total, 3u);
  EXPECT_EQ(lost.worstPath, "/D/other");
  EXPECT_EQ(lost.worstCount, 2u);
  tf.stepApplication();
}

TEST(Transfer, NothingLostWhileQueuesKeepUp) {
  App app;
  EXPECT_EQ(app.lostValues().total, 0u); // before initialisation there are no queues to ask
  TestFacility tf(app);
  tf.runApplication();
  tf.writeScalar<int32_t>("/D/other", 1);
  tf.stepApplication();
  auto lost = app.lostValues();
  EXPECT_EQ(lost.total, 0u);
  EXPECT_TRUE(lost.worstPath.empty());
}

TEST(Transfer, ExceptionOfAMainLoopReachesTheTest) {
  App app;
  TestFacility tf(app);
  tf.runApplication();
  tf.writeScalar<int32_t>("/T/in", 7);
  try {
    tf.stepApplication();
    FAIL();
  } catch (const std::logic_error& e) {
    EXPECT_STREQ(e.what(), "seven is not allowed");
  }
}

TEST(Transfer, OlderVersionIsRefused) {
  App app;
  TestFacility tf(app);
  tf.runApplication();
  VersionNumber older;
  VersionNumber newer;
  app.d.out.write(newer);
  try {
    app.d.out.write(older);
    FAIL();
  } catch (const std::logic_error& e) {
    EXPECT_STREQ(e.what(),
                 "The version number passed to write() of TransferElement '/D/out' is less than the "
                 "last version number used.");
  }
}

struct TwoFeeders : Application {
  TwoFeeders() : Application("twofeeders") {}
  ~TwoFeeders() override { shutdown(); }
  struct M : ApplicationModule {
    using ApplicationModule::ApplicationModule;
    ScalarOutput<int32_t> x{this, "x", "", ""};
    void mainLoop() override {}
  } a{this, "A", "", HierarchyModifier::hideThis}, b{this, "B", "", HierarchyModifier::hideThis};
  void defineConnections() override {}
};

// Accepts even settings only; an odd one is set back to the last accepted, as the channel modules
// do with refused operator input.
struct EvenOnly : ApplicationModule {
  using ApplicationModule::ApplicationModule;
  ScalarPushInputWB<int32_t> setting{this, "setting", "", ""};
  ScalarPollInput<int32_t> mode{this, "mode", "", ""};
  ScalarOutput<int32_t> accepted{this, "accepted", "", ""};
  void mainLoop() override {
    ReadAnyGroup group{setting, mode};
    for (;;) {
      group.readAny();
      if (setting % 2 != 0) {
        setting = accepted.value();
        setting.write();
        continue;
      }
      accepted = setting.value();
      accepted.write();
    }
  }
};

TEST(Transfer, AValueSetBackNeverHidesANewerOperatorWrite) {
  struct EvenApp : Application {
    EvenApp() : Application("eventest") {}
    ~EvenApp() override { shutdown(); }
    EvenOnly m{this, "M", ""};
    void defineConnections() override { findTag(".*").connectTo(ControlSystemModule{}); }
  } app;
  TestFacility tf(app);
  tf.runApplication();
  // A refused write and a good one behind it, both written before the module reads either.
  tf.writeScalar<int32_t>("/M/setting", 3);
  tf.writeScalar<int32_t>("/M/setting", 4);
  tf.stepApplication();
  EXPECT_EQ(tf.readScalar<int32_t>("/M/accepted"), 4);
  EXPECT_EQ(tf.readScalar<int32_t>("/M/setting"), 4);
  // Alone, a refused write is set back as before.
  tf.writeScalar<int32_t>("/M/setting", 5);
  tf.stepApplication();
  EXPECT_EQ(tf.readScalar<int32_t>("/M/setting"), 4);
  // Refused behind accepted: the last answer, the set-back, stands.
  tf.writeScalar<int32_t>("/M/setting", 6);
  tf.writeScalar<int32_t>("/M/setting", 7);
  tf.stepApplication();
  EXPECT_EQ(tf.readScalar<int32_t>("/M/accepted"), 6);
  EXPECT_EQ(tf.readScalar<int32_t>("/M/setting"), 6);
  // Another input written after the good value brings the module's version past it before the
  // refused one is answered; the answer is still the older one.
  tf.writeScalar<int32_t>("/M/setting", 9);
  tf.writeScalar<int32_t>("/M/setting", 8);
  tf.writeScalar<int32_t>("/M/mode", 1);
  tf.stepApplication();
  EXPECT_EQ(tf.readScalar<int32_t>("/M/accepted"), 8);
  EXPECT_EQ(tf.readScalar<int32_t>("/M/setting"), 8);
}

TEST(Transfer, TwoFeedersAreAConfigurationError) {
  TwoFeeders app;
  try {
    app.initialise();
    FAIL();
  } catch (const std::logic_error& e) {
    std::string m = e.what();
    EXPECT_NE(m.find("'/x' has two feeders"), std::string::npos) << m;
    EXPECT_NE(m.find("/twofeeders/A"), std::string::npos) << m;
    EXPECT_NE(m.find("/twofeeders/B"), std::string::npos) << m;
  }
}

// A producer that writes `count` values in one pass, and consumers that count what reaches them:
// one connection keeps every value (asked for by its producer), one by its consumer, one is left
// at the default.
struct Burst : Application {
  Burst() : Application("burst") {}
  ~Burst() override { shutdown(); }
  struct Producer : ApplicationModule {
    using ApplicationModule::ApplicationModule;
    ScalarPushInput<int32_t> count{this, "count", "", ""};
    ScalarOutput<int32_t> kept{this, "kept", "", ""};
    ScalarOutput<int32_t> keptByConsumer{this, "keptByConsumer", "", ""};
    ScalarOutput<int32_t> dropped{this, "dropped", "", ""};
    ArrayOutput<int32_t> keptArray{this, "keptArray", "", 16, ""};
    void prepare() override { writeAll(); }
    void mainLoop() override {
      for (;;) {
        count.read();
        for (int32_t i = 1; i <= count; ++i) {
          kept = i;
          kept.write();
          keptByConsumer = i;
          keptByConsumer.write();
          dropped = i;
          dropped.write();
        }
      }
    }
  } producer{this, "P", "", HierarchyModifier::hideThis};
  struct Consumer : ApplicationModule {
    using ApplicationModule::ApplicationModule;
    ScalarPushInput<int32_t> kept{this, "kept", "", ""};
    ScalarPushInput<int32_t> keptByConsumer{this, "keptByConsumer", "", ""};
    ScalarPushInput<int32_t> dropped{this, "dropped", "", ""};
    ArrayPushInput<int32_t> keptArray{this, "keptArray", "", 16, ""};
    std::vector<int32_t> seenKept, seenKeptByConsumer, seenDropped;
    void mainLoop() override {
      ReadAnyGroup g{kept, keptByConsumer, dropped};
      for (;;) {
        auto id = g.readAny();
        auto& seen = id == kept.getId() ? seenKept : id == dropped.getId() ? seenDropped : seenKeptByConsumer;
        seen.push_back(id == kept.getId() ? kept : id == dropped.getId() ? dropped : keptByConsumer);
      }
    }
  } consumer{this, "C", "", HierarchyModifier::hideThis};
  Burst& keep() {
    producer.kept.setQueuePolicy(QueuePolicy::keepAll);
    producer.keptArray.setQueuePolicy(QueuePolicy::keepAll);
    consumer.keptByConsumer.setQueuePolicy(QueuePolicy::keepAll);
    return *this;
  }
  void defineConnections() override { findTag(".*").connectTo(ControlSystemModule{}); }
};

TEST(Transfer, KeepAllConnectionsLoseNothingOthersCountTheirLosses) {
  Burst app;
  app.keep();
  TestFacility tf(app);
  tf.runApplication();
  tf.writeScalar<int32_t>("/count", 1000);
  tf.stepApplication();
  std::vector<int32_t> all(1000);
  std::iota(all.begin(), all.end(), 1);
  EXPECT_EQ(app.consumer.seenKept, all);
  EXPECT_EQ(app.consumer.seenKeptByConsumer, all);
  EXPECT_EQ(app.consumer.kept.getLostCount(), 0U);
  // The default connection keeps up to three and replaces the newest: the latest value survives.
  EXPECT_EQ(app.consumer.seenDropped, (std::vector<int32_t>{1, 2, 1000}));
  EXPECT_EQ(app.consumer.dropped.getLostCount(), 997U);
  // The policy is the connection's, whichever side asked for it.
  EXPECT_EQ(app.producer.keptByConsumer.getQueuePolicy(), QueuePolicy::keepAll);
  EXPECT_EQ(app.consumer.kept.getQueuePolicy(), QueuePolicy::keepAll);
  EXPECT_EQ(app.consumer.dropped.getQueuePolicy(), QueuePolicy::replaceNewest);
  // Arrays count against the same element budget.
  EXPECT_EQ(app.consumer.keptArray.queue()->limit(), detail::keepAllElementBudget / 16);
  std::ostringstream listing;
  app.dumpConnections(listing);
  EXPECT_NE(
      listing.str().find("/kept : int32[1]\n  feeder:   output 'kept' of /burst/P (int32[1])\n"
                         "  consumer: push input 'kept' of /burst/C (int32[1])\n  queue:    keep all\n"),
      std::string::npos)
      << listing.str();
  EXPECT_THROW(app.consumer.dropped.setQueuePolicy(QueuePolicy::keepAll), std::logic_error);
}

TEST(Transfer, KeepAllBacklogHasABoundThatStopsTheWriter) {
  Burst app;
  app.keep();
  TestFacility tf(app);
  tf.runApplication();
  tf.writeScalar<int32_t>("/count", static_cast<int32_t>(detail::keepAllElementBudget) + 1);
  try {
    tf.stepApplication();
    FAIL();
  } catch (const std::logic_error& e) {
    EXPECT_STREQ(e.what(),
                 "Variable '/kept': 65536 values wait unread on a connection that must not lose any; "
                 "its reader in /burst/C has stopped taking them.");
  }
}

TEST(Transfer, ShutdownEndsBlockedReadsInNormalMode) {
  App app;
  app.run();
  app.shutdown(); // must return: every thread waits in a read
  SUCCEED();
}

} // namespace

namespace {

struct Listed : Application {
  Listed() : Application("listed") {}
  ~Listed() override { shutdown(); }
  struct M : ApplicationModule {
    using ApplicationModule::ApplicationModule;
    ScalarPushInputWB<double> sp{this, "setpoint", "V", "operator's setpoint"};
    ScalarPushInput<int64_t> trigger{this, "trigger", "", "trigger input"};
    ArrayOutput<int32_t> table{this, "table", "n.A.", 4, "a <table> & more"};
    void mainLoop() override {
      ReadAnyGroup g{sp, trigger};
      for (;;) {
        if (g.readAny() == sp.getId()) {
          sp = 0.5;
          sp.write();
        }
      }
    }
  } m{this, "M", ""};
  void defineConnections() override {
    ControlSystemModule cs;
    cs["Server"]("triggerNumber") >> m.trigger;
    findTag(".*").connectTo(cs);
  }
};

TEST(Listing, VariableListDirectionsMirrorsAndReturnChannel) {
  Listed app;
  TestFacility tf(app);
  std::ostringstream xml;
  app.generateXML(xml);
  const std::string s = xml.str();
  EXPECT_NE(s.find(R"(path="/M/setpoint" type="double" elements="1" direction="bidirectional" unit="V")"),
            std::string::npos)
      << s;
  EXPECT_NE(s.find(R"(path="/M/table" type="int32" elements="4" direction="to_operator")"),
            std::string::npos);
  EXPECT_NE(s.find("a &lt;table"), std::string::npos);
  EXPECT_NE(s.find("&amp; more"), std::string::npos);
  EXPECT_NE(s.find(R"(path="/Server/triggerNumber" type="int64" elements="1" direction="from_operator")"),
            std::string::npos);
  EXPECT_NE(s.find(R"(path="/M/trigger" type="int64" elements="1" direction="to_operator")"),
            std::string::npos);
  std::ostringstream tree;
  ControlSystemModule{}.dump("", &tree);
  EXPECT_NE(tree.str().find("/Server\n  triggerNumber : int64"), std::string::npos) << tree.str();

  tf.runApplication();
  tf.writeScalar<int64_t>("/Server/triggerNumber", 42);
  tf.writeScalar<double>("/M/setpoint", 3.0);
  tf.stepApplication();
  EXPECT_EQ(tf.readScalar<int64_t>("/M/trigger"), 42);  // the mirror follows the trigger
  EXPECT_EQ(tf.readScalar<double>("/M/setpoint"), 0.5); // written back through the return channel
}

} // namespace
