#include "framework/TestFacility.hpp"

namespace orvane {

TestFacility::TestFacility() : TestFacility(Application::getInstance()) {}

TestFacility::TestFacility(Application& app) : app_(app) {
  if (app_.isInitialised())
    throw std::logic_error("TestFacility must be created before the application is initialised.");
  app_.enableTestableMode();
  app_.processVariables().addUpdateHook([this](const ProcessVariable& pv) {
    auto snap = pv.get();
    boost::lock_guard<boost::mutex> g(recordMutex_);
    pendingUpdates_[pv.index()].push_back(std::move(snap.value));
    ++counts_[pv.index()];
  });
}

TestFacility::~TestFacility() {
  app_.shutdown();
}

void TestFacility::runApplication() {
  app_.initialise();
  app_.run();
  stepApplication();
}

void TestFacility::stepApplication() {
  app_.stepTestable();
}

ProcessVariable& TestFacility::pv(const std::string& path) {
  auto* p = app_.processVariables().find(path);
  if (p == nullptr) throw std::logic_error("TestFacility: no control-system variable '" + path + "'.");
  return *p;
}

std::vector<AnyVector> TestFacility::takeRawUpdates(const std::string& path) {
  auto& p = pv(path);
  boost::lock_guard<boost::mutex> g(recordMutex_);
  std::vector<AnyVector> out;
  out.swap(pendingUpdates_[p.index()]);
  return out;
}

size_t TestFacility::updateCount(const std::string& path) {
  auto& p = pv(path);
  boost::lock_guard<boost::mutex> g(recordMutex_);
  return counts_[p.index()];
}

} // namespace orvane
