#pragma once
// The run-time side of a variable network: one feeder, a queue per push consumer, the latest
// value for poll consumers, and external endpoints (device registers, control-system variables)
// that see every value as an AnyVector.

#include "framework/Sync.hpp"
#include "framework/Types.hpp"

#include <algorithm>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace orvane {
class AccessorBase;
class Application;

/// What a push input's queue does with a value that arrives while it is full. The policy belongs
/// to the connection: every push consumer of one network has the same.
enum class QueuePolicy {
  /// The newest entry is replaced and one lost value is counted: a reader that falls behind gets
  /// the latest value, never a stale one.
  replaceNewest,
  /// Nothing is dropped. For exchanges whose values the receiver counts (one acknowledgement per
  /// request, one time-out per timer start), where one lost value leaves the count wrong for
  /// ever. The backlog is bounded all the same (see keepAllElementBudget).
  keepAll,
};
const char* queuePolicyName(QueuePolicy p); // "replace newest", "keep all"
} // namespace orvane

namespace orvane::detail {

class NetworkBase;

/// Handed to an external endpoint once its network exists. Feeders send through it.
struct NetworkPort {
  NetworkBase* network{nullptr};
  /// Sends a value into the network (converted to the network's type). Returns true when a
  /// consumer queue overflowed. Callable from any thread.
  bool send(const AnyVector& value, const VersionNumber& version, DataValidity validity) const;
  [[nodiscard]] ValueType type() const;
  [[nodiscard]] size_t nElements() const;
  [[nodiscard]] const std::string& path() const;
  [[nodiscard]] explicit operator bool() const { return network != nullptr; }
};

/// A participant of a network that is not a module accessor.
class ExternalEndpoint {
 public:
  virtual ~ExternalEndpoint() = default;
  /// A new value of the network, in the writer's thread. Must not block for long.
  virtual void consume(const AnyVector& value, const VersionNumber& version, DataValidity validity) = 0;
  /// A consumer with return channel sent a value back to this feeder (writer's thread), in answer
  /// to the value of version `answered` that it had read from this feeder.
  virtual void returned(const AnyVector& value, const VersionNumber& version, DataValidity validity,
                        const VersionNumber& answered) {
    (void)answered;
    consume(value, version, validity);
  }
  /// The network is built; type and length are final. Called once, before any value flows.
  virtual void connected(const NetworkPort& port) { (void)port; }
};

/// Elements that a keep-all queue may hold unread. The writers of counted exchanges are paced by
/// their own bounded inputs (a value written for a value taken), so a backlog builds up only while
/// the reader is held up; one of this size means that the reader has stopped, and the write fails
/// instead of growing without end: the writer's main loop ends, which outside testable mode ends
/// the process through its fatal-error path.
inline constexpr size_t keepAllElementBudget = 65536;

/// Throws the std::logic_error of a keep-all queue whose backlog reached its bound.
[[noreturn]] void throwBacklogFull(const AccessorBase* owner, size_t entries);

class QueueBase {
 public:
  QueueBase(Inbox* inbox, AccessorBase* owner, size_t depth, QueuePolicy policy = QueuePolicy::replaceNewest,
            size_t nElements = 1)
      : inbox_(inbox), owner_(owner), depth_(depth), policy_(policy),
        limit_(policy == QueuePolicy::keepAll
                   ? std::max(depth, keepAllElementBudget / std::max<size_t>(nElements, 1))
                   : depth) {}
  virtual ~QueueBase() = default;
  [[nodiscard]] virtual bool emptyLocked() const = 0;
  /// Arrival stamp of the oldest entry; only valid when not empty. Caller holds inbox mutex.
  [[nodiscard]] virtual uint64_t frontSeqLocked() const = 0;
  [[nodiscard]] AccessorBase* owner() const { return owner_; }
  [[nodiscard]] Inbox& inbox() const { return *inbox_; }
  [[nodiscard]] uint64_t lostCount() const { return lost_.load(); }
  [[nodiscard]] QueuePolicy policy() const { return policy_; }
  /// Most entries a keep-all queue may hold; the depth for the others.
  [[nodiscard]] size_t limit() const { return limit_; }

 protected:
  Inbox* inbox_;
  AccessorBase* owner_;
  size_t depth_;
  QueuePolicy policy_;
  size_t limit_;
  std::atomic<uint64_t> lost_{0};
};

uint64_t nextArrivalStamp();

template <typename T> struct QueueEntry {
  std::vector<T> value;
  VersionNumber version{nullptr};
  DataValidity validity{DataValidity::ok};
  uint64_t seq{0};
};

template <typename T> class Queue final : public QueueBase {
 public:
  using QueueBase::QueueBase;

  /// Returns true when the queue was full and its newest entry was replaced. A keep-all queue
  /// never replaces; at its limit it throws (throwBacklogFull) and takes nothing. Wakes the module
  /// that waits in this queue's inbox, after the inbox's lock is released.
  bool push(const std::vector<T>& v, const VersionNumber& version, DataValidity validity) {
    bool lost = false;
    size_t backlog = 0;
    Task* waiter = nullptr;
    {
      boost::lock_guard<boost::mutex> g(inbox_->mutex);
      if (policy_ == QueuePolicy::keepAll && entries_.size() >= limit_) {
        backlog = entries_.size();
      } else if (policy_ == QueuePolicy::replaceNewest && entries_.size() >= depth_) {
        auto& e = entries_.back();
        e.value = v;
        e.version = version;
        e.validity = validity;
        e.seq = nextArrivalStamp();
        lost = true;
      } else {
        entries_.push_back(QueueEntry<T>{v, version, validity, nextArrivalStamp()});
      }
      waiter = inbox_->takeWaiterLocked();
    }
    if (lost) lost_.fetch_add(1);
    wake(waiter);
    if (backlog != 0) throwBacklogFull(owner_, backlog);
    return lost;
  }

  bool pop(QueueEntry<T>& out) {
    boost::lock_guard<boost::mutex> g(inbox_->mutex);
    return popLocked(out);
  }
  bool popLocked(QueueEntry<T>& out) {
    if (entries_.empty()) return false;
    out = std::move(entries_.front());
    entries_.pop_front();
    return true;
  }
  [[nodiscard]] bool emptyLocked() const override { return entries_.empty(); }
  [[nodiscard]] uint64_t frontSeqLocked() const override { return entries_.front().seq; }

 private:
  std::deque<QueueEntry<T>> entries_;
};

class NetworkBase {
 public:
  NetworkBase(Application& app, std::string path, ValueType type, size_t n)
      : app_(app), path_(std::move(path)), type_(type), nElements_(n) {}
  virtual ~NetworkBase() = default;

  [[nodiscard]] const std::string& path() const { return path_; }
  [[nodiscard]] ValueType type() const { return type_; }
  [[nodiscard]] size_t nElements() const { return nElements_; }

  virtual bool sendAny(const AnyVector& v, const VersionNumber& version, DataValidity validity) = 0;
  virtual void latestAny(AnyVector& out, VersionNumber& version, DataValidity& validity, bool& has) const = 0;
  [[nodiscard]] virtual bool hasValue() const = 0;

  /// Fixed before the consumers are bound; their queues take it.
  void setQueuePolicy(QueuePolicy p) { queuePolicy_ = p; }
  [[nodiscard]] QueuePolicy queuePolicy() const { return queuePolicy_; }

  void addExternalConsumer(ExternalEndpoint* e) { externals_.push_back(e); }
  void setExternalFeeder(ExternalEndpoint* e) { externalFeeder_ = e; }
  [[nodiscard]] ExternalEndpoint* externalFeeder() const { return externalFeeder_; }
  void addPollInbox(Inbox* inbox) { pollInboxes_.push_back(inbox); }

 protected:
  void notifyPollInboxes() {
    for (auto* i : pollInboxes_)
      i->notify();
  }
  Application& app_;
  std::string path_;
  ValueType type_;
  size_t nElements_;
  std::vector<ExternalEndpoint*> externals_;
  ExternalEndpoint* externalFeeder_{nullptr};
  std::vector<Inbox*> pollInboxes_;
  QueuePolicy queuePolicy_{QueuePolicy::replaceNewest};
};

template <typename T> class Network final : public NetworkBase {
 public:
  Network(Application& app, std::string path, size_t n)
      : NetworkBase(app, std::move(path), valueTypeOf<T>, n), latest_(n) {}

  void addQueue(Queue<T>* q) { queues_.push_back(q); }

  /// Feeder's write. Returns true when any consumer lost a value.
  bool send(const std::vector<T>& v, const VersionNumber& version, DataValidity validity) {
    bool first;
    {
      boost::lock_guard<boost::mutex> g(latestMutex_);
      latest_ = v;
      latestVersion_ = version;
      latestValidity_ = validity;
      first = !has_;
      has_ = true;
    }
    bool lost = false;
    for (auto* q : queues_)
      lost |= q->push(v, version, validity);
    if (!externals_.empty()) {
      AnyVector any(std::in_place_type<std::vector<T>>, v);
      for (auto* e : externals_)
        e->consume(any, version, validity);
    }
    if (first) notifyPollInboxes();
    return lost;
  }

  /// A consumer with return channel hands its value back to the feeder, answering the value of
  /// version `answered` that it read last.
  void sendBack(const std::vector<T>& v, const VersionNumber& version, DataValidity validity,
                const VersionNumber& answered) {
    {
      boost::lock_guard<boost::mutex> g(latestMutex_);
      latest_ = v;
      latestVersion_ = version;
      latestValidity_ = validity;
      has_ = true;
    }
    AnyVector any(std::in_place_type<std::vector<T>>, v);
    if (externalFeeder_ != nullptr) externalFeeder_->returned(any, version, validity, answered);
    for (auto* e : externals_)
      e->consume(any, version, validity);
  }

  void fetch(std::vector<T>& out, VersionNumber& version, DataValidity& validity) const {
    boost::lock_guard<boost::mutex> g(latestMutex_);
    out = latest_;
    version = latestVersion_;
    validity = latestValidity_;
  }

  bool sendAny(const AnyVector& v, const VersionNumber& version, DataValidity validity) override {
    if (auto* p = std::get_if<std::vector<T>>(&v)) return send(*p, version, validity);
    return send(std::get<std::vector<T>>(convertAnyVector(v, valueTypeOf<T>)), version, validity);
  }

  void latestAny(AnyVector& out, VersionNumber& version, DataValidity& validity, bool& has) const override {
    boost::lock_guard<boost::mutex> g(latestMutex_);
    out = AnyVector(std::in_place_type<std::vector<T>>, latest_);
    version = latestVersion_;
    validity = latestValidity_;
    has = has_;
  }

  [[nodiscard]] bool hasValue() const override {
    boost::lock_guard<boost::mutex> g(latestMutex_);
    return has_;
  }

 private:
  std::vector<Queue<T>*> queues_;
  mutable boost::mutex latestMutex_;
  std::vector<T> latest_;
  VersionNumber latestVersion_{nullptr};
  DataValidity latestValidity_{DataValidity::ok};
  bool has_{false};
};

} // namespace orvane::detail
