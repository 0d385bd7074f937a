#include "framework/Orvane.hpp"
#include "framework/TestFacility.hpp"

#include <gtest/gtest.h>

#include <sstream>

using namespace orvane;

namespace {

// Forwards its input; "started" shows whether the thread got past the wait for initial values.
struct Relay : ApplicationModule {
  using ApplicationModule::ApplicationModule;
  ScalarPushInput<double> in{this, "in", "V", "relayed voltage"};
  ScalarOutput<double> out{this, "out", "V", "relayed voltage"};
  ScalarOutput<int32_t> started{this, "started", "", ""};
  void mainLoop() override {
    started = 1;
    started.write();
    for (;;) {
      in.read();
      out = in;
      out.write();
    }
  }
};

// Writes faster than its consumer reads: every write beyond the queue depth loses data.
struct Burst : ApplicationModule {
  using ApplicationModule::ApplicationModule;
  ScalarPushInput<int32_t> go{this, "go", "", ""};
  ModifyHierarchy<ScalarOutput<int32_t>> out{this, "/Sink/in", "", ""};
  void mainLoop() override {
    for (;;) {
      go.read();
      for (int i = 0; i < 5; ++i) {
        out.value = i;
        out->write();
      }
    }
  }
};

struct Sink : ApplicationModule {
  using ApplicationModule::ApplicationModule;
  ScalarPushInput<int32_t> in{this, "in", "", ""};
  void mainLoop() override {
    for (;;)
      in.read();
  }
};

struct ListingApp : Application {
  ListingApp() : Application("listingtest") {}
  ~ListingApp() override { shutdown(); }
  Relay a{this, "A", "first relay"};
  Relay b{this, "B", "second relay"};
  void defineConnections() override { findTag(".*").connectTo(ControlSystemModule{}); }
};

// Consumes the relay's output, which has no value until the relay first writes it.
struct Tap : ApplicationModule {
  using ApplicationModule::ApplicationModule;
  ModifyHierarchy<ScalarPushInput<double>> in{this, "/A/out", "V", ""};
  ScalarOutput<int32_t> started{this, "started", "", ""};
  ScalarOutput<double> seen{this, "seen", "V", ""};
  void mainLoop() override {
    started = 1;
    started.write();
    for (;;) {
      in->read();
      seen = in.value;
      seen.write();
    }
  }
};

struct ChainApp : Application {
  ChainApp() : Application("chaintest") {}
  ~ChainApp() override { shutdown(); }
  Relay a{this, "A", ""};
  Tap tap{this, "Tap", ""};
  void defineConnections() override { findTag(".*").connectTo(ControlSystemModule{}); }
};

struct LossApp : Application {
  LossApp() : Application("losstest") {}
  ~LossApp() override { shutdown(); }
  Burst burst{this, "Burst", ""};
  Sink sink{this, "Sink", ""};
  void defineConnections() override { findTag(".*").connectTo(ControlSystemModule{}); }
};

TEST(Listing, ConnectionsAndTreeNameEveryPartyOnce) {
  ListingApp app;
  TestFacility tf(app);
  app.initialise();
  std::ostringstream connections;
  app.dumpConnections(connections);
  const std::string c = connections.str();
  EXPECT_NE(c.find("/A/out : double[1]"), std::string::npos) << c;
  EXPECT_NE(c.find("/B/in : double[1]"), std::string::npos) << c;
  EXPECT_NE(c.find("feeder:   control system"), std::string::npos) << c;
  // Two relays, three variables each: six networks, none shared.
  EXPECT_NE(c.find("(6)"), std::string::npos) << c;

  std::ostringstream tree;
  ControlSystemModule{}.dump(">", &tree);
  const std::string t = tree.str();
  EXPECT_NE(t.find(">/A\n"), std::string::npos) << t;
  EXPECT_NE(t.find(">  in : double, from_operator, unit \"V\", \"relayed voltage\""), std::string::npos) << t;
  EXPECT_NE(t.find(">  out : double, to_operator"), std::string::npos) << t;
  EXPECT_LT(t.find(">/A\n"), t.find(">/B\n"));

  std::ostringstream sub;
  ControlSystemModule{}["B"].dump("", &sub);
  EXPECT_EQ(sub.str().find("/A"), std::string::npos) << sub.str();
  EXPECT_NE(sub.str().find("/B"), std::string::npos) << sub.str();
}

TEST(Listing, ThreadWaitsForEveryInitialValue) {
  ChainApp app;
  TestFacility tf(app);
  tf.runApplication();
  // Operator variables start with a value of their own, so the relay runs at once; the tap waits
  // until the relay has written its output for the first time.
  EXPECT_EQ(tf.takeUpdates<int32_t>("/A/started"), std::vector<int32_t>{1});
  EXPECT_EQ(tf.updateCount("/Tap/started"), 0u);
  tf.writeScalar<double>("/A/in", 1.5);
  tf.stepApplication();
  EXPECT_EQ(tf.takeUpdates<int32_t>("/Tap/started"), std::vector<int32_t>{1});
  // The first value is the tap's initial value, not an update.
  EXPECT_EQ(tf.updateCount("/Tap/seen"), 0u);
  tf.writeScalar<double>("/A/in", 2.5);
  tf.stepApplication();
  EXPECT_EQ(tf.takeUpdates<double>("/Tap/seen"), std::vector<double>{2.5});
}

TEST(Listing, DataLossIsCountedAndPrintedWhenAskedFor) {
  LossApp app;
  app.enableDebugDataLoss(true);
  TestFacility tf(app);
  app.initialise();
  tf.writeScalar<int32_t>("/Burst/go", 0);
  tf.runApplication();
  testing::internal::CaptureStdout();
  tf.writeScalar<int32_t>("/Burst/go", 1);
  tf.stepApplication();
  const std::string out = testing::internal::GetCapturedStdout();
  EXPECT_EQ(app.sink.in.getLostCount(), 2u);
  EXPECT_EQ(out, "Data loss in variable /Sink/in\nData loss in variable /Sink/in\n");
}

} // namespace
