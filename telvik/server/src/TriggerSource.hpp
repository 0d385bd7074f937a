// The internal trigger generator: writes an incrementing count to /Server/triggerNumber at a fixed
// rate, for applications whose modules step on that trigger.
#pragma once

#include "telvik/bridge/PvTable.hpp"

#include <boost/asio/steady_timer.hpp>

#include <chrono>
#include <cstdint>
#include <memory>

namespace telvik::server {

class TriggerSource : public std::enable_shared_from_this<TriggerSource> {
 public:
  TriggerSource(boost::asio::io_context& io, const bridge::PvTable& table, double rate);

  /// Starts at once; says so and stays off when the variable is missing or the application feeds it.
  void start();
  void stop();

 private:
  void schedule();

  const bridge::PvTable& table_;
  double rate_;
  boost::asio::steady_timer timer_;
  bridge::ServedVariable* trigger_ = nullptr;
  std::int64_t count_ = 0;
  std::chrono::steady_clock::time_point next_{};
  bool stopped_ = false;
};

} // namespace telvik::server
