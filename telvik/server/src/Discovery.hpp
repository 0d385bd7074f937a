// How clients find the server: answers to UDP name searches on every interface served, searches
// passed on to the other servers of the port on this host (SearchForward.hpp), and beacons.
#pragma once

#include "telvik/bridge/PvTable.hpp"
#include "telvik/protocol/Constants.hpp"
#include "telvik/server/Options.hpp"
#include "telvik/server/Server.hpp"

#include <boost/asio/ip/address_v4.hpp>
#include <boost/asio/ip/udp.hpp>
#include <boost/asio/steady_timer.hpp>

#include <array>
#include <memory>
#include <optional>
#include <vector>

namespace telvik::server {

class Discovery : public std::enable_shared_from_this<Discovery> {
 public:
  Discovery(boost::asio::io_context& io, const bridge::PvTable& table, const Options& options,
            ServerStats& stats);

  /// Binds the search sockets of every address at `port`, sharing it with other servers: one on
  /// the address and, where its interface has one, one on its broadcast address (a socket on a
  /// unicast address gets no broadcasts). The error and the address that failed, if any.
  [[nodiscard]] boost::system::error_code bind(const std::vector<boost::asio::ip::address_v4>& addresses,
                                               std::uint16_t port, std::string& failed);
  /// Resolves the beacon addresses (std::runtime_error naming one that does not resolve), joins
  /// the loopback group of forwarded searches (a warning when that fails; searches are then
  /// answered as before), then answers searches with `tcpPort` and starts the beacons.
  void start(std::uint16_t tcpPort);
  void stop();

  /// Where beacons go; known after start().
  [[nodiscard]] const std::vector<boost::asio::ip::udp::endpoint>& beaconTargets() const {
    return beaconTargets_;
  }
  /// Whether searches sent to this host's address are passed on to the other servers of the port.
  [[nodiscard]] bool forwarding() const { return forwarding_; }

 private:
  struct Listener {
    boost::asio::ip::address_v4 address; // 0.0.0.0: every interface
    boost::asio::ip::udp::socket unicast;
    std::optional<boost::asio::ip::udp::socket> broadcast;
  };
  enum class Source { unicast, broadcast, forwarded };
  struct Datagram;

  void openForwarding();
  void wait(boost::asio::ip::udp::socket& socket, Listener* listener, Source source);
  void drain(boost::asio::ip::udp::socket& socket, Listener* listener, Source source);
  void onSearch(Listener& listener, const Datagram& d, Source source);
  void onForwarded(const Datagram& d);
  /// The replies to the searches of a datagram, empty when no name is served here.
  [[nodiscard]] protocol::Bytes answer(protocol::ByteView datagram, bool& hadSearch) const;
  [[nodiscard]] bool ignored(const boost::asio::ip::address_v4& client) const;
  [[nodiscard]] bool isBroadcast(const boost::asio::ip::address_v4& a) const;
  void sendBeacon();

  boost::asio::io_context& io_;
  const bridge::PvTable& table_;
  const Options& options_;
  ServerStats& stats_;
  std::vector<std::unique_ptr<Listener>> listeners_;
  std::vector<boost::asio::ip::address_v4> broadcastAddresses_; // of the host, to tell broadcasts apart
  std::uint16_t port_ = 0;
  boost::asio::ip::udp::socket forwardIn_;
  boost::asio::ip::udp::socket forwardOut_;
  bool forwarding_ = false;
  std::uint64_t senderId_ = 0;
  boost::asio::ip::udp::socket beaconSocket_;
  boost::asio::steady_timer beaconTimer_;
  std::array<std::uint8_t, protocol::maxDatagramSize> buffer_{};
  std::vector<boost::asio::ip::udp::endpoint> beaconTargets_;
  std::uint32_t beaconId_ = 0;
  double beaconGap_ = 0.02; // seconds; doubles up to the configured period
  std::uint16_t tcpPort_ = 0;
  bool stopped_ = false;
};

} // namespace telvik::server
