#include "Discovery.hpp"

#include "telvik/protocol/Decoder.hpp"
#include "telvik/protocol/Messages.hpp"

#include <optional>

namespace telvik::server {

namespace asio = boost::asio;
using asio::ip::udp;
namespace p = telvik::protocol;

Discovery::Discovery(asio::io_context& io, const bridge::PvTable& table, const Options& options,
                     ServerStats& stats)
    : io_(io), table_(table), options_(options), stats_(stats), udp_(io), beaconSocket_(io),
      beaconTimer_(io) {}

boost::system::error_code Discovery::bind(const asio::ip::address& address, std::uint16_t port) {
  boost::system::error_code ec;
  udp_ = udp::socket(io_);
  udp_.open(address.is_v6() ? udp::v6() : udp::v4());
  udp_.set_option(asio::socket_base::reuse_address(true));
  udp_.bind(udp::endpoint(address, port), ec);
  return ec;
}

void Discovery::start(std::uint16_t tcpPort) {
  tcpPort_ = tcpPort;
  udp_.non_blocking(true);
  beaconSocket_.open(udp::v4());
  beaconSocket_.set_option(asio::socket_base::broadcast(true));
  beaconSocket_.non_blocking(true);
  for (auto& b : options_.beaconAddresses) {
    boost::system::error_code ec;
    udp::resolver resolver(io_);
    auto results = resolver.resolve(udp::v4(), b.address, std::to_string(b.port), ec);
    if (ec || results.empty())
      throw std::runtime_error("beacon address '" + b.address + "' cannot be resolved: " + ec.message());
    beaconTargets_.push_back(*results.begin());
  }
  receive();
  sendBeacon();
}

void Discovery::stop() {
  stopped_ = true;
  boost::system::error_code ec;
  udp_.close(ec);
  beaconSocket_.close(ec);
  beaconTimer_.cancel();
}

void Discovery::receive() {
  std::weak_ptr<Discovery> weak = shared_from_this();
  udp_.async_receive_from(asio::buffer(buffer_), peer_,
                          [weak](const boost::system::error_code& ec, std::size_t n) {
                            auto self = weak.lock();
                            if (!self || self->stopped_) return;
                            if (!ec) self->answer(n);
                            self->receive();
                          });
}

void Discovery::answer(std::size_t n) {
  if (!options_.ignoreAddresses.empty()) {
    const auto from = peer_.address().to_string();
    for (auto& a : options_.ignoreAddresses)
      if (a == from) return;
  }
  auto content = p::decodeDatagram(p::ByteView(buffer_.data(), n));
  if (!content.intact) return;
  std::optional<p::Version> version;
  p::Bytes reply;
  bool any = false;
  for (auto& m : content.messages) {
    if (auto* v = std::get_if<p::Version>(&m)) {
      version = *v;
      continue;
    }
    auto* s = std::get_if<p::Search>(&m);
    if (s == nullptr || !table_.resolve(s->name)) continue;
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
  if (!any) return;
  boost::system::error_code ec;
  udp_.send_to(asio::buffer(reply), peer_, 0, ec); // a full socket buffer drops it; clients retry
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
