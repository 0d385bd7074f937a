// The output side of a circuit: replies before updates, and the output budgets.
#include "Circuit.hpp"

#include "telvik/protocol/Messages.hpp"

#include <boost/asio/write.hpp>

namespace telvik::server {

namespace asio = boost::asio;
namespace p = telvik::protocol;

namespace {

// Bytes gathered into one socket write.
constexpr std::size_t batchBytes = std::size_t{256} * 1024;

} // namespace

void Circuit::updateReady(const SubscriptionPtr& sub) {
  if (!sub->inReady) {
    sub->inReady = true;
    ready_.push_back(sub);
  }
  pump();
}

bool Circuit::overBudget() const {
  const auto own = ownOutput();
  return own >= context_.circuitOutputBudget || (own > 0 && context_.queuedOutput >= context_.outputBudget);
}

void Circuit::account() {
  const auto own = closed_ ? 0 : ownOutput();
  context_.queuedOutput = context_.queuedOutput - accounted_ + own;
  accounted_ = own;
}

// After a write: requests that waited for the budget are taken again, and then the socket.
void Circuit::resume() {
  if (!paused_ || closed_ || overBudget()) return;
  paused_ = false;
  if (!process()) return;
  if (!paused_) read();
}

// ---- output -------------------------------------------------------------------------------------

// Writes what is queued: replies first, then one update per ready subscription in turn.
void Circuit::pump() {
  if (writing_ || closed_) return;
  out_.clear();
  while (!control_.empty() && out_.size() < batchBytes) {
    auto& b = control_.front();
    out_.insert(out_.end(), b.begin(), b.end());
    controlBytes_ -= b.size();
    control_.pop_front();
  }
  batchHasUpdates_ = false;
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
    batchHasUpdates_ = true;
  }
  if (out_.empty()) {
    // A circuit that once carried a large array need not keep room for one while it is quiet.
    if (out_.capacity() > batchBytes) p::Bytes().swap(out_);
    return;
  }
  writing_ = true;
  account();
  writeStarted_ = std::chrono::steady_clock::now();
  auto self = shared_from_this();
  asio::async_write(socket_, asio::buffer(out_), [self](const boost::system::error_code& ec, std::size_t) {
    self->writing_ = false;
    if (self->closed_) return;
    self->account();
    if (ec) {
      self->close(false, ec.message());
      return;
    }
    if (self->batchHasUpdates_) self->liveness_.delivered(Liveness::Clock::now());
    self->pump();
    self->resume();
  });
}

void Circuit::encodeUpdate(const Subscription& sub, const bridge::ServedUpdate& u) {
  auto d = p::encodeDbr(u.value, u.metadata, sub.type, sub.count, p::ReadContext{sub.nativeCount, minor_});
  p::EventAddReply r{sub.type, d.count, d.status, sub.id, std::move(d.bytes)};
  if (!p::encode(r, out_, p::headerFormFor(minor_))) {
    p::ErrorMessage e;
    e.request =
        p::Header{static_cast<std::uint16_t>(p::Command::EventAdd), 16, sub.type, sub.count, sub.sid, sub.id};
    e.status = p::EcaStatus::SixteenKArrayClient;
    e.text = "the update needs a client of protocol 4.9 or later";
    (void)p::encode(e, out_);
    return;
  }
  ++context_.stats.monitorUpdatesSent;
}

} // namespace telvik::server
