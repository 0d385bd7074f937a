#include "modules/FeedforwardCompensation.hpp"
#include "ModuleTestSupport.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <memory>

using namespace quellor;
using orvane::Boolean;

namespace {

const std::string FF = "/Channel0/FeedforwardCompensation/";
const std::string TABLE = "/Channel0/controlTable";
const std::string SWAP = "/Channel0/swapControlTable";
constexpr double twoPi = 6.283185307179586;

struct FeedforwardApp : orvane::Application {
  explicit FeedforwardApp(const std::string& configFile)
      : Application("fftest"), config(this, "Configuration", configFile) {}
  ~FeedforwardApp() override { shutdown(); }
  orvane::ConfigReader config;
  orvane::ModuleGroup channel0{this, "Channel0", ""};
  FeedforwardCompensation ff{&channel0, "FeedforwardCompensation", ""};
  void defineConnections() override { findTag(".*").connectTo(orvane::ControlSystemModule{}); }
};

struct Initial {
  double frequency{250.0};
  double delay{0.0};
  uint32_t nPeriods{1};
  double amplitude{2.0};
};

class FeedforwardTest : public ::testing::Test {
 protected:
  void start(const Initial& init, uint32_t length = 65536, uint32_t sampleRate = 1000000) {
    cfg = std::make_unique<test::ConfigFile>(std::map<std::string, std::string>{
        {"FeedforwardCompensation/controlTableLength", "uint32:" + std::to_string(length)},
        {"FeedforwardCompensation/controlTableSampleRate", "uint32:" + std::to_string(sampleRate)}});
    app = std::make_unique<FeedforwardApp>(cfg->path());
    tf = std::make_unique<orvane::TestFacility>(*app);
    app->initialise();
    tf->writeScalar<double>(FF + "frequency", init.frequency);
    tf->writeScalar<double>(FF + "delay", init.delay);
    tf->writeScalar<uint32_t>(FF + "nPeriods", init.nPeriods);
    tf->writeScalar<double>(FF + "amplitude", init.amplitude);
    tf->runApplication();
  }
  void TearDown() override {
    tf.reset();
    app.reset();
  }
  template <typename T> void put(const std::string& name, const T& v) {
    tf->writeScalar<T>(FF + name, v);
    tf->stepApplication();
  }
  std::vector<double> table() { return tf->readArray<double>(TABLE); }
  std::string message() { return tf->readScalar<std::string>(FF + "inputRejectedMessage"); }
  size_t tables() { return tf->updateCount(TABLE); }

  /// The table sample by sample as the formula gives it.
  static std::vector<double> expected(size_t length, double sr, const SineBurstParameters& p,
                                      double amplitude) {
    std::vector<double> t(length);
    computeSineBurstScalar(t.data(), t.size(), sr, p, amplitude);
    return t;
  }
  static double maxDifference(const std::vector<double>& a, const std::vector<double>& b) {
    double m = 0;
    for (size_t i = 0; i < a.size(); ++i)
      m = std::max(m, std::fabs(a[i] - b[i]));
    return m;
  }

  std::unique_ptr<test::ConfigFile> cfg;
  std::unique_ptr<FeedforwardApp> app;
  std::unique_ptr<orvane::TestFacility> tf;
};

TEST_F(FeedforwardTest, OneSinePeriodAtStart) {
  start({});
  EXPECT_EQ(message(), "");
  EXPECT_EQ(tf->updateCount(FF + "inputRejectedMessage"), 1U);
  EXPECT_EQ(tf->takeUpdates<int32_t>(SWAP), std::vector<int32_t>{1});
  auto t = table();
  ASSERT_EQ(t.size(), 65536U);
  EXPECT_DOUBLE_EQ(t[1000], 2.0); // a quarter period of 250 Hz at 1 MHz
  EXPECT_NEAR(t[3000], -2.0, 1e-12);
  EXPECT_NE(t[3999], 0.0);
  for (size_t i = 4000; i < t.size(); ++i)
    ASSERT_EQ(t[i], 0.0) << i;
  EXPECT_LE(maxDifference(t, expected(65536, 1e6, {250.0, 0.0, 1}, 2.0)), 1e-12);
}

TEST_F(FeedforwardTest, InvalidStartUpParametersAreReplacedByDefaults) {
  start({0.0, 0.0, 0, 1.0});
  EXPECT_EQ(message(),
            "Invalid inital parameters for frequency, delay and/or nPeriods received. Setting to defaults.");
  EXPECT_EQ(tf->readScalar<double>(FF + "frequency"), 250.0);
  EXPECT_EQ(tf->readScalar<double>(FF + "delay"), 0.0);
  EXPECT_EQ(tf->readScalar<uint32_t>(FF + "nPeriods"), 1U);
  EXPECT_DOUBLE_EQ(table()[1000], 1.0);
  EXPECT_EQ(tf->pv(FF + "nPeriods").info().direction, orvane::PvDirection::bidirectional);
}

TEST_F(FeedforwardTest, NotANumberFrequencyAtStartUpIsRefused) {
  start({std::nan(""), 0.0, 1, 1.0});
  EXPECT_EQ(message(),
            "Invalid inital parameters for frequency, delay and/or nPeriods received. Setting to defaults.");
  EXPECT_EQ(tf->readScalar<double>(FF + "frequency"), 250.0);
}

TEST_F(FeedforwardTest, NotANumberFrequencyAsAChangeGivesAnEmptyTable) {
  start({});
  put<double>("frequency", std::nan(""));
  EXPECT_EQ(message(), "");
  for (double v : table())
    ASSERT_EQ(v, 0.0);
  EXPECT_EQ(tf->takeUpdates<int32_t>(SWAP), (std::vector<int32_t>{1, 0}));
}

TEST_F(FeedforwardTest, RejectedChangesRestoreAndComputeNothing) {
  start({});
  const size_t before = tables();
  put<double>("delay", -0.001);
  EXPECT_EQ(message(), "Invalid  /Channel0/FeedforwardCompensation/delay, resetting to previous 0.000000");
  EXPECT_EQ(tf->readScalar<double>(FF + "delay"), 0.0);
  put<uint32_t>("nPeriods", 0U);
  EXPECT_EQ(message(), "Invalid  /Channel0/FeedforwardCompensation/nPeriods, resetting to previous 1");
  EXPECT_EQ(tf->readScalar<uint32_t>(FF + "nPeriods"), 1U);
  put<double>("frequency", 0.5);
  EXPECT_EQ(message(),
            "Invalid  /Channel0/FeedforwardCompensation/frequency, resetting to previous 250.000000");
  EXPECT_EQ(tf->readScalar<double>(FF + "frequency"), 250.0);
  put<double>("delay", std::nan(""));
  EXPECT_EQ(message(), "Invalid  /Channel0/FeedforwardCompensation/delay, resetting to previous 0.000000");
  EXPECT_EQ(tables(), before);
  EXPECT_EQ(tf->takeUpdates<int32_t>(SWAP), std::vector<int32_t>{1});
  // The accepted set was not disturbed by the rejected values.
  put<double>("amplitude", 3.0);
  EXPECT_EQ(message(), "");
  EXPECT_DOUBLE_EQ(table()[1000], 3.0);
}

TEST_F(FeedforwardTest, ValidChangesWriteAnEmptyMessageTheTableAndFlip) {
  start({});
  put<double>("amplitude", 1.0);
  put<double>("frequency", 500.0);
  put<uint32_t>("nPeriods", 2U);
  EXPECT_EQ(tf->updateCount(FF + "inputRejectedMessage"), 4U);
  EXPECT_EQ(tf->takeUpdates<int32_t>(SWAP), (std::vector<int32_t>{1, 0, 1, 0}));
  auto t = table();
  EXPECT_DOUBLE_EQ(t[500], 1.0);
  EXPECT_NE(t[3999], 0.0);
  EXPECT_EQ(t[4000], 0.0);
}

TEST_F(FeedforwardTest, DelayedBursts) {
  start({});
  put<double>("delay", 1.5);
  auto t = table();
  EXPECT_EQ(t[1499], 0.0);
  EXPECT_NEAR(t[2500], 2.0, 1e-12);
  EXPECT_NE(t[5499], 0.0);
  EXPECT_EQ(t[5500], 0.0);
  EXPECT_LE(maxDifference(t, expected(65536, 1e6, {250.0, 1.5, 1}, 2.0)), 1e-12);

  put<double>("delay", 0.0015); // start 1.5: the first sample is at 2, half a sample into the burst
  t = table();
  EXPECT_EQ(t[0], 0.0);
  EXPECT_EQ(t[1], 0.0);
  EXPECT_NEAR(t[2], std::sin(twoPi * 250.0 * 0.5 / 1e6) * 2.0, 1e-15);
  EXPECT_GT(t[2], 0.0);
  EXPECT_LE(maxDifference(t, expected(65536, 1e6, {250.0, 0.0015, 1}, 2.0)), 1e-12);
}

TEST_F(FeedforwardTest, BurstMustEndInsideTheTable) {
  start({});
  put<double>("frequency", 15.2587890625); // 1e6 / 65536: the burst ends exactly at the table's length
  EXPECT_EQ(message(),
            "Invalid  /Channel0/FeedforwardCompensation/frequency, resetting to previous 250.000000");
  put<double>("frequency", 15.26); // ends at 65530.8
  EXPECT_EQ(message(), "");
  auto t = table();
  EXPECT_NE(t[65530], 0.0);
  for (size_t i = 65531; i < t.size(); ++i)
    ASSERT_EQ(t[i], 0.0) << i;
  EXPECT_LE(maxDifference(t, expected(65536, 1e6, {15.26, 0.0, 1}, 2.0)), 1e-12);
}

TEST_F(FeedforwardTest, FrequencyBoundsAreInclusive) {
  start({1.0, 0.0, 1, 1.0}, 65536, 1000);
  EXPECT_EQ(message(), "");
  put<double>("frequency", 0.999);
  EXPECT_EQ(message(),
            "Invalid  /Channel0/FeedforwardCompensation/frequency, resetting to previous 1.000000");
  put<double>("frequency", 12000000.0);
  EXPECT_EQ(message(), "");
  put<double>("frequency", 12000000.1);
  EXPECT_EQ(message(),
            "Invalid  /Channel0/FeedforwardCompensation/frequency, resetting to previous 12000000.000000");
}

TEST_F(FeedforwardTest, PassThroughCopiesTheOperatorsTable) {
  start({});
  put<Boolean>("disableFFComputation", Boolean(true));
  EXPECT_EQ(tables(), 1U); // a poll input wakes nothing
  std::vector<float> user(65536, 0.0F);
  user[0] = 0.1F;
  user[65535] = -7.25F;
  tf->writeArray<float>(FF + "ffCompensation", user);
  tf->stepApplication();
  auto t = table();
  EXPECT_EQ(t[0], static_cast<double>(0.1F));
  EXPECT_EQ(t[65535], -7.25);
  EXPECT_EQ(t[1000], 0.0);
  EXPECT_EQ(tf->takeUpdates<int32_t>(SWAP), (std::vector<int32_t>{1, 0}));
  put<double>("amplitude", 5.0); // still the user's table
  EXPECT_EQ(table()[65535], -7.25);
  put<Boolean>("disableFFComputation", Boolean(false));
  put<double>("amplitude", 1.0);
  EXPECT_DOUBLE_EQ(table()[1000], 1.0);
  EXPECT_EQ(table()[65535], 0.0);
}

TEST_F(FeedforwardTest, OperatorsTableMustKeepWithinTheDriveRangeBesideTheDcBias) {
  start({}); // the drive range is 10 V
  const std::string refused =
      "Invalid  /Channel0/FeedforwardCompensation/ffCompensation, keeping the previous table (";
  put<Boolean>("disableFFComputation", Boolean(true));
  tf->writeScalar<double>("/Channel0/StateMachine/dcVoltageSetpoint", 4.0);
  auto userTable = [](size_t at, float value) {
    std::vector<float> t(65536, 0.0F);
    t[at] = value;
    return t;
  };
  auto send = [&](const std::vector<float>& t) {
    tf->writeArray<float>(FF + "ffCompensation", t);
    tf->stepApplication();
  };
  (void)tf->takeUpdates<int32_t>(SWAP);

  send(userTable(100, -6.0F)); // 6 + 4 is the limit itself
  EXPECT_EQ(message(), "");
  EXPECT_EQ(table()[100], -6.0);
  EXPECT_EQ(tf->takeUpdates<int32_t>(SWAP), std::vector<int32_t>{0});

  const size_t before = tables();
  send(userTable(7, 50.0F));
  EXPECT_EQ(message(), refused + "abs(50.000000) + abs(4.000000) > 10.000000).");
  send(userTable(7, 6.5F));
  EXPECT_EQ(message(), refused + "abs(6.500000) + abs(4.000000) > 10.000000).");
  put<double>("amplitude", 3.0); // any wake-up would send the table: refused again
  EXPECT_EQ(message(), refused + "abs(6.500000) + abs(4.000000) > 10.000000).");
  auto nan = userTable(5, 1.0F);
  nan[9] = std::numeric_limits<float>::quiet_NaN();
  send(nan);
  EXPECT_EQ(message(), refused + "element 9 is nan).");
  send(userTable(65535, -std::numeric_limits<float>::infinity()));
  EXPECT_EQ(message(), refused + "element 65535 is -inf).");
  // The board kept the last accepted table and its buffer.
  EXPECT_EQ(tables(), before);
  EXPECT_EQ(table()[100], -6.0);
  EXPECT_TRUE(tf->takeUpdates<int32_t>(SWAP).empty());

  tf->writeScalar<double>("/Channel0/StateMachine/dcVoltageSetpoint", -3.5); // magnitudes count
  send(userTable(7, 6.5F));
  EXPECT_EQ(message(), "");
  EXPECT_EQ(table()[7], 6.5);
  // The computed burst is the sum limiter's business, not this test's.
  put<Boolean>("disableFFComputation", Boolean(false));
  put<double>("amplitude", 9.0);
  EXPECT_EQ(message(), "");
  EXPECT_DOUBLE_EQ(table()[1000], 9.0);
}

TEST_F(FeedforwardTest, OperatorsTableBeyondTheRangeAtStartUpIsNotSent) {
  cfg = std::make_unique<test::ConfigFile>();
  app = std::make_unique<FeedforwardApp>(cfg->path());
  tf = std::make_unique<orvane::TestFacility>(*app);
  app->initialise();
  tf->writeScalar<double>(FF + "frequency", 250.0);
  tf->writeScalar<uint32_t>(FF + "nPeriods", 1U);
  tf->writeScalar<Boolean>(FF + "disableFFComputation", Boolean(true));
  tf->writeArray<float>(FF + "ffCompensation", std::vector<float>(65536, 1000.0F));
  tf->runApplication();
  EXPECT_EQ(message(),
            "Invalid  /Channel0/FeedforwardCompensation/ffCompensation, keeping the previous table "
            "(abs(1000.000000) + abs(0.000000) > 10.000000).");
  EXPECT_EQ(tables(), 0U);
  EXPECT_EQ(tf->updateCount(SWAP), 0U);
}

TEST_F(FeedforwardTest, StartUpDefaultsThatDoNotFitAreClippedAtTheTableEnd) {
  start({0.0, 0.0, 0, 1.0}, 1000, 1000000); // 250 Hz at 1 MHz needs 4000 samples
  auto t = table();
  ASSERT_EQ(t.size(), 1000U);
  EXPECT_DOUBLE_EQ(t[999], std::sin((999 / 1e6) * (250.0 * twoPi)));
  EXPECT_LE(maxDifference(t, expected(1000, 1e6, {250.0, 0.0, 1}, 1.0)), 1e-12);
}

TEST(ControlTable, RangeFollowsTheLoopTest) {
  auto range = [](double f, double d, uint32_t n, size_t len = 65536) {
    auto r = sineBurstRange(len, 1e6, {f, d, n});
    return std::make_pair(r.first, r.last);
  };
  EXPECT_EQ(range(250, 0, 1), std::make_pair(size_t{0}, size_t{4000}));
  EXPECT_EQ(range(250, 1.5, 1), std::make_pair(size_t{1500}, size_t{5500}));
  EXPECT_EQ(range(250, 0.0015, 1), std::make_pair(size_t{2}, size_t{4002}));
  EXPECT_EQ(range(15.26, 0, 1), std::make_pair(size_t{0}, size_t{65531}));
  EXPECT_EQ(range(250, 0, 1, 1000), std::make_pair(size_t{0}, size_t{1000}));
  EXPECT_EQ(range(std::nan(""), 0, 1).second, 0U);
  EXPECT_EQ(range(250, std::nan(""), 1).second, 0U);
  EXPECT_EQ(range(250, 1e300, 1).second, 0U);
}

TEST(ControlTable, VectorKernelMatchesTheScalarFormula) {
  const double rates[] = {1e6, 999983.0, 48000.0};
  const SineBurstParameters sets[] = {{250, 0, 1},        {250, 0, 16},      {1.0, 0.3, 1},
                                      {12e6, 0, 1000},    {3333.3, 7.77, 9}, {15.26, 0.0015, 1},
                                      {100000.5, 12.5, 3}};
  std::vector<double> fast(65536), slow(65536);
  for (double sr : rates)
    for (const auto& p : sets) {
      computeSineBurst(fast.data(), fast.size(), sr, p, 120.0);
      computeSineBurstScalar(slow.data(), slow.size(), sr, p, 120.0);
      for (size_t i = 0; i < fast.size(); ++i)
        ASSERT_NEAR(fast[i], slow[i], 1e-12) << "sr " << sr << " f " << p.frequency << " index " << i;
    }
}

} // namespace
