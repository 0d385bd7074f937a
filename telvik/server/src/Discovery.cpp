#include "Discovery.hpp"

#include "HostInterfaces.hpp"
#include "SearchForward.hpp"

#include "framework/Log.hpp"
#include "telvik/protocol/Decoder.hpp"
#include "telvik/protocol/Messages.hpp"

#include <boost/asio/ip/multicast.hpp>

#include <netinet/in.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <random>

namespace telvik::server {

namespace asio = boost::asio;
namespace ip = asio::ip;
using ip::udp;
namespace p = telvik::protocol;

// Datagrams taken per wake-up of one socket, so that a flood on one cannot starve the others.
constexpr int datagramsPerWake = 64;

struct Discovery::Datagram {
  p::ByteView bytes;
  udp::endpoint from;
  ip::address_v4 destination; // as addressed by the sender
  ip::address_v4 local;       // the address of the interface it came in on
  bool hasInfo = false;
};

namespace {

void reuse(udp::socket& s) {
  s.set_option(asio::socket_base::reuse_address(true));
  // Several servers on the port, as IOCs do it: broadcasts reach every socket, a unicast one.
  int on = 1;
  ::setsockopt(s.native_handle(), SOL_SOCKET, SO_REUSEPORT, &on, sizeof on);
}

// A datagram's address, data and room for its IP_PKTINFO, as recvmsg and sendmsg take them.
struct Message {
  sockaddr_in address{};
  iovec iov{};
  alignas(cmsghdr) std::uint8_t control[CMSG_SPACE(sizeof(in_pktinfo))]{};
  msghdr header{};
  Message(void* data, std::size_t size) : iov{data, size} {
    header.msg_name = &address;
    header.msg_namelen = sizeof address;
    header.msg_iov = &iov;
    header.msg_iovlen = 1;
    header.msg_control = control;
    header.msg_controllen = sizeof control;
  }
  Message(const Message&) = delete;
  Message& operator=(const Message&) = delete;
};

// recvmsg with the destination address, which a socket on every interface needs to tell a
// broadcast from a search sent to this host, and to answer from the address that was asked.
// False when nothing is waiting or the socket failed.
bool receive(udp::socket& s, std::span<std::uint8_t> buffer, p::ByteView& bytes, udp::endpoint& from,
             ip::address_v4& destination, ip::address_v4& local, bool& hasInfo) {
  Message m(buffer.data(), buffer.size());
  msghdr& msg = m.header;
  ssize_t n;
  do
    n = ::recvmsg(s.native_handle(), &msg, MSG_DONTWAIT);
  while (n < 0 && errno == EINTR);
  if (n < 0) return false;
  bytes = p::ByteView(buffer.data(), static_cast<std::size_t>(n));
  if ((msg.msg_flags & MSG_TRUNC) != 0) bytes = {}; // cut off: not a datagram to answer
  from = udp::endpoint(ip::address_v4(ntohl(m.address.sin_addr.s_addr)), ntohs(m.address.sin_port));
  hasInfo = false;
  for (cmsghdr* c = CMSG_FIRSTHDR(&msg); c != nullptr; c = CMSG_NXTHDR(&msg, c)) {
    if (c->cmsg_level != IPPROTO_IP || c->cmsg_type != IP_PKTINFO) continue;
    in_pktinfo info{};
    std::memcpy(&info, CMSG_DATA(c), sizeof info);
    destination = ip::address_v4(ntohl(info.ipi_addr.s_addr));
    local = ip::address_v4(ntohl(info.ipi_spec_dst.s_addr));
    hasInfo = true;
  }
  return true;
}

// From a socket on every interface the kernel would pick the source by the route; a client
// expects the answer from the address it asked.
void sendFrom(udp::socket& s, p::ByteView data, const udp::endpoint& to,
              std::optional<ip::address_v4> source) {
  if (!source) {
    boost::system::error_code ec;
    s.send_to(asio::buffer(data.data(), data.size()), to, 0, ec); // a full buffer drops it; clients retry
    return;
  }
  Message m(const_cast<std::uint8_t*>(data.data()), data.size());
  m.address.sin_family = AF_INET;
  m.address.sin_addr.s_addr = htonl(to.address().to_v4().to_uint());
  m.address.sin_port = htons(to.port());
  msghdr& msg = m.header;
  cmsghdr* c = CMSG_FIRSTHDR(&msg);
  c->cmsg_level = IPPROTO_IP;
  c->cmsg_type = IP_PKTINFO;
  c->cmsg_len = CMSG_LEN(sizeof(in_pktinfo));
  in_pktinfo info{};
  info.ipi_spec_dst.s_addr = htonl(source->to_uint());
  std::memcpy(CMSG_DATA(c), &info, sizeof info);
  (void)::sendmsg(s.native_handle(), &msg, MSG_DONTWAIT);
}

boost::system::error_code openBound(udp::socket& s, const ip::address_v4& address, std::uint16_t port) {
  boost::system::error_code ec;
  s.open(udp::v4(), ec);
  if (ec) return ec;
  reuse(s);
  int on = 1;
  ::setsockopt(s.native_handle(), IPPROTO_IP, IP_PKTINFO, &on, sizeof on);
  s.bind(udp::endpoint(address, port), ec);
  if (!ec) s.non_blocking(true, ec);
  return ec;
}

} // namespace

Discovery::Discovery(asio::io_context& io, const bridge::PvTable& table, const Options& options,
                     ServerStats& stats)
    : io_(io), table_(table), options_(options), stats_(stats), forwardIn_(io), forwardOut_(io),
      beaconSocket_(io), beaconTimer_(io) {
  std::random_device r;
  senderId_ = (std::uint64_t{r()} << 32) ^ r();
}

boost::system::error_code Discovery::bind(const std::vector<ip::address_v4>& addresses, std::uint16_t port,
                                          std::string& failed) {
  listeners_.clear();
  port_ = port;
  const auto host = hostInterfaces();
  broadcastAddresses_ = allBroadcastAddresses(host);
  for (auto& a : addresses) {
    auto l = std::make_unique<Listener>(Listener{a, udp::socket(io_), std::nullopt});
    if (auto ec = openBound(l->unicast, a, port)) {
      failed = a.to_string() + ":" + std::to_string(port);
      listeners_.clear();
      return ec;
    }
    // Addresses of one network share its broadcast address: one socket there answers once.
    const auto shared = [&](const ip::address_v4& b) {
      return std::any_of(listeners_.begin(), listeners_.end(), [&](auto& other) {
        return other->broadcast && other->broadcast->local_endpoint().address() == ip::address(b);
      });
    };
    if (!a.is_unspecified()) {
      if (auto b = broadcastAddressOf(a, host); b && !shared(*b)) {
        l->broadcast.emplace(io_);
        if (auto ec = openBound(*l->broadcast, *b, port)) {
          failed = b->to_string() + ":" + std::to_string(port) + " (broadcasts to " + a.to_string() + ")";
          listeners_.clear();
          return ec;
        }
      }
    }
    listeners_.push_back(std::move(l));
  }
  return {};
}

void Discovery::openForwarding() {
  const ip::address_v4 group(forward::groupAddress);
  const ip::address_v4 loopback = ip::address_v4::loopback();
  boost::system::error_code ec;
  auto fail = [&](const std::string& what) {
    orvane::log::warning("server",
                         "searches sent to this host's address reach only one of the servers on UDP port " +
                             std::to_string(port_) + " (" + what + ": " + ec.message() + ")");
    forwardIn_.close(ec);
    forwardOut_.close(ec);
  };
  forwardIn_.open(udp::v4(), ec);
  if (ec) return fail("no socket for the loopback group");
  reuse(forwardIn_);
  // Only the group joined here, on the loopback interface; not whatever other sockets joined.
  int off = 0;
  ::setsockopt(forwardIn_.native_handle(), IPPROTO_IP, IP_MULTICAST_ALL, &off, sizeof off);
  forwardIn_.bind(udp::endpoint(group, port_), ec);
  if (ec) return fail("cannot bind " + group.to_string() + ":" + std::to_string(port_));
  forwardIn_.set_option(ip::multicast::join_group(group, loopback), ec);
  if (ec) return fail("cannot join " + group.to_string() + " on the loopback interface");
  forwardIn_.non_blocking(true, ec);

  forwardOut_.open(udp::v4(), ec);
  if (ec) return fail("no socket to pass searches on");
  forwardOut_.set_option(ip::multicast::outbound_interface(loopback), ec);
  if (!ec) forwardOut_.set_option(ip::multicast::hops(0), ec); // delivered on this host, sent nowhere
  if (!ec) forwardOut_.set_option(ip::multicast::enable_loopback(true), ec);
  if (!ec) forwardOut_.bind(udp::endpoint(loopback, 0), ec);
  if (!ec) forwardOut_.non_blocking(true, ec);
  if (ec) return fail("cannot send to " + group.to_string() + " on the loopback interface only");
  forwarding_ = true;
}

void Discovery::start(std::uint16_t tcpPort) {
  tcpPort_ = tcpPort;
  beaconSocket_.open(udp::v4());
  beaconSocket_.set_option(asio::socket_base::broadcast(true));
  // A server of one address sends from it, so that the beacons' source is the address clients
  // connect to and the socket is reachable nowhere else. With several, the route picks the source.
  if (listeners_.size() == 1 && !listeners_[0]->address.is_unspecified())
    beaconSocket_.bind(udp::endpoint(listeners_[0]->address, 0));
  beaconSocket_.non_blocking(true);
  auto addTarget = [this](const udp::endpoint& e) {
    if (std::find(beaconTargets_.begin(), beaconTargets_.end(), e) == beaconTargets_.end())
      beaconTargets_.push_back(e);
  };
  for (auto& b : options_.beaconAddresses) {
    boost::system::error_code ec;
    udp::resolver resolver(io_);
    auto results = resolver.resolve(udp::v4(), b.address, std::to_string(b.port), ec);
    if (ec || results.empty())
      throw std::runtime_error("beacon address '" + b.address + "' cannot be resolved: " + ec.message());
    addTarget(*results.begin());
  }
  if (options_.autoBeaconAddresses) {
    const auto host = hostInterfaces();
    for (auto& l : listeners_) {
      if (l->address.is_unspecified()) {
        for (auto& b : allBroadcastAddresses(host))
          addTarget(udp::endpoint(b, options_.beaconPort));
      } else if (auto b = broadcastAddressOf(l->address, host)) {
        addTarget(udp::endpoint(*b, options_.beaconPort));
      }
    }
  }
  openForwarding();
  for (auto& l : listeners_) {
    wait(l->unicast, l.get(), Source::unicast);
    if (l->broadcast) wait(*l->broadcast, l.get(), Source::broadcast);
  }
  if (forwarding_) wait(forwardIn_, nullptr, Source::forwarded);
  sendBeacon();
}

void Discovery::stop() {
  stopped_ = true;
  boost::system::error_code ec;
  for (auto& l : listeners_) {
    l->unicast.close(ec);
    if (l->broadcast) l->broadcast->close(ec);
  }
  forwardIn_.close(ec);
  forwardOut_.close(ec);
  beaconSocket_.close(ec);
  beaconTimer_.cancel();
}

void Discovery::wait(udp::socket& socket, Listener* listener, Source source) {
  std::weak_ptr<Discovery> weak = shared_from_this();
  socket.async_wait(udp::socket::wait_read,
                    [weak, &socket, listener, source](const boost::system::error_code& ec) {
                      auto self = weak.lock();
                      if (!self || self->stopped_ || ec) return;
                      self->drain(socket, listener, source);
                      self->wait(socket, listener, source);
                    });
}

void Discovery::drain(udp::socket& socket, Listener* listener, Source source) {
  for (int i = 0; i < datagramsPerWake; ++i) {
    Datagram d;
    if (!receive(socket, buffer_, d.bytes, d.from, d.destination, d.local, d.hasInfo)) return;
    if (d.bytes.empty()) continue;
    if (source == Source::forwarded)
      onForwarded(d);
    else
      onSearch(*listener, d, source);
  }
}

bool Discovery::ignored(const ip::address_v4& client) const {
  if (options_.ignoreAddresses.empty()) return false;
  const auto text = client.to_string();
  return std::find(options_.ignoreAddresses.begin(), options_.ignoreAddresses.end(), text) !=
         options_.ignoreAddresses.end();
}

bool Discovery::isBroadcast(const ip::address_v4& a) const {
  return a.is_multicast() || a == ip::address_v4::broadcast() ||
         std::find(broadcastAddresses_.begin(), broadcastAddresses_.end(), a) != broadcastAddresses_.end();
}

void Discovery::onSearch(Listener& l, const Datagram& d, Source source) {
  const auto client = d.from.address().to_v4();
  if (ignored(client)) return;
  bool hadSearch = false;
  auto reply = answer(d.bytes, hadSearch);
  const bool everyInterface = l.address.is_unspecified();
  // Answered from the interface's own socket: one on a broadcast address cannot send.
  if (!reply.empty())
    sendFrom(l.unicast, reply, d.from,
             everyInterface && d.hasInfo ? std::optional<ip::address_v4>(d.local) : std::nullopt);

  // Broadcasts reach every server of the port by themselves; a search to this host's address
  // reached this one only.
  if (!forwarding_ || !hadSearch || source != Source::unicast) return;
  const auto destination = d.hasInfo ? d.destination : l.address;
  if (destination.is_unspecified() || isBroadcast(destination)) return;
  auto wrapped = forward::encode(forward::Forwarded{senderId_, client, d.from.port(), destination, d.bytes});
  boost::system::error_code ec;
  forwardOut_.send_to(asio::buffer(wrapped), udp::endpoint(ip::address_v4(forward::groupAddress), port_), 0,
                      ec);
}

void Discovery::onForwarded(const Datagram& d) {
  // Only servers of this host send to the group, from a loopback address.
  if (!d.from.address().is_v4() || !d.from.address().to_v4().is_loopback()) return;
  auto f = forward::decode(d.bytes);
  if (!f || f->sender == senderId_ || ignored(f->client)) return;
  Listener* target = nullptr;
  for (auto& l : listeners_)
    if (l->address == f->destination || (target == nullptr && l->address.is_unspecified())) target = l.get();
  if (target == nullptr) return; // asked at an address this server does not serve
  bool hadSearch = false;
  auto reply = answer(f->datagram, hadSearch);
  if (reply.empty()) return;
  sendFrom(target->unicast, reply, udp::endpoint(f->client, f->clientPort),
           target->address.is_unspecified() ? std::optional<ip::address_v4>(f->destination) : std::nullopt);
}

p::Bytes Discovery::answer(p::ByteView datagram, bool& hadSearch) const {
  p::Bytes reply;
  auto content = p::decodeDatagram(datagram);
  if (!content.intact) return reply;
  std::optional<p::Version> version;
  bool any = false;
  for (auto& m : content.messages) {
    if (auto* v = std::get_if<p::Version>(&m)) {
      version = *v;
      continue;
    }
    auto* s = std::get_if<p::Search>(&m);
    if (s == nullptr) continue;
    hadSearch = true;
    if (!table_.resolve(s->name)) continue;
    if (!any) {
      if (version && version->minorVersion >= 11)
        (void)p::encode(p::Version::forDatagram(version->sequence), reply);
      any = true;
    }
    p::SearchReply r;
    r.port = tcpPort_;
    r.searchId = s->searchId;
    r.transport = p::Transport::Udp;
    (void)p::encode(r, reply);
  }
  return reply;
}

void Discovery::sendBeacon() {
  p::Bytes b;
  (void)p::encode(p::Beacon{p::serverMinorVersion, tcpPort_, beaconId_++, 0}, b);
  for (auto& t : beaconTargets_) {
    boost::system::error_code ec;
    beaconSocket_.send_to(asio::buffer(b), t, 0, ec);
  }
  ++stats_.beaconsSent;
  beaconTimer_.expires_after(std::chrono::duration_cast<std::chrono::steady_clock::duration>(
      std::chrono::duration<double>(beaconGap_)));
  beaconGap_ = std::min(beaconGap_ * 2, options_.beaconPeriod);
  std::weak_ptr<Discovery> weak = shared_from_this();
  beaconTimer_.async_wait([weak](const boost::system::error_code& ec) {
    auto self = weak.lock();
    if (!self || ec || self->stopped_) return;
    self->sendBeacon();
  });
}

} // namespace telvik::server
