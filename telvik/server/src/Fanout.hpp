// Channels and subscriptions of the circuits, and the fan-out of variable updates to them.
//
// Threads: the update hook runs in whichever thread wrote a value. It copies the value only when
// someone subscribes to the variable, queues the copy per variable and posts one wake-up; it never
// waits for the network. Everything else here runs in the io thread.
#pragma once

#include "EventFilter.hpp"

#include "telvik/bridge/PvTable.hpp"
#include "telvik/server/Server.hpp"

#include <boost/asio/io_context.hpp>

#include <cstdint>
#include <deque>
#include <memory>
#include <vector>

namespace telvik::server {

struct Subscription;
using SubscriptionPtr = std::shared_ptr<Subscription>;

// Where a subscription's updates go: the circuit that made it.
class UpdateSink {
 public:
  virtual ~UpdateSink() = default;
  /// Whether only the newest update per subscription should wait: the client holds events back,
  /// or its output is over budget.
  [[nodiscard]] virtual bool latestOnly() const = 0;
  /// The subscription has pending updates, to be taken when output allows.
  virtual void updateReady(const SubscriptionPtr& sub) = 0;
};

struct Subscription {
  std::uint32_t id = 0;
  std::uint32_t sid = 0;
  std::uint16_t type = 0;
  std::uint32_t count = 0;
  std::uint16_t mask = 0;
  UpdateSink* sink = nullptr;
  bridge::ChannelTarget target;               // what of the variable the subscription shows
  bridge::ServedVariable* variable = nullptr; // set while it gets the variable's updates
  bridge::UpdatePtr lastField;                // a field's last posted update, for its changes
  std::uint32_t nativeCount = 0;
  std::deque<bridge::UpdatePtr> pending;
  bool inReady = false; // queued at its sink
  bool cancelled = false;
};

struct Channel {
  std::uint32_t cid = 0;
  std::uint32_t sid = 0;
  bridge::ChannelTarget target;
  bool write = false;
  std::vector<SubscriptionPtr> subscriptions;
};

class Fanout : public std::enable_shared_from_this<Fanout> {
 public:
  Fanout(boost::asio::io_context& io, const bridge::PvTable& table, ServerStats& stats);
  ~Fanout();
  Fanout(const Fanout&) = delete;
  Fanout& operator=(const Fanout&) = delete;

  /// Installs the update hook; it holds only a weak reference. Before the application runs.
  void attach(orvane::ProcessVariableRegistry& registry);

  /// The subscription gets the events of its variable that its mask selects from now on (none
  /// for a fixed text field), and at once its current value, whatever its mask.
  void subscribe(const SubscriptionPtr& sub, const bridge::ChannelTarget& target);
  /// No more updates; what was pending is dropped.
  void unsubscribe(const SubscriptionPtr& sub);
  /// Queues an update: at most a few per subscription (one while its sink takes only the latest),
  /// replacing the newest when full, so a slow reader gets the latest values in bounded memory.
  void offer(const SubscriptionPtr& sub, const bridge::UpdatePtr& u);

  /// Updates still handed over are dropped from here on.
  void stop() { stopped_ = true; }

 private:
  struct VariableState;
  void onUpdate(const orvane::ProcessVariable& pv);
  void drain(VariableState& st);
  // The events of one update of the variable, offered to its subscriptions; `refreshDependents`
  // re-posts the variables whose limits refer to this one (their properties may have changed).
  void post(VariableState& st, const bridge::UpdatePtr& u, bool refreshDependents);
  void offerEvent(const SubscriptionPtr& sub, const bridge::UpdatePtr& u, std::uint16_t bits);

  boost::asio::io_context& io_;
  ServerStats& stats_;
  std::vector<std::unique_ptr<VariableState>> states_;
  bool stopped_ = false;
};

} // namespace telvik::server
