// The host's IPv4 interface addresses, and where each one receives broadcasts.
#pragma once

#include <boost/asio/ip/address_v4.hpp>

#include <optional>
#include <string>
#include <vector>

namespace telvik::server {

struct InterfaceAddress {
  std::string name;
  boost::asio::ip::address_v4 address;
  boost::asio::ip::address_v4 netmask;
  std::optional<boost::asio::ip::address_v4> broadcast; // as the interface announces it
  bool loopback = false;
  bool up = false;
};

/// Every IPv4 address of the host's interfaces (getifaddrs); empty when it cannot be listed.
[[nodiscard]] std::vector<InterfaceAddress> hostInterfaces();

/// The broadcast address at which a socket must be bound to receive the broadcasts that reach the
/// interface holding `address`; nullopt when that interface has none or the host has no such
/// address. A loopback interface announces none, yet the kernel delivers datagrams to the top
/// of its network (127.255.255.255) as broadcasts, so that address is taken for it.
[[nodiscard]] std::optional<boost::asio::ip::address_v4>
broadcastAddressOf(const boost::asio::ip::address_v4& address,
                   const std::vector<InterfaceAddress>& interfaces);

/// The broadcast addresses of every interface that is up, for a server on every interface.
[[nodiscard]] std::vector<boost::asio::ip::address_v4>
allBroadcastAddresses(const std::vector<InterfaceAddress>& interfaces);

} // namespace telvik::server
