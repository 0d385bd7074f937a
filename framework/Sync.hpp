#pragma once
// Waiting and testable mode. Every framework thread waits through an Inbox, so that in testable
// mode all of them can be run one at a time under one process-wide lock and a test can tell
// when the application has come to rest.
//
// Testable mode in short: the thread that drives the test holds the big lock except inside
// TestFacility::stepApplication(). A framework thread holds it whenever it runs and gives it up
// only while it waits in an Inbox. "pending" counts values queued for framework threads and not
// yet taken; the application is at rest when the driving thread holds the lock and pending is 0.

#include <boost/thread/condition_variable.hpp>
#include <boost/thread/mutex.hpp>
#include <boost/thread/thread.hpp>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <exception>

namespace orvane::detail {

class Testable {
 public:
  static Testable& instance();

  [[nodiscard]] bool enabled() const { return enabled_.load(std::memory_order_acquire); }
  void setEnabled(bool on) { enabled_.store(on, std::memory_order_release); }

  boost::mutex& bigMutex() { return bigMutex_; }
  /// The big lock held by the calling thread, or nullptr.
  static boost::unique_lock<boost::mutex>*& threadLock();

  void addPending(long n) {
    if (enabled()) pending_.fetch_add(n, std::memory_order_acq_rel);
  }
  [[nodiscard]] long pending() const { return pending_.load(std::memory_order_acquire); }
  void resetPending() { pending_.store(0); }

  /// Called by a framework thread just before it waits, and when it ends.
  void notifyQuiet() { quietCv_.notify_all(); }
  /// Called by the driving thread with the big lock held: returns when at rest or after an error.
  void waitQuiet();
  /// How often the application came to rest in waitQuiet(): testable mode's clock.
  [[nodiscard]] uint64_t restCount() const { return restCount_.load(std::memory_order_acquire); }

  void reportError(std::exception_ptr e);
  std::exception_ptr takeError();
  [[nodiscard]] bool hasError() const { return hasError_.load(); }

 private:
  std::atomic<bool> enabled_{false};
  boost::mutex bigMutex_;
  std::atomic<uint64_t> restCount_{0};
  std::atomic<long> pending_{0};
  boost::condition_variable_any quietCv_;
  boost::mutex errorMutex_;
  std::exception_ptr error_;
  std::atomic<bool> hasError_{false};
};

/// Holds the big lock for a framework thread that is not a module thread (device threads).
class TestableThreadGuard {
 public:
  TestableThreadGuard();
  ~TestableThreadGuard();
  TestableThreadGuard(const TestableThreadGuard&) = delete;
  TestableThreadGuard& operator=(const TestableThreadGuard&) = delete;

 private:
  boost::unique_lock<boost::mutex> lock_;
  bool active_{false};
};

/// What a module's main loop is doing, as far as the liveness check can tell: not started yet,
/// waiting for work, busy since a time, or ended. Written by the loop itself, read from any thread
/// without a lock. Knows nothing of threads, so that loops run as fibers report the same way.
class LoopActivity {
 public:
  using Clock = std::chrono::steady_clock;
  enum class State { notStarted, waiting, busy, ended };

  /// Marks the loop as waiting for as long as the scope lives; busy again from its end.
  class WaitScope {
   public:
    explicit WaitScope(LoopActivity& a) : activity_(a) {
      activity_.stamp_.store(waitingStamp, std::memory_order_relaxed);
    }
    ~WaitScope() { activity_.stamp_.store(nowStamp(), std::memory_order_relaxed); }
    WaitScope(const WaitScope&) = delete;
    WaitScope& operator=(const WaitScope&) = delete;

   private:
    LoopActivity& activity_;
  };

  void started() { stamp_.store(nowStamp(), std::memory_order_relaxed); }
  void ended() { stamp_.store(endedStamp, std::memory_order_relaxed); }

  [[nodiscard]] State state() const {
    const auto s = stamp_.load(std::memory_order_relaxed);
    return s == 0              ? State::notStarted
           : s == waitingStamp ? State::waiting
           : s == endedStamp   ? State::ended
                               : State::busy;
  }
  /// How long the loop has been busy since it last waited (zero unless busy).
  [[nodiscard]] Clock::duration busyFor(Clock::time_point now = Clock::now()) const {
    const auto s = stamp_.load(std::memory_order_relaxed);
    if (s <= 0) return Clock::duration::zero();
    const auto since = Clock::time_point(Clock::duration(s - 1));
    return now > since ? now - since : Clock::duration::zero();
  }

 private:
  static constexpr int64_t waitingStamp = -1;
  static constexpr int64_t endedStamp = -2;
  // Offset by one, so that 0 stays "not started" even for a clock that starts at its epoch.
  static int64_t nowStamp() { return static_cast<int64_t>(Clock::now().time_since_epoch().count()) + 1; }
  std::atomic<int64_t> stamp_{0};
};

/// Where a framework thread waits for work. `mutex` protects whatever the predicate looks at.
class Inbox {
 public:
  boost::mutex mutex;

  /// Waits until pred() (evaluated with `mutex` held) is true. Interruption point.
  template <typename Pred> void waitUntil(Pred&& pred) {
    LoopActivity::WaitScope waiting(activity_);
    auto& t = Testable::instance();
    auto* big = Testable::threadLock();
    if (t.enabled() && big != nullptr) {
      for (;;) {
        {
          boost::lock_guard<boost::mutex> g(mutex);
          if (pred()) return;
        }
        t.notifyQuiet();
        cv_.wait(*big);
      }
    } else {
      boost::unique_lock<boost::mutex> l(mutex);
      while (!pred())
        cv_.wait(l);
    }
  }

  void notify() { cv_.notify_all(); }

  LoopActivity& activity() { return activity_; }
  [[nodiscard]] const LoopActivity& activity() const { return activity_; }

 private:
  boost::condition_variable_any cv_;
  LoopActivity activity_;
};

} // namespace orvane::detail
