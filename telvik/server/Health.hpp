// The server's health as read-only variables under /Server/, in the manner operators know from
// IOC statistics: uptime, start time, version, CPU share, resident memory, descriptors, clients
// and channels, values lost in the variable networks, a heartbeat. Updated once a second.
#pragma once

#include "framework/Application.hpp"

#include <boost/asio/io_context.hpp>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace telvik::server {

// What the server and the framework know, and the process does not.
struct HealthCounters {
  std::size_t clients = 0;
  std::size_t channels = 0;
  orvane::LostValues lost;
  std::string settingsProblem; // why operator settings are not being saved; empty while they are
};

// The process as the system sees it.
struct ProcessSample {
  double cpuSeconds = 0; // user and system time so far
  std::optional<std::uint64_t> residentBytes;
  std::optional<std::uint64_t> openDescriptors;
  std::optional<std::uint64_t> descriptorLimit;
};

[[nodiscard]] ProcessSample sampleProcess();
/// Resident bytes from the text of /proc/self/statm (its second field counts pages).
[[nodiscard]] std::optional<std::uint64_t> residentBytesFromStatm(std::string_view statm,
                                                                  std::uint64_t pageSize);

class HealthVariables {
 public:
  /// Adds the variables to the application, each fed by this object: call before
  /// Application::initialise(), and keep the object for as long as the application lives.
  /// A path the application already feeds is a configuration error at initialisation, naming it.
  explicit HealthVariables(orvane::Application& app);
  ~HealthVariables();
  HealthVariables(const HealthVariables&) = delete;
  HealthVariables& operator=(const HealthVariables&) = delete;

  /// Samples the process and sends what changed; the CPU share is taken over the time since the
  /// previous call. One thread at a time; never blocks for long.
  void update(const HealthCounters& counters);
  /// Updates at once, then once a second in the io_context's thread, taking `counters` there.
  void start(boost::asio::io_context& io, std::function<HealthCounters()> counters);
  /// In the io_context's thread, or when it does not run; before the io_context is destroyed.
  void stop();

 private:
  struct Impl;
  std::shared_ptr<Impl> impl_;
};

} // namespace telvik::server
