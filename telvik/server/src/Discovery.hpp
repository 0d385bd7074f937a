// How clients find the server: answers to UDP name searches, and beacons that announce it.
#pragma once

#include "telvik/bridge/PvTable.hpp"
#include "telvik/protocol/Constants.hpp"
#include "telvik/server/Options.hpp"
#include "telvik/server/Server.hpp"

#include <boost/asio/ip/udp.hpp>
#include <boost/asio/steady_timer.hpp>

#include <array>
#include <memory>
#include <vector>

namespace telvik::server {

class Discovery : public std::enable_shared_from_this<Discovery> {
 public:
  Discovery(boost::asio::io_context& io, const bridge::PvTable& table, const Options& options,
            ServerStats& stats);

  /// Binds the search socket; the error when the address or port is taken.
  [[nodiscard]] boost::system::error_code bind(const boost::asio::ip::address& address, std::uint16_t port);
  /// Resolves the beacon addresses (std::runtime_error naming one that does not resolve), then
  /// answers searches with `tcpPort` and starts the beacons.
  void start(std::uint16_t tcpPort);
  void stop();

 private:
  void receive();
  void answer(std::size_t n);
  void sendBeacon();

  boost::asio::io_context& io_;
  const bridge::PvTable& table_;
  const Options& options_;
  ServerStats& stats_;
  boost::asio::ip::udp::socket udp_;
  boost::asio::ip::udp::socket beaconSocket_;
  boost::asio::steady_timer beaconTimer_;
  std::array<std::uint8_t, protocol::maxDatagramSize> buffer_{};
  boost::asio::ip::udp::endpoint peer_;
  std::vector<boost::asio::ip::udp::endpoint> beaconTargets_;
  std::uint32_t beaconId_ = 0;
  double beaconGap_ = 0.02; // seconds; doubles up to the configured period
  std::uint16_t tcpPort_ = 0;
  bool stopped_ = false;
};

} // namespace telvik::server
