#include "telvik/server/Health.hpp"

#include "ProductVersion.hpp"
#include "framework/Orvane.hpp"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <chrono>

using namespace telvik::server;

namespace {

struct HealthApp : orvane::Application {
  HealthApp() : Application("healthtest") {}
  ~HealthApp() override { shutdown(); }
  void defineConnections() override {}
};

template <typename T> T value(orvane::Application& app, const std::string& path) {
  auto* pv = app.processVariables().find(path);
  if (pv == nullptr) throw std::runtime_error("no variable " + path);
  return std::get<std::vector<T>>(pv->get().value).at(0);
}

TEST(Health, ReadOnlyVariablesThatFollowTheServerAndTheProcess) {
  HealthApp app;
  HealthVariables health(app);
  app.initialise();
  for (const char* name : {"uptime", "startTime", "version", "cpuLoad", "residentMemory", "openDescriptors",
                           "descriptorLimit", "clients", "channels", "lostValues", "lostValuesWorst",
                           "lostValuesWorstCount", "settingsMessage", "heartbeat"}) {
    auto* pv = app.processVariables().find(std::string("/Server/") + name);
    ASSERT_NE(pv, nullptr) << name;
    EXPECT_FALSE(pv->info().writable()) << name;
    EXPECT_FALSE(pv->info().description.empty()) << name;
  }

  health.update(HealthCounters{2, 5, orvane::LostValues{7, "/A/x", 4}, "cannot write 'x.tmp'"});
  EXPECT_EQ(value<int32_t>(app, "/Server/clients"), 2);
  EXPECT_EQ(value<int32_t>(app, "/Server/channels"), 5);
  EXPECT_EQ(value<uint64_t>(app, "/Server/lostValues"), 7u);
  EXPECT_EQ(value<std::string>(app, "/Server/lostValuesWorst"), "/A/x");
  EXPECT_EQ(value<uint64_t>(app, "/Server/lostValuesWorstCount"), 4u);
  EXPECT_EQ(value<std::string>(app, "/Server/settingsMessage"), "cannot write 'x.tmp'");
  EXPECT_EQ(value<int32_t>(app, "/Server/heartbeat"), 1);
  EXPECT_EQ(value<std::string>(app, "/Server/version"), product::versionText);
  EXPECT_FALSE(value<std::string>(app, "/Server/startTime").empty());
  EXPECT_GT(value<double>(app, "/Server/residentMemory"), 0.0);
  EXPECT_GT(value<int32_t>(app, "/Server/descriptorLimit"), 0);
  const auto descriptors = value<int32_t>(app, "/Server/openDescriptors");
  EXPECT_GT(descriptors, 2);

  // Some CPU time and some descriptors more, and the next second's update shows them.
  std::vector<int> fds;
  fds.reserve(20);
  for (int i = 0; i < 20; ++i)
    fds.push_back(::open("/dev/null", O_RDONLY));
  std::atomic<double> sink{0};
  const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(50);
  while (std::chrono::steady_clock::now() < until)
    for (int i = 0; i < 1000; ++i)
      sink = sink + 1e-9 * i;
  health.update(HealthCounters{0, 0, orvane::LostValues{}, ""});
  for (int fd : fds)
    ::close(fd);
  EXPECT_EQ(value<int32_t>(app, "/Server/heartbeat"), 2);
  EXPECT_EQ(value<int32_t>(app, "/Server/clients"), 0);
  EXPECT_EQ(value<std::string>(app, "/Server/lostValuesWorst"), "");
  EXPECT_EQ(value<std::string>(app, "/Server/settingsMessage"), "");
  EXPECT_GE(value<int32_t>(app, "/Server/openDescriptors"), descriptors + 20);
  EXPECT_GT(value<double>(app, "/Server/cpuLoad"), 0.0);
  EXPECT_LE(value<double>(app, "/Server/cpuLoad"), 100.0);
}

TEST(Health, AnUnchangedValueIsNoNewEvent) {
  HealthApp app;
  HealthVariables health(app);
  app.initialise();
  auto* clients = app.processVariables().find("/Server/clients");
  int events = 0;
  app.processVariables().addUpdateHook([&](const orvane::ProcessVariable& pv) { events += &pv == clients; });
  health.update(HealthCounters{3, 0, {}, ""});
  health.update(HealthCounters{3, 0, {}, ""});
  EXPECT_EQ(events, 1);
  health.update(HealthCounters{4, 0, {}, ""});
  EXPECT_EQ(events, 2);
}

struct Clash : orvane::ApplicationModule {
  using ApplicationModule::ApplicationModule;
  orvane::ScalarOutput<int32_t> heartbeat{this, "heartbeat", "", "the application's own"};
  void mainLoop() override {}
};

struct ClashApp : orvane::Application {
  ClashApp() : Application("clashtest") {}
  ~ClashApp() override { shutdown(); }
  Clash server{this, "Server", ""};
  void defineConnections() override { findTag(".*").connectTo(orvane::ControlSystemModule{}); }
};

TEST(Health, AnApplicationVariableOnAHealthPathIsNamed) {
  ClashApp app;
  HealthVariables health(app);
  try {
    app.initialise();
    FAIL() << "no error";
  } catch (const std::logic_error& e) {
    EXPECT_NE(std::string(e.what()).find("/Server/heartbeat"), std::string::npos) << e.what();
    EXPECT_NE(std::string(e.what()).find("health"), std::string::npos) << e.what();
  }
}

TEST(Health, ResidentMemoryFromStatm) {
  EXPECT_EQ(residentBytesFromStatm("10000 250 30 5 0 400 0\n", 4096), 250u * 4096);
  EXPECT_EQ(residentBytesFromStatm("", 4096), std::nullopt);
  EXPECT_EQ(residentBytesFromStatm("12 x", 4096), std::nullopt);
}

} // namespace
