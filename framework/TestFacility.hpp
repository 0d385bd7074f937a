#pragma once
// Drives an application deterministically for tests: stepApplication() runs the module loops
// (and the device threads, which are tasks too in testable mode) one at a time in the test's own
// thread, in the order they became ready, and returns when none is ready: every one of them waits
// for something that has not come, whatever else may be queued for it. Declare the facility after
// the application it drives, so that it is destroyed first.

#include "framework/Application.hpp"

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
  /// Lets the application run until it is at rest. Rethrows an exception that ended a loop.
  void stepApplication();

  template <typename T> void writeScalar(const std::string& path, const T& value) {
    pv(path).write(AnyVector(std::in_place_type<std::vector<T>>, std::vector<T>{value}));
  }
  template <typename T> void writeArray(const std::string& path, const std::vector<T>& value) {
    pv(path).write(AnyVector(std::in_place_type<std::vector<T>>, value));
  }
  template <typename T> T readScalar(const std::string& path) {
    return anyVectorAs<T>(pv(path).get().value).at(0);
  }
  template <typename T> std::vector<T> readArray(const std::string& path) {
    return anyVectorAs<T>(pv(path).get().value);
  }
  DataValidity readValidity(const std::string& path) { return pv(path).get().validity; }
  VersionNumber readVersion(const std::string& path) { return pv(path).get().version; }

  /// First elements of every value the application published on the path since the last call.
  template <typename T> std::vector<T> takeUpdates(const std::string& path) {
    std::vector<T> out;
    for (auto& v : takeRawUpdates(path))
      out.push_back(anyVectorAs<T>(v).at(0));
    return out;
  }
  std::vector<AnyVector> takeRawUpdates(const std::string& path);
  /// Number of values published on the path since the application started.
  size_t updateCount(const std::string& path);

  // Registers of a dummy device (device map URI "dummy:"), by device alias and register path,
  // whether or not the device module has the device open. Defined by the device layer
  // (framework/device/src/TestFacilityDevice.cpp).
  std::vector<uint32_t> readDeviceRaw(const std::string& alias, const std::string& registerPath);
  void writeDeviceRaw(const std::string& alias, const std::string& registerPath,
                      const std::vector<uint32_t>& words);
  /// Converted as the device module converts them.
  AnyVector readDeviceAny(const std::string& alias, const std::string& registerPath, ValueType type);
  void writeDeviceAny(const std::string& alias, const std::string& registerPath, const AnyVector& value);
  template <typename T>
  std::vector<T> readDeviceArray(const std::string& alias, const std::string& registerPath) {
    return anyVectorAs<T>(readDeviceAny(alias, registerPath, valueTypeOf<T>));
  }
  template <typename T> T readDeviceScalar(const std::string& alias, const std::string& registerPath) {
    return readDeviceArray<T>(alias, registerPath).at(0);
  }
  template <typename T>
  void writeDeviceArray(const std::string& alias, const std::string& registerPath,
                        const std::vector<T>& value) {
    writeDeviceAny(alias, registerPath, AnyVector(std::in_place_type<std::vector<T>>, value));
  }
  template <typename T>
  void writeDeviceScalar(const std::string& alias, const std::string& registerPath, const T& v) {
    writeDeviceArray<T>(alias, registerPath, std::vector<T>{v});
  }
  /// The next `count` register accesses of the device fail as a broken link would; the device
  /// module turns faulty at the first of them.
  void injectDeviceFault(const std::string& alias, size_t count = 1);
  /// The next `count` openings of the device fail.
  void failDeviceOpens(const std::string& alias, size_t count = 1);
  /// In testable mode the device's recovery waits after a failed attempt until this call.
  void retryDeviceRecovery(const std::string& alias);

  /// The control-system variable; throws std::logic_error naming the path when there is none.
  ProcessVariable& pv(const std::string& path);
  [[nodiscard]] Application& application() { return app_; }

 private:
  Application& app_;
  boost::mutex recordMutex_;
  std::map<size_t, std::vector<AnyVector>> pendingUpdates_;
  std::map<size_t, size_t> counts_;
};

} // namespace orvane
