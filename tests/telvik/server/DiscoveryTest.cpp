// Finding servers: several on one host and port, searches by broadcast and to the host's address,
// and the pieces that make it work. Loopback only.
#include "../../../telvik/server/src/HostInterfaces.hpp"
#include "../../../telvik/server/src/SearchForward.hpp"

#include "telvik/protocol/Messages.hpp"
#include "telvik/server/Server.hpp"

#include <boost/asio/io_context.hpp>
#include <boost/asio/post.hpp>

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <future>
#include <map>
#include <set>
#include <stdexcept>
#include <thread>

using namespace telvik::server;
namespace ip = boost::asio::ip;
namespace p = telvik::protocol;

namespace {

TEST(SearchForward, WrapsAndUnwrapsTheClientsDatagram) {
  const std::vector<std::uint8_t> search{0, 6,  0,  8,  1,   2, 3, 4, 5, 6, 7, 8,
                                         9, 10, 11, 12, 'A', 0, 0, 0, 0, 0, 0, 0};
  forward::Forwarded f{0x0102030405060708ULL, ip::make_address_v4("127.0.0.9"), 40001,
                       ip::make_address_v4("127.0.0.1"), search};
  auto bytes = forward::encode(f);
  ASSERT_EQ(bytes.size(), forward::headerSize + search.size());
  auto back = forward::decode(bytes);
  ASSERT_TRUE(back);
  EXPECT_EQ(back->sender, f.sender);
  EXPECT_EQ(back->client, f.client);
  EXPECT_EQ(back->clientPort, 40001);
  EXPECT_EQ(back->destination, f.destination);
  EXPECT_TRUE(std::equal(back->datagram.begin(), back->datagram.end(), search.begin(), search.end()));

  // A CA datagram, a cut header, another layout and a client without port are not forwards.
  EXPECT_FALSE(forward::decode(search));
  EXPECT_FALSE(forward::decode(p::ByteView(bytes.data(), forward::headerSize - 1)));
  auto other = bytes;
  other[4] = 2;
  EXPECT_FALSE(forward::decode(other));
  auto noPort = bytes;
  noPort[6] = noPort[7] = 0;
  EXPECT_FALSE(forward::decode(noPort));
}

TEST(HostInterfaces, BroadcastAddressOfEachInterface) {
  auto a = [](const char* s) { return ip::make_address_v4(s); };
  std::vector<InterfaceAddress> host{
      {"lo", a("127.0.0.1"), a("255.0.0.0"), std::nullopt, true, true},
      {"eth0", a("10.1.2.3"), a("255.255.255.0"), a("10.1.2.255"), false, true},
      {"eth1", a("10.9.0.1"), a("255.255.0.0"), a("10.9.255.255"), false, false},
      {"tun0", a("10.8.0.2"), a("255.255.255.255"), std::nullopt, false, true}};
  // The loopback interface announces none, yet receives broadcasts at the top of its network.
  EXPECT_EQ(broadcastAddressOf(a("127.0.0.1"), host), a("127.255.255.255"));
  EXPECT_EQ(broadcastAddressOf(a("10.1.2.3"), host), a("10.1.2.255"));
  EXPECT_EQ(broadcastAddressOf(a("10.8.0.2"), host), std::nullopt);  // point to point
  EXPECT_EQ(broadcastAddressOf(a("192.0.2.1"), host), std::nullopt); // not on this host
  EXPECT_EQ(allBroadcastAddresses(host),
            (std::vector<ip::address_v4>{a("127.255.255.255"), a("10.1.2.255")}));

  // This host: its loopback address is there, with the broadcast the tests use.
  EXPECT_EQ(broadcastAddressOf(a("127.0.0.1"), hostInterfaces()), a("127.255.255.255"));
}

std::uint16_t freeUdpPort() {
  int s = ::socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof a;
  const bool bound = ::bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
                     ::getsockname(s, reinterpret_cast<sockaddr*>(&a), &len) == 0;
  ::close(s);
  // Port 0 would let the server under test pick one the test does not know.
  if (!bound) throw std::runtime_error("no free UDP port on 127.0.0.1");
  return ntohs(a.sin_port);
}

// One server with its own variable, on its own io thread.
class TestServer {
 public:
  TestServer(const std::string& prefix, std::uint16_t port, std::uint16_t beaconPort,
             std::vector<std::string> interfaces = {"127.0.0.1"}) {
    orvane::ProcessVariableInfo info;
    info.path = "/board/voltage";
    info.type = orvane::ValueType::float64;
    registry_.add(info);
    options_.prefix = prefix;
    options_.interfaces = std::move(interfaces);
    options_.port = port;
    options_.beaconAddresses = {{"127.255.255.255", beaconPort}};
    options_.autoBeaconAddresses = false;
    options_.triggerRate = 0;
    options_.persistFile.clear();
    start();
  }
  ~TestServer() { stop(); }

  void start() {
    io_ = std::make_unique<boost::asio::io_context>();
    server_ = std::make_unique<CaServer>(*io_, registry_, options_, AccessRules(), nullptr);
    server_->start();
    thread_ = std::thread([this] { io_->run(); });
  }
  void stop() {
    if (!server_) return;
    boost::asio::post(*io_, [this] {
      server_->stop();
      io_->stop();
    });
    thread_.join();
    server_.reset();
    io_.reset();
  }
  [[nodiscard]] std::uint16_t tcpPort() const { return server_->port(); }
  [[nodiscard]] std::uint16_t searchPort() const { return server_->searchPort(); }

 private:
  orvane::ProcessVariableRegistry registry_;
  Options options_;
  std::unique_ptr<boost::asio::io_context> io_;
  std::unique_ptr<CaServer> server_;
  std::thread thread_;
};

// A client socket that searches and collects the replies: search id -> TCP port announced.
class SearchClient {
 public:
  SearchClient() {
    fd_ = ::socket(AF_INET, SOCK_DGRAM, 0);
    int on = 1;
    ::setsockopt(fd_, SOL_SOCKET, SO_BROADCAST, &on, sizeof on);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    // Unbound, the first search would bind it to every interface, not to loopback alone.
    if (::bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
      ::close(fd_);
      throw std::runtime_error("cannot bind the search client to 127.0.0.1");
    }
  }
  ~SearchClient() { ::close(fd_); }

  [[nodiscard]] std::uint16_t port() const {
    sockaddr_in a{};
    socklen_t len = sizeof a;
    ::getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len);
    return ntohs(a.sin_port);
  }

  static p::Bytes searches(const std::vector<std::string>& names, std::uint32_t firstId = 1) {
    p::Bytes out;
    (void)p::encode(p::Version{1, 13, 7}, out);
    std::uint32_t id = firstId;
    for (auto& n : names) {
      p::Search s;
      s.name = n;
      s.searchId = id++;
      (void)p::encode(s, out);
    }
    return out;
  }

  void send(const p::Bytes& datagram, const char* address, std::uint16_t port) const {
    sockaddr_in to{};
    to.sin_family = AF_INET;
    ::inet_pton(AF_INET, address, &to.sin_addr);
    to.sin_port = htons(port);
    ::sendto(fd_, datagram.data(), datagram.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
  }

  // The address the last reply came from, and how many reply datagrams came.
  std::string lastFrom;
  std::size_t datagrams = 0;

  // Replies until `want` search ids are answered, and any that come shortly after (a server that
  // should not have answered); the long wait is only a guard.
  std::map<std::uint32_t, std::uint16_t> replies(std::size_t want) {
    std::map<std::uint32_t, std::uint16_t> got;
    auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    bool complete = false;
    while (std::chrono::steady_clock::now() < end) {
      if (!complete && got.size() >= want) {
        complete = true;
        end = std::chrono::steady_clock::now() + std::chrono::milliseconds(200);
      }
      pollfd pfd{fd_, POLLIN, 0};
      if (::poll(&pfd, 1, 100) <= 0) continue;
      std::uint8_t buf[2048];
      sockaddr_in from{};
      socklen_t fromLength = sizeof from;
      auto n = ::recvfrom(fd_, buf, sizeof buf, 0, reinterpret_cast<sockaddr*>(&from), &fromLength);
      char text[INET_ADDRSTRLEN] = {};
      ::inet_ntop(AF_INET, &from.sin_addr, text, sizeof text);
      lastFrom = text;
      ++datagrams;
      for (std::size_t at = 0; n > 0 && at + 16 <= static_cast<std::size_t>(n);) {
        const auto u16 = [&](std::size_t o) {
          return static_cast<std::uint16_t>(buf[at + o] << 8 | buf[at + o + 1]);
        };
        const std::uint32_t p2 = static_cast<std::uint32_t>(u16(12)) << 16 | u16(14);
        if (u16(0) == 6) got[p2] = u16(4);
        at += 16 + u16(2);
      }
    }
    return got;
  }

  std::map<std::uint32_t, std::uint16_t> search(const std::vector<std::string>& names, const char* address,
                                                std::uint16_t port, std::size_t want) {
    send(searches(names), address, port);
    return replies(want);
  }

 private:
  int fd_ = -1;
};

TEST(SeveralServers, ShareThePortAndAreAllFoundByBroadcastAndUnicast) {
  const auto port = freeUdpPort();
  const auto beacons = freeUdpPort();
  // Where the beacons go, as a client host's repeater would hear them.
  int beaconFd = ::socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in at{};
  at.sin_family = AF_INET;
  ::inet_pton(AF_INET, "127.255.255.255", &at.sin_addr);
  at.sin_port = htons(beacons);
  ASSERT_EQ(::bind(beaconFd, reinterpret_cast<sockaddr*>(&at), sizeof at), 0);
  TestServer a("A:", port, beacons), b("B:", port, beacons), c("C:", port, beacons);
  EXPECT_EQ(a.searchPort(), port);
  EXPECT_EQ(b.searchPort(), port);
  EXPECT_EQ(c.searchPort(), port);
  // The first has the port for its circuits too; the others have free ones of their own.
  EXPECT_EQ(a.tcpPort(), port);
  EXPECT_NE(b.tcpPort(), port);
  EXPECT_NE(c.tcpPort(), port);
  EXPECT_NE(b.tcpPort(), c.tcpPort());
  // Each announces the port its circuits are on.
  std::set<std::uint16_t> announced;
  for (auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
       announced.size() < 3 && std::chrono::steady_clock::now() < end;) {
    pollfd pfd{beaconFd, POLLIN, 0};
    if (::poll(&pfd, 1, 100) <= 0) continue;
    std::uint8_t beacon[64];
    if (::recv(beaconFd, beacon, sizeof beacon, 0) >= 16 && beacon[1] == 13)
      announced.insert(static_cast<std::uint16_t>(beacon[6] << 8 | beacon[7]));
  }
  ::close(beaconFd);
  EXPECT_EQ(announced, (std::set<std::uint16_t>{a.tcpPort(), b.tcpPort(), c.tcpPort()}));
  const std::map<std::uint32_t, std::uint16_t> all{{1, a.tcpPort()}, {2, b.tcpPort()}, {3, c.tcpPort()}};
  const std::vector<std::string> names{"A:board:voltage", "B:board:voltage", "C:board:voltage",
                                       "D:board:voltage"};

  SearchClient client;
  EXPECT_EQ(client.search(names, "127.255.255.255", port, 3), all);
  // The kernel hands a datagram to this address to one of the three; it passes it on.
  EXPECT_EQ(client.search(names, "127.0.0.1", port, 3), all);
  for (int i = 0; i < 5; ++i)
    EXPECT_EQ(SearchClient().search(names, "127.0.0.1", port, 3), all) << "client " << i;

  // One stops and comes back on another TCP port; the others are found all the while.
  b.stop();
  EXPECT_EQ(client.search(names, "127.0.0.1", port, 2),
            (std::map<std::uint32_t, std::uint16_t>{{1, a.tcpPort()}, {3, c.tcpPort()}}));
  EXPECT_EQ(client.search(names, "127.255.255.255", port, 2),
            (std::map<std::uint32_t, std::uint16_t>{{1, a.tcpPort()}, {3, c.tcpPort()}}));
  b.start();
  EXPECT_EQ(b.searchPort(), port);
  const std::map<std::uint32_t, std::uint16_t> again{{1, a.tcpPort()}, {2, b.tcpPort()}, {3, c.tcpPort()}};
  EXPECT_EQ(client.search(names, "127.0.0.1", port, 3), again);
  EXPECT_EQ(client.search(names, "127.255.255.255", port, 3), again);
}

TEST(SeveralInterfaces, EachIsServedAndAnswersFromItsOwnAddress) {
  const auto port = freeUdpPort();
  TestServer a("A:", port, freeUdpPort(), {"127.0.0.1", "127.0.0.2"});
  const std::map<std::uint32_t, std::uint16_t> found{{1, a.tcpPort()}};
  for (const char* address : {"127.0.0.1", "127.0.0.2"}) {
    SearchClient client;
    EXPECT_EQ(client.search({"A:board:voltage"}, address, port, 1), found) << address;
    EXPECT_EQ(client.lastFrom, address);
  }
  // Both addresses are on the loopback network: its broadcast is answered once, not twice.
  SearchClient client;
  client.send(SearchClient::searches({"A:board:voltage"}), "127.255.255.255", port);
  EXPECT_EQ(client.replies(1), found);
  EXPECT_EQ(client.datagrams, 1u);
}

TEST(SeveralServers, AForwardedSearchIsAnsweredToTheClientNamedInIt) {
  const auto port = freeUdpPort();
  TestServer a("A:", port, freeUdpPort());
  SearchClient client;
  auto send = [&](const char* destination, std::uint32_t searchId) {
    const auto datagram = SearchClient::searches({"A:board:voltage"}, searchId);
    auto wrapped = forward::encode(forward::Forwarded{42, ip::make_address_v4("127.0.0.1"), client.port(),
                                                      ip::make_address_v4(destination), datagram});
    // As a server sends it: to the group, on the loopback interface only, never beyond the host.
    int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
    in_addr lo{htonl(INADDR_LOOPBACK)};
    ::setsockopt(fd, IPPROTO_IP, IP_MULTICAST_IF, &lo, sizeof lo);
    unsigned char ttl = 0;
    ::setsockopt(fd, IPPROTO_IP, IP_MULTICAST_TTL, &ttl, sizeof ttl);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = htonl(forward::groupAddress);
    to.sin_port = htons(port);
    ::sendto(fd, wrapped.data(), wrapped.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
    ::close(fd);
  };
  // The first asks at an address this server does not serve, so it is not its business; the
  // second, taken after it, is answered.
  send("127.0.0.2", 1);
  send("127.0.0.1", 2);
  EXPECT_EQ(client.replies(1), (std::map<std::uint32_t, std::uint16_t>{{2, a.tcpPort()}}));
}

} // namespace
