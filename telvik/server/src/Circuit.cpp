#include "Circuit.hpp"

#include "EventLog.hpp"

#include "telvik/protocol/Messages.hpp"

#include <concepts>

namespace telvik::server {

namespace asio = boost::asio;
using asio::ip::tcp;
namespace p = telvik::protocol;

namespace {

// The CID slot of an ERROR that concerns no channel.
constexpr std::uint32_t noCid = 0xFFFFFFFF;

// Requests addressed to a channel of the circuit by its SID. EVENT_CANCEL names one too, but what
// it must find is the subscription, and a miss is ECA_BADMONID.
template <typename M>
concept AddressesChannel = requires(const M& m) {
  m.sid;
}
&&!std::same_as<M, p::EventCancel>;

} // namespace

Circuit::Circuit(CircuitContext& context, tcp::socket socket)
    : context_(context), socket_(std::move(socket)), decoder_(context.limits.request) {
  boost::system::error_code ec;
  auto ep = socket_.remote_endpoint(ec);
  if (!ec) {
    peer_ = ep.address().to_string();
    peerEndpoint_ = peer_ + ":" + std::to_string(ep.port());
  }
  socket_.set_option(tcp::no_delay(true), ec);
  socket_.set_option(asio::socket_base::keep_alive(true), ec);
}

void Circuit::start() {
  events::circuitOpened(peerEndpoint_);
  p::Bytes b;
  (void)p::encode(p::Version::forCircuit(), b);
  queueControl(std::move(b));
  read();
}

void Circuit::close(bool fault, const std::string& reason) {
  if (closed_) return;
  closed_ = true;
  events::circuitClosed(peerEndpoint_, user_.empty() && host_.empty() ? "" : events::who(user_, host_, peer_),
                        channels_.size(), fault, reason);
  for (auto& [sid, ch] : channels_)
    dropSubscriptions(*ch);
  channels_.clear();
  subscriptions_.clear();
  ready_.clear();
  control_.clear();
  controlBytes_ = 0;
  account();
  boost::system::error_code ec;
  socket_.shutdown(tcp::socket::shutdown_both, ec);
  socket_.close(ec);
  context_.closed(*this, fault);
}

// ---- input --------------------------------------------------------------------------------------

void Circuit::read() {
  auto self = shared_from_this();
  socket_.async_read_some(asio::buffer(buffer_), [self](const boost::system::error_code& ec, std::size_t n) {
    if (self->closed_) return;
    if (ec) {
      self->close(false, ec == asio::error::eof ? "the client closed it" : ec.message());
      return;
    }
    self->decoder_.feed(p::ByteView(self->buffer_.data(), n));
    if (!self->process()) return;
    if (!self->paused_) self->read();
  });
}

// Handles every complete message; false when the circuit was closed.
bool Circuit::process() {
  const auto now = Liveness::Clock::now();
  for (;;) {
    account();
    if (overBudget()) {
      // The rest stays in the decoder, and the socket unread, until the client takes its replies.
      paused_ = true;
      break;
    }
    auto ev = decoder_.next();
    if (std::holds_alternative<p::NeedMore>(ev)) break;
    // Only whole messages count: a client that trickles bytes is as silent as one that sends none.
    liveness_.heard(now);
    if (auto* rej = std::get_if<p::Rejected>(&ev)) {
      if (p::isFatal(rej->error)) {
        close(true, std::string(rej->reason));
        return false;
      }
      error(rej->header, noCid, p::ecaStatusFor(rej->error), std::string(rej->reason));
      continue;
    }
    const auto& received = std::get<p::Received>(ev);
    dispatch(received.header, received.message);
    if (closed_) return false;
  }
  pump();
  return true;
}

void Circuit::dispatch(const p::Header& h, const p::ClientMessage& m) {
  std::visit(
      [&](const auto& msg) {
        using M = std::decay_t<decltype(msg)>;
        if constexpr (AddressesChannel<M>) {
          auto it = channels_.find(msg.sid);
          if (it == channels_.end()) {
            error(h, noCid, p::EcaStatus::BadChid, "no channel with this id on the circuit");
            return;
          }
          handle(h, msg, *it->second);
        } else {
          handle(h, msg);
        }
      },
      m);
}

bool Circuit::unresponsive(Liveness::Clock::time_point now, Liveness::Clock::duration idle,
                           Liveness::Clock::duration echo) {
  switch (liveness_.check(now, idle, echo)) {
  case Liveness::Action::none:
    return false;
  case Liveness::Action::probe:
    send(p::Echo{});
    pump();
    return false;
  case Liveness::Action::close:
    return true;
  }
  return false;
}

// ---- replies ------------------------------------------------------------------------------------

template <typename M> void Circuit::send(const M& m) {
  p::Bytes b;
  // Only a reply too large for the peer's 16-byte headers fails to encode.
  if (!p::encode(m, b, p::headerFormFor(minor_))) return;
  queueControl(std::move(b));
}

void Circuit::queueControl(p::Bytes b) {
  controlBytes_ += b.size();
  control_.push_back(std::move(b));
  account();
}

void Circuit::error(const p::Header& request, std::uint32_t cid, p::EcaStatus status, std::string text) {
  p::ErrorMessage e;
  e.request = request;
  e.cid = cid;
  e.status = status;
  e.text = std::move(text);
  send(e);
}

// ---- handlers -----------------------------------------------------------------------------------

void Circuit::handle(const p::Header&, const p::Version& m) {
  minor_ = m.minorVersion;
  priority_ = std::min<std::uint16_t>(m.priority, p::maxPriority);
}

void Circuit::handle(const p::Header&, const p::Search& m) {
  if (context_.table.resolve(m.name)) {
    p::SearchReply r;
    r.port = context_.port;
    r.searchId = m.searchId;
    r.transport = p::Transport::Tcp;
    send(r);
  } else if (m.wantsNotFound()) {
    send(p::NotFound::to(m));
  }
}

void Circuit::handle(const p::Header&, const p::ClientName& m) {
  user_ = m.name;
  refreshRights();
}

void Circuit::handle(const p::Header&, const p::HostName& m) {
  host_ = m.name;
  refreshRights();
}

bool Circuit::mayWrite(const bridge::ChannelTarget& t) const {
  return t.writable() && context_.rules.mayWrite(user_, host_, peer_);
}

void Circuit::refreshRights() {
  for (auto& [sid, ch] : channels_) {
    bool w = mayWrite(ch->target);
    if (w != ch->write) {
      ch->write = w;
      send(p::AccessRights{ch->cid, true, w});
    }
  }
}

void Circuit::handle(const p::Header& h, const p::CreateChannel& m) {
  if (m.minorVersion != 0)
    minor_ = static_cast<std::uint16_t>(std::min<std::uint32_t>(m.minorVersion, 0xFFFF));
  auto t = context_.table.resolve(m.name);
  if (!t) {
    send(p::CreateChannelFailed{m.cid});
    return;
  }
  const auto limit = context_.options.maxChannelsPerCircuit;
  if (channels_.size() >= limit) {
    error(h, m.cid, p::EcaStatus::AllocMem,
          "too many channels on this circuit (limit " + std::to_string(limit) + ")");
    send(p::CreateChannelFailed{m.cid});
    return;
  }
  auto ch = std::make_unique<Channel>();
  ch->cid = m.cid;
  ch->sid = nextSid_++;
  ch->target = *t;
  ch->write = mayWrite(*t);
  send(p::AccessRights{ch->cid, true, ch->write});
  p::CreateChannelReply r;
  r.nativeType = p::toWire(p::nativeDbrType(t->nativeType()));
  r.nativeCount = t->nativeCount();
  r.cid = ch->cid;
  r.sid = ch->sid;
  send(r);
  channels_.emplace(ch->sid, std::move(ch));
}

bool Circuit::tooLarge(std::uint16_t type, std::uint32_t count, std::uint32_t nativeCount) const {
  auto t = p::toDbrType(type);
  if (!t) return false;
  return p::dataSize(*t, count == 0 ? nativeCount : count) > context_.limits.reply;
}

void Circuit::readValue(const p::Header& h, std::uint16_t dataType, std::uint32_t dataCount,
                        std::uint32_t ioid, Channel& ch, bool notify) {
  // Refused before encoding: a failed read reply must carry zeros of the requested size, which
  // for a hostile count would be gigabytes.
  if (dataCount > ch.target.nativeCount()) {
    error(h, ch.cid, p::EcaStatus::BadCount, "count above the channel's element count");
    return;
  }
  if (tooLarge(dataType, dataCount, ch.target.nativeCount())) {
    error(h, ch.cid, p::EcaStatus::TooLarge, "reply exceeds EPICS_CA_MAX_ARRAY_BYTES of the server");
    return;
  }
  auto u = ch.target.current();
  auto d = p::encodeDbr(u->value, u->metadata, dataType, dataCount,
                        p::ReadContext{ch.target.nativeCount(), minor_});
  p::Bytes b;
  bool ok;
  if (notify) {
    ok = p::encode(p::ReadNotifyReply{dataType, d.count, d.status, ioid, std::move(d.bytes)}, b,
                   p::headerFormFor(minor_));
  } else {
    if (d.status != p::EcaStatus::Normal) {
      error(h, ch.cid, d.status, "read failed");
      return;
    }
    ok = p::encode(p::ReadReply{dataType, d.count, ch.cid, ioid, std::move(d.bytes)}, b,
                   p::headerFormFor(minor_));
  }
  if (!ok) {
    error(h, ch.cid, p::EcaStatus::SixteenKArrayClient, "the reply needs a client of protocol 4.9 or later");
    return;
  }
  queueControl(std::move(b));
}

void Circuit::handle(const p::Header& h, const p::ReadNotify& m, Channel& ch) {
  readValue(h, m.dataType, m.dataCount, m.ioid, ch, true);
}

void Circuit::handle(const p::Header& h, const p::Read& m, Channel& ch) {
  readValue(h, m.dataType, m.dataCount, m.ioid, ch, false);
}

void Circuit::handle(const p::Header& h, const p::Write& m, Channel& ch) {
  write(h, m.dataType, m.dataCount, m.data, 0, false, ch);
}

void Circuit::handle(const p::Header& h, const p::WriteNotify& m, Channel& ch) {
  write(h, m.dataType, m.dataCount, m.data, m.ioid, true, ch);
}

// Both kinds of write, each in the event log with the value before and after.
void Circuit::write(const p::Header& h, std::uint16_t dataType, std::uint32_t dataCount, p::ByteView data,
                    std::uint32_t ioid, bool notify, Channel& ch) {
  const auto& variable = *ch.target.variable;
  p::EcaStatus s = p::EcaStatus::NoWtAccess;
  if (ch.write) {
    const auto before = variable.pv().get().value;
    s = ch.target.write(dataType, dataCount, data);
    if (s == p::EcaStatus::Normal)
      events::written(events::who(user_, host_, peer_), variable.name(), before, variable.pv().get().value);
  }
  if (s != p::EcaStatus::Normal)
    events::writeRefused(events::who(user_, host_, peer_), variable.name(),
                         s == p::EcaStatus::NoWtAccess ? "no write access" : std::string(p::describe(s)));
  if (notify)
    send(p::WriteNotifyReply{dataType, dataCount, s, ioid});
  else if (s == p::EcaStatus::NoWtAccess)
    error(h, ch.cid, s, "no write access to " + variable.name());
  else if (s != p::EcaStatus::Normal)
    error(h, ch.cid, s, "write to " + variable.name() + " failed");
}

void Circuit::handle(const p::Header& h, const p::EventAdd& m, Channel& ch) {
  auto t = p::toDbrType(m.dataType);
  if (!t || p::family(*t) == p::DbrFamily::Other) {
    error(h, ch.cid, p::EcaStatus::BadType, "subscription with an unusable DBR type");
    return;
  }
  if ((m.mask & anyEventBits) == 0) {
    error(h, ch.cid, p::EcaStatus::BadMask, "subscription mask selects no event");
    return;
  }
  if (m.dataCount > ch.target.nativeCount()) {
    error(h, ch.cid, p::EcaStatus::BadCount, "subscription count above the channel's element count");
    return;
  }
  if (tooLarge(m.dataType, m.dataCount, ch.target.nativeCount())) {
    error(h, ch.cid, p::EcaStatus::TooLarge, "updates exceed EPICS_CA_MAX_ARRAY_BYTES of the server");
    return;
  }
  if (auto old = subscriptions_.find(m.subscriptionId); old != subscriptions_.end()) {
    // libca never reuses an id; a client that does gets the new subscription only.
    removeSubscription(old->second);
    subscriptions_.erase(old);
  }
  if (subscriptions_.size() >= context_.options.maxSubscriptionsPerCircuit) {
    error(h, ch.cid, p::EcaStatus::AllocMem, "too many subscriptions on this circuit");
    return;
  }
  auto sub = std::make_shared<Subscription>();
  sub->id = m.subscriptionId;
  sub->sid = m.sid;
  sub->type = m.dataType;
  sub->count = m.dataCount;
  sub->mask = m.mask;
  sub->sink = this;
  sub->nativeCount = ch.target.nativeCount();
  subscriptions_[sub->id] = sub;
  ch.subscriptions.push_back(sub);
  context_.fanout.subscribe(sub, ch.target);
}

void Circuit::removeSubscription(const SubscriptionPtr& sub) {
  context_.fanout.unsubscribe(sub);
  if (auto it = channels_.find(sub->sid); it != channels_.end()) std::erase(it->second->subscriptions, sub);
}

void Circuit::dropSubscriptions(Channel& ch) {
  auto subs = ch.subscriptions;
  for (auto& s : subs) {
    removeSubscription(s);
    subscriptions_.erase(s->id);
  }
}

void Circuit::handle(const p::Header& h, const p::EventCancel& m) {
  auto it = subscriptions_.find(m.subscriptionId);
  if (it == subscriptions_.end() || it->second->sid != m.sid) {
    error(h, noCid, p::EcaStatus::BadMonId, "no such subscription");
    return;
  }
  auto sub = it->second;
  removeSubscription(sub);
  subscriptions_.erase(it);
  send(p::EventCancelReply{sub->type, sub->count, sub->sid, sub->id});
}

void Circuit::handle(const p::Header&, const p::ClearChannel& m, Channel& ch) {
  dropSubscriptions(ch);
  send(p::ClearChannelReply{m.sid, ch.cid});
  channels_.erase(m.sid);
}

void Circuit::handle(const p::Header&, const p::EventsOff&) {
  eventsOff_ = true;
}

void Circuit::handle(const p::Header&, const p::EventsOn&) {
  eventsOff_ = false;
  pump();
}

void Circuit::handle(const p::Header&, const p::Echo& m) {
  send(m);
}

void Circuit::handle(const p::Header&, const p::ReadSync& m) {
  send(m);
}

} // namespace telvik::server
