#pragma once
// The executor: every module's main loop is a task with a stack of its own, and a small pool of
// worker threads runs the tasks that are ready. A read that has to wait suspends its task in user
// space; a write that a suspended task waits for puts that task back on the ready queue, and only
// when a worker sleeps is it woken (one worker, never a broadcast). So a trigger that passes
// through many modules costs switches between stacks, not operating-system wake-ups.
//
// Testable mode has no workers: TestFacility::stepApplication() runs the ready tasks one at a time
// in the test's own thread, in the order they became ready, until none is ready. That is the
// application at rest: every task waits for something that has not come.
//
// A task that runs for long without waiting (a loop that never reads, a call that blocks in the
// operating system) holds its worker. The supervisor names it on standard error, and when every
// worker is held it starts a spare one, so that the other modules go on.

#include "framework/Sync.hpp"

#include <boost/context/fiber.hpp>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <exception>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace orvane::detail {

class Executor;

class Task {
 public:
  Task(Executor& executor, std::string name, std::function<void()> body);
  Task(const Task&) = delete;
  Task& operator=(const Task&) = delete;

  [[nodiscard]] const std::string& name() const { return name_; }
  [[nodiscard]] Executor& executor() const { return executor_; }
  [[nodiscard]] bool finished() const { return finished_.load(std::memory_order_acquire); }

  /// Makes a suspended task ready; a running one will not suspend at its next park. Any thread.
  void wake();
  /// Ready when parked (the caller queues it: true), noted when running (it will not park).
  bool markReady();
  /// Asks the task to end: its current or next wait throws boost::thread_interrupted. Any thread.
  void interrupt();
  /// In the task: true once, after interrupt().
  bool takeInterruption() { return interrupted_.exchange(false, std::memory_order_acq_rel); }

  /// In the task: suspends it until wake(); `l` is released once the task can no longer miss the
  /// wake-up, and locked again before this returns. A deadline wakes the task when it passes.
  void suspend(boost::unique_lock<boost::mutex>& l, Deadline deadline);

 private:
  friend class Executor;
  enum State : int { ready, running, notified, parked, done };

  Executor& executor_;
  std::string name_;
  std::function<void()> body_;
  boost::context::fiber context_;
  boost::context::fiber worker_; // the worker that resumed the task, while it runs
  std::atomic<int> state_{ready};
  std::atomic<bool> interrupted_{false};
  std::atomic<bool> finished_{false};
  // Handed from the suspending task to its worker, which acts on them off the task's stack.
  boost::unique_lock<boost::mutex>* unlockAfterSwitch_{nullptr};
  Deadline deadline_;
  std::atomic<uint64_t> parkSerial_{0};
  void* sanitizerFiber_{nullptr};
  void* workerSanitizerFiber_{nullptr};
  const void* stackBottom_{nullptr};
  size_t stackSize_{0};
  const void* workerStackBottom_{nullptr};
  size_t workerStackSize_{0};
};

class Executor {
 public:
  /// `workers` threads run the tasks; 0: testable mode, tasks run in runUntilIdle() only.
  explicit Executor(unsigned workers);
  // A failure to stop the threads ends the process; the terminate handler names it.
  // NOLINTNEXTLINE(bugprone-exception-escape)
  ~Executor();
  Executor(const Executor&) = delete;
  Executor& operator=(const Executor&) = delete;

  /// Creates a task and makes it ready. The body runs in the task; an exception that leaves it
  /// ends the task (the body reports its own errors).
  Task& spawn(std::string name, std::function<void()> body);

  /// Testable mode: runs ready tasks in the calling thread until none is ready, or until
  /// `stop()` says so after a task (a failure to report). Returns true when at rest.
  bool runUntilIdle(const std::function<bool()>& stop = {});
  /// Testable mode: no workers, and no clock (see Inbox::waitUntil).
  [[nodiscard]] bool testable() const { return testable_; }
  /// How often runUntilIdle() reached rest: testable mode's clock.
  [[nodiscard]] uint64_t restCount() const { return restCount_.load(std::memory_order_acquire); }

  /// Interrupts every task and waits until all have ended, then stops the workers. In testable
  /// mode the tasks unwind in the calling thread.
  void shutdown();

  /// A task has held its worker for longer than this without waiting: reported, and when every
  /// worker is held, a spare worker is started.
  void setStallLimit(std::chrono::milliseconds limit) { stallLimitMs_.store(limit.count()); }

  struct Health {
    size_t tasks{0};
    size_t finished{0};
    unsigned workers{0};
    /// "module X has run 2.3 s without waiting", one entry per task holding a worker too long.
    std::vector<std::string> stalled;
  };
  [[nodiscard]] Health health() const;
  /// No task ready and every worker idle.
  [[nodiscard]] bool quiet() const;

  // Internals of Task.
  void makeReady(Task* task);
  void addTimer(Task* task, WaitClock::time_point when);

 private:
  struct Worker {
    std::thread thread;
    std::atomic<Task*> running{nullptr};
    std::atomic<int64_t> runningSinceNs{0};
    bool reported{false};
  };

  void workerLoop(Worker& self);
  void runTask(Task* task, Worker* worker);
  // With mutex_ held: moves the tasks whose deadline passed to the ready queue.
  void fireTimersLocked(WaitClock::time_point now);
  Task* popReadyLocked();
  void startWorkerLocked();
  void supervise();

  const bool testable_;
  mutable std::mutex mutex_;
  std::condition_variable idleCv_;
  std::deque<Task*> ready_;
  std::multimap<WaitClock::time_point, std::pair<Task*, uint64_t>> timers_;
  std::atomic<bool> haveTimers_{false};
  std::vector<std::unique_ptr<Task>> tasks_;
  std::deque<Worker> workers_;
  unsigned idle_{0};
  bool wakePending_{false};
  bool stopping_{false};
  std::condition_variable finishedCv_;
  size_t finishedCount_{0};
  std::atomic<uint64_t> restCount_{0};
  std::atomic<long> stallLimitMs_{1000};
  unsigned spareWorkers_{0};
  std::thread supervisor_;
  std::condition_variable supervisorCv_;
};

} // namespace orvane::detail
