#include "modules/InputRejectedCollector.hpp"
#include "ModuleTestSupport.hpp"

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <memory>

using namespace quellor;
using orvane::Boolean;

namespace {

const std::string CH = "/Channel0/";

struct CollectorApp : orvane::Application {
  explicit CollectorApp(const std::string& configFile)
      : Application("collectortest"), config(this, "Configuration", configFile) {}
  ~CollectorApp() override { shutdown(); }
  orvane::ConfigReader config;
  orvane::ModuleGroup channel0{this, "Channel0", ""};
  InputRejectedCollector collector{&channel0, "InputRejectedCollector", ""};
  void defineConnections() override { findTag(".*").connectTo(orvane::ControlSystemModule{}); }
};

std::chrono::system_clock::time_point localTime(int y, int mo, int d, int h, int mi, int s) {
  std::tm tm{};
  tm.tm_year = y - 1900;
  tm.tm_mon = mo - 1;
  tm.tm_mday = d;
  tm.tm_hour = h;
  tm.tm_min = mi;
  tm.tm_sec = s;
  tm.tm_isdst = -1;
  return std::chrono::system_clock::from_time_t(std::mktime(&tm));
}

class CollectorTest : public ::testing::Test {
 protected:
  void SetUp() override {
    app = std::make_unique<CollectorApp>(cfg.path());
    app->collector.setClock([this] { return now; });
    tf = std::make_unique<orvane::TestFacility>(*app);
    app->initialise();
    journal.watch(*app, {{CH + "inputRejectedMessage", "msg"}, {CH + "inputRejectedFlag", "flag"}});
    // Values held before the loop starts are not collected.
    tf->writeScalar<std::string>(CH + "StateMachine/inputRejectedMessage", "old news");
    tf->runApplication();
  }
  void TearDown() override {
    tf.reset();
    app.reset();
  }
  void report(const std::string& source, const std::string& text) {
    tf->writeScalar<std::string>(CH + source + "/inputRejectedMessage", text);
    tf->stepApplication();
  }
  void clear(int32_t v) {
    tf->writeScalar<int32_t>(CH + "clearInputRejectedMessage", v);
    tf->stepApplication();
  }

  std::chrono::system_clock::time_point now{localTime(2024, 3, 5, 14, 7, 9) + std::chrono::milliseconds(900)};
  test::Journal journal;
  test::ConfigFile cfg;
  std::unique_ptr<CollectorApp> app;
  std::unique_ptr<orvane::TestFacility> tf;
};

using Events = std::vector<std::string>;

TEST_F(CollectorTest, StartsClearAndStampsEachRejection) {
  EXPECT_EQ(journal.take(), (Events{"msg=", "flag=0"}));
  report("VoltageSumLimiter", "DC voltage setpoint 7.000000 rejected.");
  EXPECT_EQ(journal.take(),
            (Events{"msg=2024-03-05 14:07:09: DC voltage setpoint 7.000000 rejected.", "flag=1"}));

  now = localTime(2024, 3, 5, 14, 8, 0);
  report("FeedforwardCompensation", "Invalid  x");
  EXPECT_EQ(tf->readScalar<std::string>(CH + "inputRejectedMessage"), "2024-03-05 14:08:00: Invalid  x");
  EXPECT_TRUE(tf->readScalar<Boolean>(CH + "inputRejectedFlag").value);
  report("StateMachine", "Requested state change rejected. Still DISABLING.");
  EXPECT_EQ(tf->readScalar<std::string>(CH + "inputRejectedMessage"),
            "2024-03-05 14:08:00: Requested state change rejected. Still DISABLING.");
}

TEST_F(CollectorTest, EmptyReportsChangeNothing) {
  report("StateMachine", "refused");
  journal.take();
  report("VoltageSumLimiter", "");
  report("FeedforwardCompensation", "");
  EXPECT_EQ(journal.take(), Events{});
  EXPECT_EQ(tf->readScalar<std::string>(CH + "inputRejectedMessage"), "2024-03-05 14:07:09: refused");
}

TEST_F(CollectorTest, AnyValueClears) {
  report("StateMachine", "refused");
  journal.take();
  clear(0);
  EXPECT_EQ(journal.take(), (Events{"msg=", "flag=0"}));
  clear(17); // clearing when nothing is set writes both again
  EXPECT_EQ(journal.take(), (Events{"msg=", "flag=0"}));
}

// The time zone changes while this test's thread is the only one.
// NOLINTBEGIN(concurrency-mt-unsafe)
TEST(CollectorTimestamp, LocalTimeInTheClassicLocale) {
  const char* old = std::getenv("TZ");
  const std::string saved = old != nullptr ? old : "";
  setenv("TZ", "UTC0", 1);
  tzset();
  const auto t = std::chrono::system_clock::from_time_t(1709647629) + std::chrono::milliseconds(999);
  EXPECT_EQ(InputRejectedCollector::timestamp(t), "2024-03-05 14:07:09");
  setenv("TZ", "XST-2", 1); // two hours east of UTC, no time-zone database needed
  tzset();
  EXPECT_EQ(InputRejectedCollector::timestamp(t), "2024-03-05 16:07:09");
  if (old != nullptr)
    setenv("TZ", saved.c_str(), 1);
  else
    unsetenv("TZ");
  tzset();
}
// NOLINTEND(concurrency-mt-unsafe)

} // namespace
