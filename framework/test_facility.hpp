#pragma once
// Drives an application deterministically for tests: module threads run one at a time, and
// stepApplication() returns when every queue is empty and every thread waits. Declare the
// facility after the application it drives, so that it is destroyed first.

#include "framework/application.hpp"

#include <boost/thread/mutex.hpp>

#include <map>
#include <string>
#include <vector>

namespace orvane {

class TestFacility {
public:
  /// Puts the application into testable mode; build it before the application is initialised.
  explicit TestFacility(Application& app);
  TestFacility();
  ~TestFacility();
  TestFacility(const TestFacility&) = delete;
  TestFacility& operator=(const TestFacility&) = delete;

  /// Initialises and runs the application, then steps it to rest.
  void runApplication();
  /// Lets the application run until it is at rest. Rethrows an exception that ended a thread.
  void stepApplication();

  template <typename T> void writeScalar(const std::string& path, const T& value) {
    pv(path).write(AnyVector(std::in_place_type<std::vector<T>>, std::vector<T>{value}));
  }
  template <typename T> void writeArray(const std::string& path, const std::vector<T>& value) {
    pv(path).write(AnyVector(std::in_place_type<std::vector<T>>, value));
  }
  template <typename T> T readScalar(const std::string& path) { return anyVectorAs<T>(pv(path).get().value).at(0); }
  template <typename T> std::vector<T> readArray(const std::string& path) {
    return anyVectorAs<T>(pv(path).get().value);
  }
  DataValidity readValidity(const std::string& path) { return pv(path).get().validity; }
  VersionNumber readVersion(const std::string& path) { return pv(path).get().version; }

  /// First elements of every value the application published on the path since the last call.
  template <typename T> std::vector<T> takeUpdates(const std::string& path) {
    std::vector<T> out;
    for (auto& v : takeRawUpdates(path)) out.push_back(anyVectorAs<T>(v).at(0));
    return out;
  }
  std::vector<AnyVector> takeRawUpdates(const std::string& path);
  /// Number of values published on the path since the application started.
  size_t updateCount(const std::string& path);

  /// The control-system variable; throws std::logic_error naming the path when there is none.
  ProcessVariable& pv(const std::string& path);
  [[nodiscard]] Application& application() { return app_; }

private:
  Application& app_;
  boost::unique_lock<boost::mutex> lock_;
  boost::mutex recordMutex_;
  std::map<size_t, std::vector<AnyVector>> pendingUpdates_;
  std::map<size_t, size_t> counts_;
};

} // namespace orvane
