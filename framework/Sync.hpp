#pragma once
// Waiting. Every framework wait goes through an Inbox: a mutex for whatever the waiter looks at,
// and one waiter, which is either a task of the executor (a module's main loop, suspended in user
// space) or an operating-system thread of its own (a device thread, blocked on a condition
// variable). A writer wakes that one waiter; nothing is broadcast.
//
// Interruption: Application::shutdown() interrupts every task and thread; the next wait, or the
// one in progress, ends with boost::thread_interrupted, as Boost.Thread's interruption points do.

#include <boost/thread/condition_variable.hpp>
#include <boost/thread/mutex.hpp>
#include <boost/thread/thread.hpp>

#include <chrono>
#include <optional>

namespace orvane::detail {

class Task;

using WaitClock = std::chrono::steady_clock;
using Deadline = std::optional<WaitClock::time_point>;

/// The executor's task that runs the calling code, or nullptr in a thread of its own.
Task* currentTask();

/// False in a task of testable mode, which has no clock.
bool deadlinesPass();

/// Where a framework task or thread waits for work. `mutex` protects whatever the predicate looks at.
class Inbox {
 public:
  boost::mutex mutex;

  /// Waits until pred() (evaluated with `mutex` held) is true. Interruption point.
  template <typename Pred> void waitUntil(Pred&& pred) { (void)waitUntil(pred, std::nullopt); }

  /// As above, but gives up at the deadline: returns pred() as it was last seen. In testable mode
  /// the deadline never passes, so that a test takes the same steps however slow the machine is.
  template <typename Pred> bool waitUntil(Pred&& pred, Deadline deadline) {
    if (deadline && !deadlinesPass()) deadline.reset();
    boost::unique_lock<boost::mutex> l(mutex);
    for (;;) {
      if (pred()) return true;
      if (deadline && WaitClock::now() >= *deadline) return false;
      park(l, deadline);
    }
  }

  /// Wakes the waiter, if there is one.
  void notify();
  /// With `mutex` held: takes the waiting task (wake it after unlocking) or signals a waiting thread.
  [[nodiscard]] Task* takeWaiterLocked();

 private:
  // With `mutex` held through `l`; returns with it held again. Interruption point.
  void park(boost::unique_lock<boost::mutex>& l, Deadline deadline);

  Task* waitingTask_{nullptr};
  int waitingThreads_{0};
  boost::condition_variable threadCv_;
};

/// Wakes a task taken from Inbox::takeWaiterLocked(); nullptr is allowed.
void wake(Task* task);

/// Threads of their own that wait in an Inbox right now (for telling when the start has settled).
int threadsWaiting();

} // namespace orvane::detail

namespace orvane {

/// Sleeps for the given time; an interruption point, so that Application::shutdown() ends the
/// sleep with boost::thread_interrupted. A module's main loop must sleep through this, never
/// through the operating system: its task shares a worker thread with other modules. Testable mode
/// has no clock: there a module loop's sleep lasts until shutdown (a module whose tests need time
/// to pass takes its sleep by injection and gets a stand-in from the test).
void interruptibleSleep(std::chrono::milliseconds duration);

/// Throws boost::thread_interrupted when the calling module's loop (or framework thread) has been
/// asked to end.
void interruptionPoint();

} // namespace orvane
