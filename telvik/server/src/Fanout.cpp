#include "Fanout.hpp"

#include <boost/asio/post.hpp>
#include <boost/thread/locks.hpp>
#include <boost/thread/mutex.hpp>

#include <algorithm>
#include <atomic>
#include <optional>

namespace telvik::server {

namespace asio = boost::asio;
namespace p = telvik::protocol;

namespace {

// Updates a subscription keeps when its client falls behind; past it the newest is replaced.
constexpr std::size_t subscriptionDepth = 4;
// Updates a variable's hand-over queue keeps before it coalesces.
constexpr std::size_t handoverDepth = 8;

} // namespace

// Per variable: what the io thread knows (subscribers, last alarm state) and the hand-over queue
// that writing threads fill.
struct Fanout::VariableState {
  bridge::ServedVariable* variable = nullptr;
  std::atomic<int> watchers{0};
  boost::mutex mutex;
  std::deque<std::shared_ptr<orvane::ProcessVariable::Snapshot>> handover;
  bool posted = false;
  // io thread only
  std::vector<SubscriptionPtr> subscriptions;
  PostedState lastPosted;
  std::vector<VariableState*> dependents; // variables with a limit that refers to this one
  bool referenced = false;                // watched for good, for the dependents' sake
};

Fanout::Fanout(asio::io_context& io, const bridge::PvTable& table, ServerStats& stats)
    : io_(io), stats_(stats) {
  for (auto& v : table.all()) {
    const auto index = v->pv().index();
    if (states_.size() <= index) states_.resize(index + 1);
    states_[index] = std::make_unique<VariableState>();
    states_[index]->variable = v.get();
  }
  for (auto& v : table.all()) {
    for (const auto* ref : v->conventions().references) {
      auto& target = *states_[ref->index()];
      target.dependents.push_back(states_[v->pv().index()].get());
      if (!target.referenced) target.watchers.fetch_add(1, std::memory_order_acq_rel);
      target.referenced = true;
    }
  }
}

Fanout::~Fanout() = default;

void Fanout::attach(orvane::ProcessVariableRegistry& registry) {
  std::weak_ptr<Fanout> weak = shared_from_this();
  registry.addUpdateHook([weak](const orvane::ProcessVariable& pv) {
    // Runs in whichever thread wrote the value; the registry outlives the server.
    if (auto self = weak.lock()) self->onUpdate(pv);
  });
}

void Fanout::onUpdate(const orvane::ProcessVariable& pv) {
  if (pv.index() >= states_.size() || !states_[pv.index()]) return;
  auto& st = *states_[pv.index()];
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
    std::weak_ptr<Fanout> weak = shared_from_this();
    asio::post(io_, [weak, &st] {
      if (auto self = weak.lock()) self->drain(st);
    });
  }
}

void Fanout::drain(VariableState& st) {
  std::deque<std::shared_ptr<orvane::ProcessVariable::Snapshot>> items;
  {
    boost::lock_guard<boost::mutex> g(st.mutex);
    items.swap(st.handover);
    st.posted = false;
  }
  if (stopped_ || st.variable == nullptr) return;
  for (auto& snap : items)
    post(st, st.variable->convert(*snap), true);
}

void Fanout::post(VariableState& st, const bridge::UpdatePtr& u, bool refreshDependents) {
  const std::uint16_t bits = st.lastPosted.post(u, st.variable->conventions(), st.variable->isEvent());
  // A copy: offering may end up closing a circuit, which edits the list.
  auto subs = st.subscriptions;
  for (auto& sub : subs)
    offerEvent(sub, u, bits);
  if (!refreshDependents) return;
  for (auto* dependent : st.dependents)
    if (!dependent->subscriptions.empty()) post(*dependent, dependent->variable->current(), false);
}

void Fanout::offerEvent(const SubscriptionPtr& sub, const bridge::UpdatePtr& u, std::uint16_t bits) {
  const auto& target = sub->target;
  if (target.field == bridge::Field::value) {
    if ((sub->mask & bits) != 0) offer(sub, target.derive(u));
    return;
  }
  auto f = target.derive(u);
  if ((sub->mask & fieldEvents(target.field, f, sub->lastField)) != 0) offer(sub, f);
}

void Fanout::subscribe(const SubscriptionPtr& sub, const bridge::ChannelTarget& target) {
  sub->target = target;
  if (!bridge::followsValue(target.field)) {
    offer(sub, target.current());
    return;
  }
  sub->variable = target.variable;
  auto& st = *states_[sub->variable->pv().index()];
  st.subscriptions.push_back(sub);
  st.watchers.fetch_add(1, std::memory_order_acq_rel);
  auto u = target.variable->current();
  // What a first subscriber gets is what counts as posted: the next update is an event only if it
  // differs from that.
  if (st.lastPosted.empty()) st.lastPosted.baseline(u);
  auto first = target.derive(u);
  sub->lastField = first;
  offer(sub, first);
}

void Fanout::unsubscribe(const SubscriptionPtr& sub) {
  sub->cancelled = true;
  sub->pending.clear();
  if (sub->variable == nullptr) return;
  auto& st = *states_[sub->variable->pv().index()];
  // The order of a variable's subscriptions means nothing; a circuit that closes with thousands
  // of them must not shift all the others once for each.
  auto& subs = st.subscriptions;
  if (auto it = std::find(subs.begin(), subs.end(), sub); it != subs.end()) {
    *it = std::move(subs.back());
    subs.pop_back();
  }
  // Unwatched, the variable's updates are not followed, so what was posted goes stale.
  if (st.watchers.fetch_sub(1, std::memory_order_acq_rel) == 1) st.lastPosted.reset();
}

void Fanout::offer(const SubscriptionPtr& sub, const bridge::UpdatePtr& u) {
  if (sub->cancelled) return;
  if (sub->sink->latestOnly() && !sub->pending.empty()) {
    stats_.monitorUpdatesCoalesced += sub->pending.size();
    sub->pending.clear();
  }
  if (sub->pending.size() >= subscriptionDepth) {
    sub->pending.back() = u;
    ++stats_.monitorUpdatesCoalesced;
  } else {
    sub->pending.push_back(u);
  }
  sub->sink->updateReady(sub);
}

} // namespace telvik::server
