// The server as a whole: binds the listener and the search socket, accepts circuits, and starts
// and stops the parts.
#include "telvik/server/Server.hpp"

#include "Circuit.hpp"
#include "Discovery.hpp"
#include "Fanout.hpp"
#include "Housekeeping.hpp"
#include "TriggerSource.hpp"

#include "framework/Log.hpp"
#include "telvik/protocol/Decoder.hpp"

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>

#include <algorithm>
#include <set>

#include <sys/resource.h>

namespace telvik::server {

namespace asio = boost::asio;
using asio::ip::tcp;
namespace p = telvik::protocol;

class CaServer::Impl : public std::enable_shared_from_this<CaServer::Impl> {
 public:
  Impl(asio::io_context& io, orvane::ProcessVariableRegistry& registry, Options options, AccessRules rules,
       bridge::SettingsStore* store, const bridge::MetadataRules& metadata)
      : io_(io), options_(std::move(options)), rules_(std::move(rules)),
        table_(registry, options_.prefix, metadata), fanout_(std::make_shared<Fanout>(io, table_, stats_)),
        discovery_(std::make_shared<Discovery>(io, table_, options_, stats_)),
        trigger_(std::make_shared<TriggerSource>(io, table_, options_.triggerRate)),
        housekeeping_(std::make_shared<Housekeeping>(io, options_, circuits_)),
        saver_(std::make_shared<SettingsSaver>(io, registry, store, options_.persistDelay)),
        acceptTimer_(io), context_{table_, options_, rules_, *fanout_, stats_} {
    std::uint64_t largest = 0;
    for (auto& v : table_.all()) // in the widest form: CTRL metadata, 8-byte elements
      largest = std::max<std::uint64_t>(largest, std::uint64_t{v->nativeCount()} * 8 + 1024);
    context_.limits = messageLimits(options_, largest);
    context_.closed = [this](Circuit& c, bool fault) { closed(c, fault); };
    fanout_->attach(registry);
    saver_->attach();
  }

  void start();
  void stop();
  /// Listens on every address at `port` (0: a free one, the same on all); the error and where.
  boost::system::error_code listen(std::uint16_t port, std::string& failed);
  /// Takes the next connection on every listener that is not already waiting for one.
  void accept();
  void accept(tcp::acceptor& acceptor);
  void acceptLater(const boost::system::error_code& ec);
  void closed(Circuit& c, bool fault);

  asio::io_context& io_;
  Options options_;
  AccessRules rules_;
  bridge::PvTable table_;
  ServerStats stats_;
  std::set<std::shared_ptr<Circuit>> circuits_;
  std::shared_ptr<Fanout> fanout_;
  std::shared_ptr<Discovery> discovery_;
  std::shared_ptr<TriggerSource> trigger_;
  std::shared_ptr<Housekeeping> housekeeping_;
  std::shared_ptr<SettingsSaver> saver_;
  std::vector<asio::ip::address_v4> addresses_;
  std::vector<std::unique_ptr<tcp::acceptor>> acceptors_;
  std::set<tcp::acceptor*> accepting_; // an accept is pending on these
  asio::steady_timer acceptTimer_;
  std::chrono::milliseconds acceptBackoff_{0};
  bool acceptWaiting_ = false; // the back-off timer is
  bool acceptBlocked_ = false; // told that new connections wait
  CircuitContext context_;
  std::uint16_t port_ = 0;
  std::uint16_t searchPort_ = 0;
  bool stopped_ = false;
  bool started_ = false;
};

void CaServer::Impl::start() {
  if (started_) return;
  started_ = true;
  for (auto& text : options_.interfaces) {
    boost::system::error_code ec;
    auto a = asio::ip::make_address_v4(text, ec);
    if (ec) throw std::runtime_error("interface address '" + text + "' is not an IPv4 address");
    addresses_.push_back(a);
  }
  if (addresses_.empty()) throw std::runtime_error("no interface address to serve");
  std::string failed;
  auto fault = [&](const char* what, const boost::system::error_code& ec) {
    return std::runtime_error(std::string("cannot bind ") + what + " " + failed + ": " + ec.message());
  };

  if (options_.port != 0) {
    searchPort_ = options_.port;
    auto ec = listen(options_.port, failed);
    if (ec == asio::error::address_in_use) {
      // Most likely another server of this host: the search port is shared, circuits go to a free
      // port that the search replies and beacons announce.
      const std::string taken = failed;
      for (int attempt = 0; attempt < 20; ++attempt)
        if (!(ec = listen(0, failed))) break;
      if (ec) throw fault("TCP", ec);
      orvane::log::notice("server", "TCP port " + std::to_string(options_.port) + " is taken (" + taken +
                                        "); circuits are served on TCP port " + std::to_string(port_) +
                                        ", announced in search replies and beacons");
    } else if (ec) {
      throw fault("TCP", ec);
    }
    if (auto e = discovery_->bind(addresses_, searchPort_, failed)) throw fault("UDP", e);
  } else {
    // The TCP port comes from the system and the search port must get the same number, which
    // another program may hold; a few fresh tries settle that.
    for (int attempt = 0;; ++attempt) {
      if (auto ec = listen(0, failed)) throw fault("TCP", ec);
      searchPort_ = port_;
      auto ec = discovery_->bind(addresses_, searchPort_, failed);
      if (!ec) break;
      if (attempt >= 20) throw fault("UDP", ec);
    }
  }
  context_.port = port_;

  discovery_->start(port_);
  accept();
  housekeeping_->start();
  trigger_->start();
}

boost::system::error_code CaServer::Impl::listen(std::uint16_t port, std::string& failed) {
  acceptors_.clear();
  boost::system::error_code ec;
  for (auto& address : addresses_) {
    auto a = std::make_unique<tcp::acceptor>(io_);
    failed = address.to_string() + ":" + std::to_string(port);
    a->open(tcp::v4(), ec);
    if (!ec) a->set_option(asio::socket_base::reuse_address(true), ec);
    if (!ec) a->bind(tcp::endpoint(address, port), ec);
    if (!ec) a->listen(asio::socket_base::max_listen_connections, ec);
    if (ec) {
      acceptors_.clear();
      return ec;
    }
    port = a->local_endpoint().port(); // the rest on the same port as the first
    acceptors_.push_back(std::move(a));
  }
  port_ = port;
  return ec;
}

void CaServer::Impl::accept() {
  if (acceptWaiting_ || stopped_) return;
  if (circuits_.size() >= options_.maxCircuits) {
    // Connections wait in the listen queue until a circuit closes; taking them only to close them
    // would turn away the client that comes when one is free.
    if (!acceptBlocked_)
      orvane::log::warning("server", "all " + std::to_string(options_.maxCircuits) +
                                         " circuits in use; new connections wait until one closes");
    acceptBlocked_ = true;
    return;
  }
  for (auto& a : acceptors_)
    if (!accepting_.contains(a.get())) accept(*a);
}

void CaServer::Impl::accept(tcp::acceptor& acceptor) {
  accepting_.insert(&acceptor);
  std::weak_ptr<Impl> weak = shared_from_this();
  acceptor.async_accept([weak, &acceptor](const boost::system::error_code& ec, tcp::socket socket) {
    auto self = weak.lock();
    if (!self) return;
    self->accepting_.erase(&acceptor);
    if (self->stopped_) return;
    if (ec == asio::error::connection_aborted) {
      self->accept(); // that client gave up before it was taken; the next one may not have
      return;
    }
    if (ec) {
      self->acceptLater(ec);
      return;
    }
    if (self->acceptBlocked_) orvane::log::notice("server", "accepting connections again");
    self->acceptBlocked_ = false;
    self->acceptBackoff_ = {};
    auto c = std::make_shared<Circuit>(self->context_, std::move(socket));
    self->circuits_.insert(c);
    ++self->stats_.circuitsAccepted;
    c->start();
    self->accept();
  });
}

// Out of descriptors, the pending connection stays queued and the listener stays readable, so
// accepting again at once would spin. Try again a little later, or as soon as a circuit closes.
void CaServer::Impl::acceptLater(const boost::system::error_code& ec) {
  if (!acceptBlocked_)
    orvane::log::warning("server", "cannot accept connections (" + ec.message() +
                                       "); new connections wait until descriptors are free");
  acceptBlocked_ = true;
  acceptWaiting_ = true;
  acceptBackoff_ =
      std::clamp(acceptBackoff_ * 2, std::chrono::milliseconds(50), std::chrono::milliseconds(1000));
  acceptTimer_.expires_after(acceptBackoff_);
  std::weak_ptr<Impl> weak = shared_from_this();
  acceptTimer_.async_wait([weak](const boost::system::error_code& waited) {
    auto self = weak.lock();
    if (!self || waited) return; // cancelled: closed() has taken over
    self->acceptWaiting_ = false;
    self->accept();
  });
}

void CaServer::Impl::closed(Circuit& c, bool fault) {
  if (fault) ++stats_.circuitsClosedForFaults;
  // Still referenced by the handler that is closing it; freed when that returns.
  std::erase_if(circuits_, [&c](const std::shared_ptr<Circuit>& e) { return e.get() == &c; });
  // A circuit and a descriptor are free now.
  if (acceptWaiting_) {
    acceptWaiting_ = false;
    acceptTimer_.cancel();
  }
  accept();
}

void CaServer::Impl::stop() {
  if (stopped_) return;
  stopped_ = true;
  boost::system::error_code ec;
  for (auto& a : acceptors_)
    a->close(ec);
  acceptTimer_.cancel();
  discovery_->stop();
  trigger_->stop();
  saver_->stop();
  housekeeping_->stop();
  fanout_->stop();
  auto all = circuits_;
  for (auto& c : all)
    c->close(false, "the server stops");
  circuits_.clear();
}

void raiseDescriptorLimit() {
  // Enough for every circuit with room to spare, without handing child processes a table of a
  // million descriptors to close.
  constexpr rlim_t wanted = 65536;
  rlimit l{};
  if (getrlimit(RLIMIT_NOFILE, &l) != 0 || l.rlim_cur >= wanted || l.rlim_cur >= l.rlim_max) return;
  const rlim_t soft = l.rlim_cur;
  l.rlim_cur = std::min(wanted, l.rlim_max);
  if (setrlimit(RLIMIT_NOFILE, &l) != 0)
    orvane::log::warning("server", "cannot raise the limit of open files above " + std::to_string(soft));
}

// ---- facade -------------------------------------------------------------------------------------

CaServer::CaServer(asio::io_context& io, orvane::ProcessVariableRegistry& registry, Options options,
                   AccessRules rules, bridge::SettingsStore* store, const bridge::MetadataRules& metadata)
    : impl_(std::make_shared<Impl>(io, registry, std::move(options), std::move(rules), store, metadata)) {}

// A handler that throws while the server closes ends the process; the terminate handler names it.
// NOLINTNEXTLINE(bugprone-exception-escape)
CaServer::~CaServer() {
  if (!impl_) return;
  impl_->stop();
  // The aborted operations still hold circuits, whose sockets must go before the io_context does.
  impl_->io_.restart();
  impl_->io_.poll();
}

void CaServer::start() {
  impl_->start();
}

void CaServer::stop() {
  impl_->stop();
  impl_->saver_->save();
}

std::uint16_t CaServer::port() const {
  return impl_->port_;
}

std::uint16_t CaServer::searchPort() const {
  return impl_->searchPort_;
}

const bridge::PvTable& CaServer::table() const {
  return impl_->table_;
}

ServerStats CaServer::stats() const {
  auto s = impl_->stats_;
  s.circuits = impl_->circuits_.size();
  for (auto& c : impl_->circuits_)
    s.channels += c->channelCount();
  return s;
}

void CaServer::saveSettings() {
  impl_->saver_->save();
}

} // namespace telvik::server
