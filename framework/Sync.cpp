#include "framework/Sync.hpp"

#include "framework/Executor.hpp"

#include <atomic>

namespace orvane::detail {

namespace {
std::atomic<int> waitingThreadCount{0};
} // namespace

bool deadlinesPass() {
  const Task* t = currentTask();
  return t == nullptr || !t->executor().testable();
}

int threadsWaiting() {
  return waitingThreadCount.load(std::memory_order_acquire);
}

Task* Inbox::takeWaiterLocked() {
  if (waitingThreads_ > 0) threadCv_.notify_one();
  return std::exchange(waitingTask_, nullptr);
}

void Inbox::notify() {
  Task* t = nullptr;
  {
    boost::lock_guard<boost::mutex> g(mutex);
    t = takeWaiterLocked();
  }
  wake(t);
}

void Inbox::park(boost::unique_lock<boost::mutex>& l, Deadline deadline) {
  if (Task* t = currentTask()) {
    if (t->takeInterruption()) throw boost::thread_interrupted();
    waitingTask_ = t;
    t->suspend(l, deadline);
    if (waitingTask_ == t) waitingTask_ = nullptr;
    if (t->takeInterruption()) throw boost::thread_interrupted();
    return;
  }
  // A thread of its own: Boost's condition variable is the interruption point.
  ++waitingThreads_;
  waitingThreadCount.fetch_add(1, std::memory_order_acq_rel);
  struct Leave {
    int& n;
    ~Leave() {
      --n;
      waitingThreadCount.fetch_sub(1, std::memory_order_acq_rel);
    }
  } leave{waitingThreads_};
  if (!deadline) {
    threadCv_.wait(l);
    return;
  }
  const auto left = std::chrono::duration_cast<std::chrono::nanoseconds>(*deadline - WaitClock::now());
  if (left.count() > 0) threadCv_.wait_for(l, boost::chrono::nanoseconds(left.count()));
}

} // namespace orvane::detail
