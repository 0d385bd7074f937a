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

/// Where a framework thread waits for work. `mutex` protects whatever the predicate looks at.
class Inbox {
 public:
  boost::mutex mutex;

  /// Waits until pred() (evaluated with `mutex` held) is true. Interruption point.
  template <typename Pred> void waitUntil(Pred&& pred) {
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

 private:
  boost::condition_variable_any cv_;
};

} // namespace orvane::detail
