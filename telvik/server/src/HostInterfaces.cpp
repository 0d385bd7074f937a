#include "HostInterfaces.hpp"

#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>

#include <algorithm>

namespace telvik::server {

namespace ip = boost::asio::ip;

namespace {

ip::address_v4 fromSockaddr(const sockaddr* sa) {
  const auto* in = reinterpret_cast<const sockaddr_in*>(sa);
  return ip::address_v4(ntohl(in->sin_addr.s_addr));
}

std::optional<ip::address_v4> broadcastOf(const InterfaceAddress& i) {
  if (i.broadcast) return i.broadcast;
  if (i.loopback) return ip::address_v4(i.address.to_uint() | ~i.netmask.to_uint());
  return std::nullopt;
}

} // namespace

std::vector<InterfaceAddress> hostInterfaces() {
  std::vector<InterfaceAddress> out;
  ifaddrs* list = nullptr;
  if (::getifaddrs(&list) != 0) return out;
  for (ifaddrs* i = list; i != nullptr; i = i->ifa_next) {
    if (i->ifa_addr == nullptr || i->ifa_addr->sa_family != AF_INET) continue;
    InterfaceAddress a;
    a.name = i->ifa_name != nullptr ? i->ifa_name : "";
    a.address = fromSockaddr(i->ifa_addr);
    if (i->ifa_netmask != nullptr) a.netmask = fromSockaddr(i->ifa_netmask);
    if ((i->ifa_flags & IFF_BROADCAST) != 0 && i->ifa_broadaddr != nullptr)
      a.broadcast = fromSockaddr(i->ifa_broadaddr);
    a.loopback = (i->ifa_flags & IFF_LOOPBACK) != 0;
    a.up = (i->ifa_flags & IFF_UP) != 0;
    out.push_back(a);
  }
  ::freeifaddrs(list);
  return out;
}

std::optional<ip::address_v4> broadcastAddressOf(const ip::address_v4& address,
                                                 const std::vector<InterfaceAddress>& interfaces) {
  for (auto& i : interfaces)
    if (i.address == address) return broadcastOf(i);
  return std::nullopt;
}

std::vector<ip::address_v4> allBroadcastAddresses(const std::vector<InterfaceAddress>& interfaces) {
  std::vector<ip::address_v4> out;
  for (auto& i : interfaces) {
    if (!i.up) continue;
    auto b = broadcastOf(i);
    if (b && std::find(out.begin(), out.end(), *b) == out.end()) out.push_back(*b);
  }
  return out;
}

} // namespace telvik::server
