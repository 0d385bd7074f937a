// The Channel Access server: the listener and its circuits, subscription fan-out, name search and
// beacons, the trigger generator and the debounced saving of operator settings, all on one
// Boost.Asio io_context. The parts live in src/, one file each.
//
// Threads: every member function is called in the io_context's thread, except where a comment
// says otherwise. Module threads reach the server only through the registry's update hook, which
// copies the value, queues it per variable and posts a wake-up: it never waits for the network.
#pragma once

#include "telvik/bridge/Persistence.hpp"
#include "telvik/bridge/PvTable.hpp"
#include "telvik/server/AccessRules.hpp"
#include "telvik/server/Options.hpp"

#include <boost/asio/io_context.hpp>

#include <cstdint>
#include <memory>

namespace telvik::server {

struct ServerStats {
  std::size_t circuits = 0;
  std::size_t channels = 0;
  std::uint64_t circuitsAccepted = 0;
  std::uint64_t circuitsClosedForFaults = 0;
  std::uint64_t monitorUpdatesSent = 0;
  std::uint64_t monitorUpdatesCoalesced = 0;
  std::uint64_t beaconsSent = 0;
};

class CaServer {
 public:
  /// Installs the update hook: build it before the application runs. `store` may be null. Destroy
  /// it before the io_context and not while the io_context runs in another thread: the destructor
  /// finishes the aborted operations itself.
  /// `metadata` gives the variables their record conventions (bridge::MetadataError when they do
  /// not fit a variable).
  CaServer(boost::asio::io_context& io, orvane::ProcessVariableRegistry& registry, Options options,
           AccessRules rules, bridge::SettingsStore* store, const bridge::MetadataRules& metadata = {});
  // A handler that throws while the server closes ends the process; the terminate handler names it.
  // NOLINTNEXTLINE(bugprone-exception-escape)
  ~CaServer();
  CaServer(const CaServer&) = delete;
  CaServer& operator=(const CaServer&) = delete;

  /// Binds the sockets (std::runtime_error naming address and port when that fails), then starts
  /// serving, the beacons and the trigger generator. Any thread, before the io_context runs.
  void start();
  /// Closes every socket and timer; pending work ends. Then saves the settings once more.
  void stop();

  /// The TCP port that circuits connect to: the configured one, or a free one when that was
  /// taken on this host or the options said 0.
  [[nodiscard]] std::uint16_t port() const;
  /// The UDP port searches come to: the configured one, shared with other servers of the host
  /// (the TCP port when the options said 0).
  [[nodiscard]] std::uint16_t searchPort() const;
  [[nodiscard]] const bridge::PvTable& table() const;
  /// Counters; call in the io thread (or when it does not run).
  [[nodiscard]] ServerStats stats() const;

  /// Saves the settings now if persistence is on. Any thread.
  void saveSettings();

  class Impl;

 private:
  std::shared_ptr<Impl> impl_;
};

/// Raises the soft limit of open descriptors towards the hard one, so that circuits are bounded by
/// the options rather than by the customary soft limit of 1024. Once at start, before threads.
void raiseDescriptorLimit();

} // namespace telvik::server
