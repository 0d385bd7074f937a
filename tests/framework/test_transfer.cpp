#include "framework/orvane.hpp"
#include "framework/test_facility.hpp"

#include <gtest/gtest.h>

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
  for (int i = 0; i < 5; ++i) tf.writeScalar<int32_t>("/D/other", i);
  EXPECT_EQ(app.d.other.getLostCount(), 2u);
  tf.stepApplication();
  EXPECT_EQ(tf.readScalar<std::string>("/D/order"), "ooo");
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
    EXPECT_STREQ(e.what(), "The version number passed to write() of TransferElement '/D/out' is less than the "
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

TEST(Transfer, ShutdownEndsBlockedReadsInNormalMode) {
  App app;
  app.run();
  app.shutdown(); // must return: every thread waits in a read
  SUCCEED();
}

} // namespace
