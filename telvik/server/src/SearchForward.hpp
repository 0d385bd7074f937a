// Searches that one server passes on to the other servers of its port on the same host.
//
// Servers that share a UDP port all get every broadcast, but a datagram sent to the host's own
// address reaches only one of them: the kernel picks one socket. That one passes the datagram on
// to a multicast group on the loopback interface, wrapped with the client's address, and every
// other server of the port answers the client directly, as if the search had come to it. The
// group is joined on the loopback interface only and sent to with time-to-live 0, so nothing of
// it ever leaves the host.
#pragma once

#include "telvik/protocol/Header.hpp"

#include <boost/asio/ip/address_v4.hpp>

#include <cstdint>
#include <optional>

namespace telvik::server::forward {

// Link-local, never routed; the same group for every port, as the port tells the servers apart.
inline constexpr std::uint32_t groupAddress = 0xE0000080; // 224.0.0.128

inline constexpr std::size_t headerSize = 24;

struct Forwarded {
  std::uint64_t sender = 0; // the forwarding server, which ignores its own datagrams
  boost::asio::ip::address_v4 client;
  std::uint16_t clientPort = 0;
  boost::asio::ip::address_v4 destination; // the address the client sent its search to
  protocol::ByteView datagram;             // as the client sent it
};

/// The header followed by the client's datagram.
[[nodiscard]] protocol::Bytes encode(const Forwarded& f);
/// Anything but a complete, current header with a client port is nullopt. The view points into
/// `bytes`.
[[nodiscard]] std::optional<Forwarded> decode(protocol::ByteView bytes);

} // namespace telvik::server::forward
