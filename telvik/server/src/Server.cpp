#include "telvik/server/Server.hpp"

#include "telvik/protocol/Decoder.hpp"
#include "telvik/protocol/Messages.hpp"

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ip/udp.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/write.hpp>
#include <boost/thread/mutex.hpp>

#include <array>
#include <cmath>
#include <deque>
#include <iostream>
#include <set>
#include <unordered_map>

namespace telvik::server {

namespace asio = boost::asio;
using asio::ip::tcp;
using asio::ip::udp;
namespace p = telvik::protocol;

namespace {

// Updates a subscription keeps when its client falls behind; past it the newest is replaced.
constexpr std::size_t subscriptionDepth = 4;
// Bytes gathered into one socket write.
constexpr std::size_t batchBytes = 256 * 1024;
// A client whose replies (not monitor updates: those coalesce) pile up beyond this does not read.
constexpr std::size_t minControlBacklog = 8 * 1024 * 1024;
// Updates a variable's hand-over queue keeps before it coalesces.
constexpr std::size_t handoverDepth = 8;

// Change bits of an update for subscription masks.
constexpr std::uint16_t valueBits = p::EventMask::Value | p::EventMask::Log;
constexpr std::uint16_t alarmBit = static_cast<std::uint16_t>(p::EventMask::Alarm);
constexpr std::uint16_t allBits = 0x0F;

p::Header headerOf(const p::ClientMessage& m) {
  p::Bytes b;
  if (!p::encode(m, b)) return {};
  auto h = p::parseHeader(b);
  return h.complete ? h.header : p::Header{};
}

} // namespace

class Circuit;

struct Subscription {
  std::uint32_t id = 0;
  std::uint32_t sid = 0;
  std::uint16_t type = 0;
  std::uint32_t count = 0;
  std::uint16_t mask = 0;
  Circuit* circuit = nullptr;
  ServedVariable* variable = nullptr; // null for the fixed text fields
  p::NativeType native{};
  std::uint32_t nativeCount = 0;
  std::deque<UpdatePtr> pending;
  bool inReady = false;
  bool cancelled = false;
};
using SubscriptionPtr = std::shared_ptr<Subscription>;

struct Channel {
  std::uint32_t cid = 0;
  std::uint32_t sid = 0;
  ChannelTarget target;
  bool write = false;
  std::vector<SubscriptionPtr> subscriptions;
};

// Per variable: what the io thread knows (subscribers, last severity) and the hand-over queue
// that module threads fill.
struct VariableState {
  ServedVariable* variable = nullptr;
  bool persists = false;
  std::atomic<int> watchers{0};
  boost::mutex mutex;
  std::deque<std::shared_ptr<orvane::ProcessVariable::Snapshot>> handover;
  bool posted = false;
  // io thread only
  std::vector<SubscriptionPtr> subscriptions;
  std::optional<p::AlarmSeverity> lastSeverity;
  std::optional<p::AlarmStatus> lastStatus;
};

class CaServer::Impl : public std::enable_shared_from_this<CaServer::Impl> {
 public:
  Impl(asio::io_context& io, orvane::ProcessVariableRegistry& registry, Options options, AccessRules rules,
       SettingsStore* store)
      : io_(io), registry_(registry), options_(std::move(options)), rules_(std::move(rules)), store_(store),
        table_(registry, options_.prefix), acceptor_(io), udp_(io), beaconSocket_(io), beaconTimer_(io),
        triggerTimer_(io), persistTimer_(io), housekeepingTimer_(io) {
    for (auto& pv : registry.all()) {
      if (states_.size() <= pv->index()) states_.resize(pv->index() + 1);
      states_[pv->index()] = std::make_unique<VariableState>();
      auto& st = *states_[pv->index()];
      st.variable = table_.byIndex(pv->index());
      st.persists = store_ != nullptr && store_->enabled() && SettingsStore::persists(pv->info());
    }
    std::uint64_t arrayBytes = options_.maxArrayBytes;
    if (options_.autoArrayBytes) {
      // Room for the largest variable in its widest form (CTRL metadata, 8-byte elements).
      for (auto& v : table_.all())
        arrayBytes = std::max<std::uint64_t>(arrayBytes, std::uint64_t{v->nativeCount()} * 8 + 1024);
    }
    maxPayload_ = p::payloadLimitFromMaxArrayBytes(arrayBytes);
    controlBacklog_ = std::max<std::size_t>(minControlBacklog, 4 * maxPayload_);
  }

  void installHook() {
    std::weak_ptr<Impl> weak = shared_from_this();
    registry_.addUpdateHook([weak](const orvane::ProcessVariable& pv) {
      // Runs in whichever thread wrote the value; the registry outlives the server.
      if (auto self = weak.lock()) self->onUpdate(pv);
    });
  }

  void onUpdate(const orvane::ProcessVariable& pv) {
    if (pv.index() >= states_.size() || !states_[pv.index()]) return;
    auto& st = *states_[pv.index()];
    if (st.persists) armPersist();
    if (st.watchers.load(std::memory_order_acquire) == 0) return;
    auto snap = std::make_shared<orvane::ProcessVariable::Snapshot>(pv.get());
    bool post = false;
    {
      boost::lock_guard<boost::mutex> g(st.mutex);
      if (st.handover.size() >= handoverDepth)
        st.handover.back() = std::move(snap);
      else
        st.handover.push_back(std::move(snap));
      if (!st.posted) post = st.posted = true;
    }
    if (post) {
      std::weak_ptr<Impl> weak = shared_from_this();
      asio::post(io_, [weak, &st] {
        if (auto self = weak.lock()) self->drain(st);
      });
    }
  }

  void drain(VariableState& st) {
    std::deque<std::shared_ptr<orvane::ProcessVariable::Snapshot>> items;
    {
      boost::lock_guard<boost::mutex> g(st.mutex);
      items.swap(st.handover);
      st.posted = false;
    }
    if (stopped_ || st.variable == nullptr) return;
    for (auto& snap : items) {
      auto u = st.variable->convert(*snap);
      std::uint16_t bits = valueBits;
      if (st.lastSeverity != u->metadata.severity || st.lastStatus != u->metadata.status) bits |= alarmBit;
      st.lastSeverity = u->metadata.severity;
      st.lastStatus = u->metadata.status;
      // A copy: offering may end up closing a circuit, which edits the list.
      auto subs = st.subscriptions;
      for (auto& sub : subs)
        if ((sub->mask & bits) != 0) offer(sub, u);
    }
  }

  void offer(const SubscriptionPtr& sub, const UpdatePtr& u);

  void armPersist() {
    if (persistArmed_.exchange(true)) return;
    std::weak_ptr<Impl> weak = shared_from_this();
    asio::post(io_, [weak] {
      auto self = weak.lock();
      if (!self || self->stopped_) return;
      self->persistTimer_.expires_after(std::chrono::duration_cast<std::chrono::steady_clock::duration>(
          std::chrono::duration<double>(self->options_.persistDelay)));
      self->persistTimer_.async_wait([weak](const boost::system::error_code& ec) {
        auto s = weak.lock();
        if (!s || ec) return;
        // Cleared before saving: a change during the save arms the next one.
        s->persistArmed_ = false;
        s->saveSettings();
      });
    });
  }

  void saveSettings() {
    if (store_ == nullptr || !store_->enabled()) return;
    std::string error;
    if (!store_->save(registry_, error)) std::cerr << "quellor_server: " << error << std::endl;
  }

  void start();
  void stop();
  void startAccept();
  void startUdp();
  void handleDatagram(std::size_t n);
  void sendBeacon();
  void scheduleTrigger();
  void closed(Circuit* c, bool fault);
  void housekeeping();

  [[nodiscard]] bool mayWrite(const std::string& user, const std::string& host,
                              const std::string& peer) const {
    return rules_.mayWrite(user, host, peer);
  }

  asio::io_context& io_;
  orvane::ProcessVariableRegistry& registry_;
  Options options_;
  AccessRules rules_;
  SettingsStore* store_;
  PvTable table_;
  std::vector<std::unique_ptr<VariableState>> states_;
  std::size_t maxPayload_ = 0;
  std::size_t controlBacklog_ = 0;

  tcp::acceptor acceptor_;
  udp::socket udp_;
  udp::socket beaconSocket_;
  asio::steady_timer beaconTimer_;
  asio::steady_timer triggerTimer_;
  asio::steady_timer persistTimer_;
  asio::steady_timer housekeepingTimer_;
  std::atomic<bool> persistArmed_{false};
  std::array<std::uint8_t, p::maxDatagramSize> udpBuffer_{};
  udp::endpoint udpPeer_;
  std::vector<udp::endpoint> beaconTargets_;
  std::uint32_t beaconId_ = 0;
  double beaconGap_ = 0.02;
  std::uint16_t port_ = 0;
  bool stopped_ = false;
  bool started_ = false;

  ServedVariable* trigger_ = nullptr;
  std::int64_t triggerCount_ = 0;
  std::chrono::steady_clock::time_point triggerNext_{};

  std::set<std::shared_ptr<Circuit>> circuits_;
  ServerStats stats_;
};

// ---- one TCP circuit ----------------------------------------------------------------------------

class Circuit : public std::enable_shared_from_this<Circuit> {
 public:
  Circuit(CaServer::Impl& server, tcp::socket socket)
      : server_(server), socket_(std::move(socket)), decoder_(server.maxPayload_) {
    boost::system::error_code ec;
    auto ep = socket_.remote_endpoint(ec);
    if (!ec) peer_ = ep.address().to_string();
    socket_.set_option(tcp::no_delay(true), ec);
    socket_.set_option(asio::socket_base::keep_alive(true), ec);
  }

  void start() {
    p::Bytes b;
    (void)p::encode(p::Version::forCircuit(), b);
    queueControl(std::move(b));
    read();
  }

  void close(bool fault) {
    if (closed_) return;
    closed_ = true;
    for (auto& [sid, ch] : channels_)
      dropSubscriptions(*ch);
    channels_.clear();
    subscriptions_.clear();
    ready_.clear();
    boost::system::error_code ec;
    socket_.shutdown(tcp::socket::shutdown_both, ec);
    socket_.close(ec);
    server_.closed(this, fault);
  }

  void queueReady(const SubscriptionPtr& sub) {
    if (!sub->inReady) {
      sub->inReady = true;
      ready_.push_back(sub);
    }
    pump();
  }

  [[nodiscard]] bool eventsOff() const { return eventsOff_; }
  // A write that has not completed for this long means the peer is gone or stopped reading for
  // good; keepalive would take hours to notice.
  [[nodiscard]] bool writeStalled(std::chrono::steady_clock::time_point now,
                                  std::chrono::steady_clock::duration limit) const {
    return writing_ && now - writeStarted_ > limit;
  }
  [[nodiscard]] const std::string& peer() const { return peer_; }

 private:
  void read() {
    auto self = shared_from_this();
    socket_.async_read_some(asio::buffer(buffer_),
                            [self](const boost::system::error_code& ec, std::size_t n) {
                              if (self->closed_) return;
                              if (ec) {
                                self->close(false);
                                return;
                              }
                              self->decoder_.feed(p::ByteView(self->buffer_.data(), n));
                              if (!self->process()) return;
                              self->read();
                            });
  }

  // Handles every complete message; false when the circuit was closed.
  bool process() {
    for (;;) {
      auto ev = decoder_.next();
      if (std::holds_alternative<p::NeedMore>(ev)) break;
      if (auto* rej = std::get_if<p::Rejected>(&ev)) {
        if (p::isFatal(rej->error)) {
          std::cerr << "quellor_server: circuit from " << peer_ << " closed: " << rej->reason << std::endl;
          close(true);
          return false;
        }
        error(rej->header, 0xFFFFFFFF, p::ecaStatusFor(rej->error), std::string(rej->reason));
        continue;
      }
      std::visit([this](const auto& m) { handle(m); }, std::get<p::ClientMessage>(ev));
      if (closed_) return false;
      if (controlBytes_ > server_.controlBacklog_) {
        std::cerr << "quellor_server: circuit from " << peer_ << " closed: it does not read its replies"
                  << std::endl;
        close(true);
        return false;
      }
    }
    pump();
    return true;
  }

  template <typename M> void send(const M& m) {
    p::Bytes b;
    if (!p::encode(m, b, p::headerFormFor(minor_))) {
      // Only a reply too large for the peer's 16-byte headers fails to encode.
      return;
    }
    queueControl(std::move(b));
  }

  void queueControl(p::Bytes b) {
    controlBytes_ += b.size();
    control_.push_back(std::move(b));
  }

  void error(const p::Header& request, std::uint32_t cid, p::EcaStatus status, std::string text) {
    p::ErrorMessage e;
    e.request = request;
    e.cid = cid;
    e.status = status;
    e.text = std::move(text);
    send(e);
  }
  template <typename M> void error(const M& m, std::uint32_t cid, p::EcaStatus status, std::string text) {
    error(headerOf(p::ClientMessage(m)), cid, status, std::move(text));
  }

  Channel* channel(std::uint32_t sid) {
    auto it = channels_.find(sid);
    return it == channels_.end() ? nullptr : it->second.get();
  }

  // ---- handlers ----
  void handle(const p::Version& m) {
    minor_ = m.minorVersion;
    priority_ = std::min<std::uint16_t>(m.priority, p::maxPriority);
  }
  void handle(const p::Search& m) {
    if (server_.table_.resolve(m.name)) {
      p::SearchReply r;
      r.port = server_.port_;
      r.searchId = m.searchId;
      r.transport = p::Transport::Tcp;
      send(r);
    } else if (m.wantsNotFound()) {
      send(p::NotFound::to(m));
    }
  }
  void handle(const p::ClientName& m) {
    user_ = m.name;
    refreshRights();
  }
  void handle(const p::HostName& m) {
    host_ = m.name;
    refreshRights();
  }
  void refreshRights() {
    for (auto& [sid, ch] : channels_) {
      bool w = ch->target.writable() && server_.mayWrite(user_, host_, peer_);
      if (w != ch->write) {
        ch->write = w;
        send(p::AccessRights{ch->cid, true, w});
      }
    }
  }
  void handle(const p::CreateChannel& m) {
    if (m.minorVersion != 0)
      minor_ = static_cast<std::uint16_t>(std::min<std::uint32_t>(m.minorVersion, 0xFFFF));
    auto t = server_.table_.resolve(m.name);
    if (!t) {
      send(p::CreateChannelFailed{m.cid});
      return;
    }
    if (channels_.size() >= server_.options_.maxChannelsPerCircuit) {
      error(m, m.cid, p::EcaStatus::AllocMem,
            "too many channels on this circuit (limit " +
                std::to_string(server_.options_.maxChannelsPerCircuit) + ")");
      send(p::CreateChannelFailed{m.cid});
      return;
    }
    auto ch = std::make_unique<Channel>();
    ch->cid = m.cid;
    ch->sid = nextSid_++;
    ch->target = *t;
    ch->write = t->writable() && server_.mayWrite(user_, host_, peer_);
    send(p::AccessRights{ch->cid, true, ch->write});
    p::CreateChannelReply r;
    r.nativeType = p::toWire(p::nativeDbrType(t->nativeType()));
    r.nativeCount = t->nativeCount();
    r.cid = ch->cid;
    r.sid = ch->sid;
    send(r);
    channels_.emplace(ch->sid, std::move(ch));
  }

  bool tooLarge(std::uint16_t type, std::uint32_t count, std::uint32_t nativeCount) const {
    auto t = p::toDbrType(type);
    if (!t) return false;
    return p::dataSize(*t, count == 0 ? nativeCount : count) > server_.maxPayload_;
  }

  template <typename M> void handleRead(const M& m, bool notify) {
    Channel* ch = channel(m.sid);
    if (ch == nullptr) {
      error(m, 0xFFFFFFFF, p::EcaStatus::BadChid, "no channel with this id on the circuit");
      return;
    }
    // Refused before encoding: a failed read reply must carry zeros of the requested size, which
    // for a hostile count would be gigabytes.
    if (m.dataCount > ch->target.nativeCount()) {
      error(m, ch->cid, p::EcaStatus::BadCount, "count above the channel's element count");
      return;
    }
    if (tooLarge(m.dataType, m.dataCount, ch->target.nativeCount())) {
      error(m, ch->cid, p::EcaStatus::TooLarge, "reply exceeds EPICS_CA_MAX_ARRAY_BYTES of the server");
      return;
    }
    auto u = ch->target.current();
    auto d = p::encodeDbr(u->value, u->metadata, m.dataType, m.dataCount,
                          p::ReadContext{ch->target.nativeCount(), minor_});
    p::Bytes b;
    bool ok;
    if (notify) {
      ok = p::encode(p::ReadNotifyReply{m.dataType, d.count, d.status, m.ioid, std::move(d.bytes)}, b,
                     p::headerFormFor(minor_));
    } else {
      if (d.status != p::EcaStatus::Normal) {
        error(m, ch->cid, d.status, "read failed");
        return;
      }
      ok = p::encode(p::ReadReply{m.dataType, d.count, ch->cid, m.ioid, std::move(d.bytes)}, b,
                     p::headerFormFor(minor_));
    }
    if (!ok) {
      error(m, ch->cid, p::EcaStatus::SixteenKArrayClient,
            "the reply needs a client of protocol 4.9 or later");
      return;
    }
    queueControl(std::move(b));
  }
  void handle(const p::ReadNotify& m) { handleRead(m, true); }
  void handle(const p::Read& m) { handleRead(m, false); }

  void handle(const p::Write& m) {
    Channel* ch = channel(m.sid);
    if (ch == nullptr) {
      error(m, 0xFFFFFFFF, p::EcaStatus::BadChid, "no channel with this id on the circuit");
      return;
    }
    if (!ch->write) {
      error(m, ch->cid, p::EcaStatus::NoWtAccess, "no write access to " + ch->target.variable->name());
      return;
    }
    auto s = ch->target.variable->write(m.dataType, m.dataCount, m.data);
    if (s != p::EcaStatus::Normal)
      error(m, ch->cid, s, "write to " + ch->target.variable->name() + " failed");
  }
  void handle(const p::WriteNotify& m) {
    Channel* ch = channel(m.sid);
    if (ch == nullptr) {
      error(m, 0xFFFFFFFF, p::EcaStatus::BadChid, "no channel with this id on the circuit");
      return;
    }
    p::EcaStatus s =
        ch->write ? ch->target.variable->write(m.dataType, m.dataCount, m.data) : p::EcaStatus::NoWtAccess;
    send(p::WriteNotifyReply{m.dataType, m.dataCount, s, m.ioid});
  }

  void handle(const p::EventAdd& m) {
    Channel* ch = channel(m.sid);
    if (ch == nullptr) {
      error(m, 0xFFFFFFFF, p::EcaStatus::BadChid, "no channel with this id on the circuit");
      return;
    }
    auto t = p::toDbrType(m.dataType);
    if (!t || p::family(*t) == p::DbrFamily::Other) {
      error(m, ch->cid, p::EcaStatus::BadType, "subscription with an unusable DBR type");
      return;
    }
    if ((m.mask & allBits) == 0) {
      error(m, ch->cid, p::EcaStatus::BadMask, "subscription mask selects no event");
      return;
    }
    if (m.dataCount > ch->target.nativeCount()) {
      error(m, ch->cid, p::EcaStatus::BadCount, "subscription count above the channel's element count");
      return;
    }
    if (tooLarge(m.dataType, m.dataCount, ch->target.nativeCount())) {
      error(m, ch->cid, p::EcaStatus::TooLarge, "updates exceed EPICS_CA_MAX_ARRAY_BYTES of the server");
      return;
    }
    if (auto old = subscriptions_.find(m.subscriptionId); old != subscriptions_.end()) {
      // libca never reuses an id; a client that does gets the new subscription only.
      removeSubscription(old->second);
      subscriptions_.erase(old);
    }
    if (subscriptions_.size() >= server_.options_.maxSubscriptionsPerCircuit) {
      error(m, ch->cid, p::EcaStatus::AllocMem, "too many subscriptions on this circuit");
      return;
    }
    auto sub = std::make_shared<Subscription>();
    sub->id = m.subscriptionId;
    sub->sid = m.sid;
    sub->type = m.dataType;
    sub->count = m.dataCount;
    sub->mask = m.mask;
    sub->circuit = this;
    sub->native = ch->target.nativeType();
    sub->nativeCount = ch->target.nativeCount();
    subscriptions_[sub->id] = sub;
    ch->subscriptions.push_back(sub);
    if (ch->target.field == Field::value) {
      sub->variable = ch->target.variable;
      auto& st = *server_.states_[sub->variable->pv().index()];
      st.subscriptions.push_back(sub);
      st.watchers.fetch_add(1, std::memory_order_acq_rel);
    }
    // The first update goes out at once, whatever the mask.
    server_.offer(sub, ch->target.current());
  }

  void removeSubscription(const SubscriptionPtr& sub) {
    sub->cancelled = true;
    sub->pending.clear();
    if (sub->variable != nullptr) {
      auto& st = *server_.states_[sub->variable->pv().index()];
      std::erase(st.subscriptions, sub);
      st.watchers.fetch_sub(1, std::memory_order_acq_rel);
    }
    if (Channel* ch = channel(sub->sid)) std::erase(ch->subscriptions, sub);
  }

  void dropSubscriptions(Channel& ch) {
    auto subs = ch.subscriptions;
    for (auto& s : subs) {
      removeSubscription(s);
      subscriptions_.erase(s->id);
    }
  }

  void handle(const p::EventCancel& m) {
    auto it = subscriptions_.find(m.subscriptionId);
    if (it == subscriptions_.end() || it->second->sid != m.sid) {
      error(m, 0xFFFFFFFF, p::EcaStatus::BadMonId, "no such subscription");
      return;
    }
    auto sub = it->second;
    removeSubscription(sub);
    subscriptions_.erase(it);
    send(p::EventCancelReply{sub->type, sub->count, sub->sid, sub->id});
  }

  void handle(const p::ClearChannel& m) {
    auto it = channels_.find(m.sid);
    if (it == channels_.end()) {
      error(m, 0xFFFFFFFF, p::EcaStatus::BadChid, "no channel with this id on the circuit");
      return;
    }
    dropSubscriptions(*it->second);
    send(p::ClearChannelReply{m.sid, it->second->cid});
    channels_.erase(it);
  }

  void handle(const p::EventsOff&) { eventsOff_ = true; }
  void handle(const p::EventsOn&) {
    eventsOff_ = false;
    pump();
  }
  void handle(const p::Echo& m) { send(m); }
  void handle(const p::ReadSync& m) { send(m); }

 public:
  // Writes what is queued: replies first, then one update per ready subscription in turn.
  void pump() {
    if (writing_ || closed_) return;
    out_.clear();
    while (!control_.empty() && out_.size() < batchBytes) {
      auto& b = control_.front();
      out_.insert(out_.end(), b.begin(), b.end());
      controlBytes_ -= b.size();
      control_.pop_front();
    }
    while (!eventsOff_ && !ready_.empty() && out_.size() < batchBytes) {
      auto sub = ready_.front();
      ready_.pop_front();
      if (sub->cancelled || sub->pending.empty()) {
        sub->inReady = false;
        continue;
      }
      auto u = std::move(sub->pending.front());
      sub->pending.pop_front();
      if (sub->pending.empty())
        sub->inReady = false;
      else
        ready_.push_back(sub);
      encodeUpdate(*sub, *u);
    }
    if (out_.empty()) return;
    writing_ = true;
    writeStarted_ = std::chrono::steady_clock::now();
    auto self = shared_from_this();
    asio::async_write(socket_, asio::buffer(out_), [self](const boost::system::error_code& ec, std::size_t) {
      self->writing_ = false;
      if (self->closed_) return;
      if (ec) {
        self->close(false);
        return;
      }
      self->pump();
    });
  }

 private:
  void encodeUpdate(const Subscription& sub, const ServedUpdate& u) {
    auto d = p::encodeDbr(u.value, u.metadata, sub.type, sub.count, p::ReadContext{sub.nativeCount, minor_});
    p::EventAddReply r{sub.type, d.count, d.status, sub.id, std::move(d.bytes)};
    if (!p::encode(r, out_, p::headerFormFor(minor_))) {
      p::ErrorMessage e;
      e.request = p::Header{
          static_cast<std::uint16_t>(p::Command::EventAdd), 16, sub.type, sub.count, sub.sid, sub.id};
      e.status = p::EcaStatus::SixteenKArrayClient;
      e.text = "the update needs a client of protocol 4.9 or later";
      (void)p::encode(e, out_);
      return;
    }
    ++server_.stats_.monitorUpdatesSent;
  }

  CaServer::Impl& server_;
  tcp::socket socket_;
  p::StreamDecoder decoder_;
  std::array<std::uint8_t, 64 * 1024> buffer_{};
  std::string peer_, user_, host_;
  std::uint16_t minor_ = p::serverMinorVersion;
  std::uint16_t priority_ = 0;
  std::uint32_t nextSid_ = 1;
  std::unordered_map<std::uint32_t, std::unique_ptr<Channel>> channels_;
  std::unordered_map<std::uint32_t, SubscriptionPtr> subscriptions_;
  std::deque<p::Bytes> control_;
  std::size_t controlBytes_ = 0;
  std::deque<SubscriptionPtr> ready_;
  p::Bytes out_;
  bool writing_ = false;
  std::chrono::steady_clock::time_point writeStarted_{};
  bool eventsOff_ = false;
  bool closed_ = false;
};

void CaServer::Impl::offer(const SubscriptionPtr& sub, const UpdatePtr& u) {
  if (sub->cancelled) return;
  // While the client holds events off, only the newest value of each subscription waits.
  if (sub->circuit->eventsOff() && !sub->pending.empty()) {
    stats_.monitorUpdatesCoalesced += sub->pending.size();
    sub->pending.clear();
  }
  if (sub->pending.size() >= subscriptionDepth) {
    sub->pending.back() = u;
    ++stats_.monitorUpdatesCoalesced;
  } else {
    sub->pending.push_back(u);
  }
  sub->circuit->queueReady(sub);
}

// ---- sockets ------------------------------------------------------------------------------------

void CaServer::Impl::start() {
  if (started_) return;
  started_ = true;
  boost::system::error_code ec;
  auto addr = asio::ip::make_address(options_.interface, ec);
  if (ec) throw std::runtime_error("interface address '" + options_.interface + "' is not an IP address");
  auto where = [&](std::uint16_t port) { return options_.interface + ":" + std::to_string(port); };

  // With port 0 the TCP port comes from the system and the UDP socket must get the same number,
  // which another program may hold; a few fresh tries settle that.
  for (int attempt = 0;; ++attempt) {
    acceptor_ = tcp::acceptor(io_);
    acceptor_.open(addr.is_v6() ? tcp::v6() : tcp::v4());
    acceptor_.set_option(asio::socket_base::reuse_address(true));
    acceptor_.bind(tcp::endpoint(addr, options_.port), ec);
    if (ec) throw std::runtime_error("cannot bind TCP " + where(options_.port) + ": " + ec.message());
    acceptor_.listen(asio::socket_base::max_listen_connections, ec);
    if (ec) throw std::runtime_error("cannot listen on TCP " + where(options_.port) + ": " + ec.message());
    port_ = acceptor_.local_endpoint().port();
    udp_ = udp::socket(io_);
    udp_.open(addr.is_v6() ? udp::v6() : udp::v4());
    udp_.set_option(asio::socket_base::reuse_address(true));
    udp_.bind(udp::endpoint(addr, port_), ec);
    if (!ec) break;
    if (options_.port != 0 || attempt >= 20)
      throw std::runtime_error("cannot bind UDP " + where(port_) + ": " + ec.message());
  }
  udp_.non_blocking(true);

  beaconSocket_.open(udp::v4());
  beaconSocket_.set_option(asio::socket_base::broadcast(true));
  beaconSocket_.non_blocking(true);
  for (auto& b : options_.beaconAddresses) {
    udp::resolver resolver(io_);
    auto results = resolver.resolve(udp::v4(), b.address, std::to_string(b.port), ec);
    if (ec || results.empty())
      throw std::runtime_error("beacon address '" + b.address + "' cannot be resolved: " + ec.message());
    beaconTargets_.push_back(*results.begin());
  }

  startAccept();
  startUdp();
  sendBeacon();
  housekeeping();

  if (options_.triggerRate > 0) {
    trigger_ = table_.byPath("/Server/triggerNumber");
    if (trigger_ == nullptr) {
      std::cerr << "quellor_server: no variable /Server/triggerNumber; the trigger generator is off"
                << std::endl;
    } else if (!trigger_->writable()) {
      std::cerr
          << "quellor_server: /Server/triggerNumber is fed by the application; the trigger generator is off"
          << std::endl;
      trigger_ = nullptr;
    } else {
      triggerNext_ = std::chrono::steady_clock::now();
      scheduleTrigger();
    }
  }
}

void CaServer::Impl::scheduleTrigger() {
  const auto period = std::chrono::duration_cast<std::chrono::steady_clock::duration>(
      std::chrono::duration<double>(1.0 / options_.triggerRate));
  triggerNext_ += period;
  // After a stall the next trigger is one period from now, not a burst of the missed ones.
  auto now = std::chrono::steady_clock::now();
  if (triggerNext_ + period < now) triggerNext_ = now + period;
  triggerTimer_.expires_at(triggerNext_);
  std::weak_ptr<Impl> weak = shared_from_this();
  triggerTimer_.async_wait([weak](const boost::system::error_code& ec) {
    auto self = weak.lock();
    if (!self || ec || self->stopped_) return;
    try {
      self->trigger_->pv().write(orvane::AnyVector(std::in_place_type<std::vector<std::int64_t>>,
                                                   std::vector<std::int64_t>{++self->triggerCount_}));
    } catch (const std::exception& e) {
      std::cerr << "quellor_server: trigger write failed: " << e.what() << std::endl;
    }
    self->scheduleTrigger();
  });
}

void CaServer::Impl::startAccept() {
  std::weak_ptr<Impl> weak = shared_from_this();
  acceptor_.async_accept([weak](const boost::system::error_code& ec, tcp::socket socket) {
    auto self = weak.lock();
    if (!self || self->stopped_) return;
    if (!ec) {
      if (self->circuits_.size() >= self->options_.maxCircuits) {
        boost::system::error_code ignored;
        socket.close(ignored);
      } else {
        auto c = std::make_shared<Circuit>(*self, std::move(socket));
        self->circuits_.insert(c);
        ++self->stats_.circuitsAccepted;
        c->start();
      }
    }
    // Errors such as running out of descriptors are transient; keep accepting.
    self->startAccept();
  });
}

void CaServer::Impl::startUdp() {
  std::weak_ptr<Impl> weak = shared_from_this();
  udp_.async_receive_from(asio::buffer(udpBuffer_), udpPeer_,
                          [weak](const boost::system::error_code& ec, std::size_t n) {
                            auto self = weak.lock();
                            if (!self || self->stopped_) return;
                            if (!ec) self->handleDatagram(n);
                            self->startUdp();
                          });
}

void CaServer::Impl::handleDatagram(std::size_t n) {
  if (!options_.ignoreAddresses.empty()) {
    const auto from = udpPeer_.address().to_string();
    for (auto& a : options_.ignoreAddresses)
      if (a == from) return;
  }
  auto content = p::decodeDatagram(p::ByteView(udpBuffer_.data(), n));
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
    r.port = port_;
    r.searchId = s->searchId;
    r.transport = p::Transport::Udp;
    (void)p::encode(r, reply);
  }
  if (!any) return;
  boost::system::error_code ec;
  udp_.send_to(asio::buffer(reply), udpPeer_, 0, ec); // a full socket buffer drops it; clients retry
}

void CaServer::Impl::sendBeacon() {
  p::Bytes b;
  (void)p::encode(p::Beacon{p::serverMinorVersion, port_, beaconId_++, 0}, b);
  for (auto& t : beaconTargets_) {
    boost::system::error_code ec;
    beaconSocket_.send_to(asio::buffer(b), t, 0, ec);
  }
  ++stats_.beaconsSent;
  beaconTimer_.expires_after(std::chrono::duration_cast<std::chrono::steady_clock::duration>(
      std::chrono::duration<double>(beaconGap_)));
  beaconGap_ = std::min(beaconGap_ * 2, options_.beaconPeriod);
  std::weak_ptr<Impl> weak = shared_from_this();
  beaconTimer_.async_wait([weak](const boost::system::error_code& ec) {
    auto self = weak.lock();
    if (!self || ec || self->stopped_) return;
    self->sendBeacon();
  });
}

void CaServer::Impl::housekeeping() {
  const auto stallLimit = std::chrono::duration_cast<std::chrono::steady_clock::duration>(
      std::chrono::duration<double>(options_.stallTimeout));
  auto now = std::chrono::steady_clock::now();
  std::vector<std::shared_ptr<Circuit>> stalled;
  for (auto& c : circuits_)
    if (c->writeStalled(now, stallLimit)) stalled.push_back(c);
  for (auto& c : stalled) {
    std::cerr << "quellor_server: circuit from " << c->peer() << " closed: it has not taken data for "
              << options_.stallTimeout << " s" << std::endl;
    c->close(true);
  }
  // A few looks per limit, so that a circuit is closed soon after its time is up.
  housekeepingTimer_.expires_after(
      std::min<std::chrono::steady_clock::duration>(std::chrono::seconds(5), stallLimit / 4));
  std::weak_ptr<Impl> weak = shared_from_this();
  housekeepingTimer_.async_wait([weak](const boost::system::error_code& ec) {
    auto self = weak.lock();
    if (!self || ec || self->stopped_) return;
    self->housekeeping();
  });
}

void CaServer::Impl::closed(Circuit* c, bool fault) {
  if (fault) ++stats_.circuitsClosedForFaults;
  for (auto it = circuits_.begin(); it != circuits_.end(); ++it) {
    if (it->get() == c) {
      // Still referenced by the handler that is closing it; freed when that returns.
      circuits_.erase(it);
      break;
    }
  }
}

void CaServer::Impl::stop() {
  if (stopped_) return;
  stopped_ = true;
  boost::system::error_code ec;
  acceptor_.close(ec);
  udp_.close(ec);
  beaconSocket_.close(ec);
  beaconTimer_.cancel();
  triggerTimer_.cancel();
  persistTimer_.cancel();
  housekeepingTimer_.cancel();
  auto all = circuits_;
  for (auto& c : all)
    c->close(false);
  circuits_.clear();
}

// ---- facade -------------------------------------------------------------------------------------

CaServer::CaServer(asio::io_context& io, orvane::ProcessVariableRegistry& registry, Options options,
                   AccessRules rules, SettingsStore* store)
    : impl_(std::make_shared<Impl>(io, registry, std::move(options), std::move(rules), store)) {
  impl_->installHook();
}

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
  impl_->saveSettings();
}

std::uint16_t CaServer::port() const {
  return impl_->port_;
}
const PvTable& CaServer::table() const {
  return impl_->table_;
}
ServerStats CaServer::stats() const {
  auto s = impl_->stats_;
  s.circuits = impl_->circuits_.size();
  return s;
}
void CaServer::saveSettings() {
  impl_->saveSettings();
}

} // namespace telvik::server
