// Periodic work of the server: closing circuits whose client stopped taking data, and saving the
// operator settings a little while after they change.
#pragma once

#include "telvik/bridge/Persistence.hpp"
#include "telvik/server/Options.hpp"

#include <boost/asio/steady_timer.hpp>

#include <atomic>
#include <memory>
#include <set>
#include <vector>

namespace telvik::server {

class Circuit;

// Looks at every circuit a few times per limit and closes those that have stalled.
class Housekeeping : public std::enable_shared_from_this<Housekeeping> {
 public:
  Housekeeping(boost::asio::io_context& io, const Options& options,
               const std::set<std::shared_ptr<Circuit>>& circuits);

  void start();
  void stop();

 private:
  void run();

  const Options& options_;
  const std::set<std::shared_ptr<Circuit>>& circuits_;
  boost::asio::steady_timer timer_;
  bool stopped_ = false;
};

// Saves the settings once, a configured delay after the first change: a burst of changes costs
// one write.
class SettingsSaver : public std::enable_shared_from_this<SettingsSaver> {
 public:
  /// `store` may be null (no persistence).
  SettingsSaver(boost::asio::io_context& io, orvane::ProcessVariableRegistry& registry,
                bridge::SettingsStore* store, double delay);

  /// Installs the update hook that arms the save; it holds only a weak reference.
  void attach();
  void stop();
  /// Saves now if persistence is on; reports a failure on standard error. Any thread.
  void save();

 private:
  void arm();

  boost::asio::io_context& io_;
  orvane::ProcessVariableRegistry& registry_;
  bridge::SettingsStore* store_;
  double delay_;
  std::vector<bool> persists_; // by registry index
  boost::asio::steady_timer timer_;
  std::atomic<bool> armed_{false};
  bool stopped_ = false;
};

} // namespace telvik::server
