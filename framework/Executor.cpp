#include "framework/Executor.hpp"

#include "framework/Log.hpp"

#include <boost/context/protected_fixedsize_stack.hpp>

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/asan_interface.h>
#include <sanitizer/common_interface_defs.h>
#endif
#if defined(__SANITIZE_THREAD__)
#include <sanitizer/tsan_interface.h>
#endif

namespace orvane::detail {

namespace {

thread_local Task* current = nullptr;

// Module loops keep their data in accessors and on the heap; a stack of this size holds deep
// call chains with room to spare, and the guard page below it turns an overflow into a crash
// at the spot instead of corrupted memory. Only the pages touched are resident.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr size_t stackSize = size_t{4} * 1024 * 1024;
#else
constexpr size_t stackSize = size_t{512} * 1024;
#endif

int64_t nowNs() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(WaitClock::now().time_since_epoch()).count();
}

// The sanitizers must be told of every switch between stacks, in both directions.
struct SwitchNote {
#if defined(__SANITIZE_ADDRESS__)
  void* fakeStack{nullptr};
#endif
  void before(const void* bottom, size_t size, void* tsanFiber) {
#if defined(__SANITIZE_ADDRESS__)
    __sanitizer_start_switch_fiber(&fakeStack, bottom, size);
#else
    (void)bottom;
    (void)size;
#endif
#if defined(__SANITIZE_THREAD__)
    __tsan_switch_to_fiber(tsanFiber, 0);
#else
    (void)tsanFiber;
#endif
  }
  void after(const void** fromBottom = nullptr, size_t* fromSize = nullptr) {
#if defined(__SANITIZE_ADDRESS__)
    __sanitizer_finish_switch_fiber(fakeStack, fromBottom, fromSize);
#else
    (void)fromBottom;
    (void)fromSize;
#endif
  }
};

// Tells the task where its stack lies, for the sanitizers' switch notes.
class RecordingStack {
 public:
  RecordingStack(const void** bottom, size_t* size) : bottom_(bottom), size_(size) {}
  boost::context::stack_context allocate() {
    auto sctx = inner_.allocate();
    *bottom_ = static_cast<const char*>(sctx.sp) - sctx.size;
    *size_ = sctx.size;
    return sctx;
  }
  void deallocate(boost::context::stack_context& sctx) noexcept {
#if defined(__SANITIZE_ADDRESS__)
    // The address sanitizer keeps the marks of the stack's last frames after the pages are
    // unmapped; memory mapped there later (a board's register file) would be taken for a stack.
    __asan_unpoison_memory_region(static_cast<char*>(sctx.sp) - sctx.size, sctx.size);
#endif
    inner_.deallocate(sctx);
  }

 private:
  boost::context::protected_fixedsize_stack inner_{stackSize};
  const void** bottom_;
  size_t* size_;
};

} // namespace

Task* currentTask() {
  return current;
}

Task::Task(Executor& executor, std::string name, std::function<void()> body)
    : executor_(executor), name_(std::move(name)), body_(std::move(body)) {
#if defined(__SANITIZE_THREAD__)
  sanitizerFiber_ = __tsan_create_fiber(0);
#endif
  context_ = boost::context::fiber(
      std::allocator_arg, RecordingStack(&stackBottom_, &stackSize_), [this](boost::context::fiber&& worker) {
        worker_ = std::move(worker);
        SwitchNote entry;
        entry.after(&workerStackBottom_, &workerStackSize_);
        try {
          body_();
        } catch (const boost::context::detail::forced_unwind&) {
          throw;
        } catch (...) {
          // The body reports its own failures; nothing may leave the task's stack.
        }
#if defined(__SANITIZE_ADDRESS__)
        __sanitizer_start_switch_fiber(nullptr, workerStackBottom_, workerStackSize_);
#endif
#if defined(__SANITIZE_THREAD__)
        __tsan_switch_to_fiber(workerSanitizerFiber_, 0);
#endif
        return std::move(worker_);
      });
}

bool Task::markReady() {
  int s = state_.load(std::memory_order_acquire);
  for (;;) {
    if (s == parked) {
      if (state_.compare_exchange_weak(s, ready, std::memory_order_acq_rel)) return true;
    } else if (s == running) {
      if (state_.compare_exchange_weak(s, notified, std::memory_order_acq_rel)) return false;
    } else {
      return false;
    }
  }
}

void Task::wake() {
  if (markReady()) executor_.makeReady(this);
}

void Task::interrupt() {
  interrupted_.store(true, std::memory_order_release);
  wake();
}

void Task::suspend(boost::unique_lock<boost::mutex>& l, Deadline deadline) {
  unlockAfterSwitch_ = &l;
  deadline_ = deadline;
  parkSerial_.fetch_add(1, std::memory_order_acq_rel);
  SwitchNote note;
  note.before(workerStackBottom_, workerStackSize_, workerSanitizerFiber_);
  worker_ = std::move(worker_).resume();
  note.after(&workerStackBottom_, &workerStackSize_);
  l.lock();
}

void wake(Task* task) {
  if (task != nullptr) task->wake();
}

// ---------------------------------------------------------------------------------------------

Executor::Executor(unsigned workers) : testable_(workers == 0) {
  std::lock_guard g(mutex_);
  for (unsigned i = 0; i < workers; ++i)
    startWorkerLocked();
  if (workers > 0) supervisor_ = std::thread([this] { supervise(); });
}

// A failure to stop the threads ends the process; the terminate handler names it.
// NOLINTNEXTLINE(bugprone-exception-escape)
Executor::~Executor() {
  shutdown();
}

Task& Executor::spawn(std::string name, std::function<void()> body) {
  auto task = std::make_unique<Task>(*this, std::move(name), std::move(body));
  Task* raw = task.get();
  {
    std::lock_guard g(mutex_);
    tasks_.push_back(std::move(task));
  }
  makeReady(raw);
  return *raw;
}

void Executor::startWorkerLocked() {
  auto& w = workers_.emplace_back();
  w.thread = std::thread([this, &w] { workerLoop(w); });
}

void Executor::makeReady(Task* task) {
  bool notify = false;
  {
    std::lock_guard g(mutex_);
    ready_.push_back(task);
    if (idle_ > 0 && !wakePending_) notify = wakePending_ = true;
  }
  if (notify) idleCv_.notify_one();
}

void Executor::addTimer(Task* task, WaitClock::time_point when) {
  std::lock_guard g(mutex_);
  timers_.emplace(when, std::make_pair(task, task->parkSerial_.load(std::memory_order_acquire)));
  haveTimers_.store(true, std::memory_order_release);
  // A sleeping worker waits for the earliest timer; this one may be earlier.
  if (idle_ > 0 && !wakePending_) {
    wakePending_ = true;
    idleCv_.notify_one();
  }
}

void Executor::fireTimersLocked(WaitClock::time_point now) {
  while (!timers_.empty() && timers_.begin()->first <= now) {
    auto [task, serial] = timers_.begin()->second;
    timers_.erase(timers_.begin());
    // A timer of an earlier wait that ended otherwise would only wake the task for nothing.
    if (task->parkSerial_.load(std::memory_order_acquire) == serial && task->markReady())
      ready_.push_back(task);
  }
  haveTimers_.store(!timers_.empty(), std::memory_order_release);
}

Task* Executor::popReadyLocked() {
  if (ready_.empty()) return nullptr;
  Task* t = ready_.front();
  ready_.pop_front();
  return t;
}

void Executor::runTask(Task* t, Worker* worker) {
  t->state_.store(Task::running, std::memory_order_release);
  current = t;
  if (worker != nullptr) {
    worker->runningSinceNs.store(nowNs(), std::memory_order_relaxed);
    worker->running.store(t, std::memory_order_release);
  }
#if defined(__SANITIZE_THREAD__)
  t->workerSanitizerFiber_ = __tsan_get_current_fiber();
#endif
  SwitchNote note;
  note.before(t->stackBottom_, t->stackSize_, t->sanitizerFiber_);
  t->context_ = std::move(t->context_).resume();
  note.after();
  current = nullptr;
  if (worker != nullptr) worker->running.store(nullptr, std::memory_order_release);

  if (!t->context_) {
#if defined(__SANITIZE_THREAD__)
    __tsan_destroy_fiber(t->sanitizerFiber_);
#endif
    t->state_.store(Task::done, std::memory_order_release);
    t->finished_.store(true, std::memory_order_release);
    {
      std::lock_guard g(mutex_);
      ++finishedCount_;
    }
    finishedCv_.notify_all();
    return;
  }
  // Off the task's stack now: whoever takes the task from its inbox may wake it.
  if (auto* l = std::exchange(t->unlockAfterSwitch_, nullptr)) {
#if defined(__SANITIZE_THREAD__)
    // The task took the lock; the thread sanitizer must see it released by the task too.
    void* self = __tsan_get_current_fiber();
    __tsan_switch_to_fiber(t->sanitizerFiber_, 0);
    l->unlock();
    __tsan_switch_to_fiber(self, 0);
#else
    l->unlock();
#endif
  }
  if (t->deadline_) addTimer(t, *t->deadline_);
  int expected = Task::running;
  if (!t->state_.compare_exchange_strong(expected, Task::parked, std::memory_order_acq_rel)) {
    // Woken while it was on its way to sleep.
    t->state_.store(Task::ready, std::memory_order_release);
    makeReady(t);
  }
}

void Executor::workerLoop(Worker& self) {
  for (;;) {
    Task* t = nullptr;
    {
      std::unique_lock l(mutex_);
      for (;;) {
        if (haveTimers_.load(std::memory_order_acquire)) fireTimersLocked(WaitClock::now());
        t = popReadyLocked();
        if (t != nullptr) break;
        if (stopping_) return;
        ++idle_;
        if (!timers_.empty()) {
          // A copy: another worker may fire and erase that timer while this one waits, and the
          // wait looks at its deadline again after it wakes.
          const auto until = timers_.begin()->first;
          idleCv_.wait_until(l, until);
        } else
          idleCv_.wait(l);
        --idle_;
        wakePending_ = false;
      }
      // More work than this worker: one more worker joins, which may in turn call the next.
      if (!ready_.empty() && idle_ > 0 && !wakePending_) {
        wakePending_ = true;
        idleCv_.notify_one();
      }
    }
    runTask(t, &self);
  }
}

bool Executor::runUntilIdle(const std::function<bool()>& stop) {
  for (;;) {
    Task* t = nullptr;
    {
      std::lock_guard g(mutex_);
      if (haveTimers_.load(std::memory_order_acquire)) fireTimersLocked(WaitClock::now());
      t = popReadyLocked();
    }
    if (t == nullptr) {
      restCount_.fetch_add(1, std::memory_order_acq_rel);
      return true;
    }
    runTask(t, nullptr);
    if (stop && stop()) return false;
  }
}

void Executor::shutdown() {
  std::vector<Task*> all;
  bool threaded = false;
  {
    std::lock_guard g(mutex_);
    for (auto& t : tasks_)
      all.push_back(t.get());
    threaded = !workers_.empty();
  }
  for (auto* t : all)
    t->interrupt();
  if (threaded) {
    std::unique_lock l(mutex_);
    finishedCv_.wait(l, [&] { return finishedCount_ == tasks_.size(); });
  } else {
    runUntilIdle();
  }
  {
    std::lock_guard g(mutex_);
    stopping_ = true;
  }
  idleCv_.notify_all();
  supervisorCv_.notify_all();
  for (auto& w : workers_)
    if (w.thread.joinable()) w.thread.join();
  if (supervisor_.joinable()) supervisor_.join();
}

Executor::Health Executor::health() const {
  Health h;
  const long limit = stallLimitMs_.load();
  const int64_t now = nowNs();
  std::lock_guard g(mutex_);
  h.tasks = tasks_.size();
  h.finished = finishedCount_;
  h.workers = static_cast<unsigned>(workers_.size());
  for (const auto& w : workers_) {
    const Task* t = w.running.load(std::memory_order_acquire);
    const int64_t ms = (now - w.runningSinceNs.load(std::memory_order_relaxed)) / 1000000;
    if (t != nullptr && ms > limit)
      h.stalled.push_back("module " + t->name() + " has run " + std::to_string(ms) + " ms without waiting");
  }
  return h;
}

bool Executor::quiet() const {
  std::lock_guard g(mutex_);
  return ready_.empty() && idle_ == workers_.size();
}

void Executor::supervise() {
  std::unique_lock l(mutex_);
  while (!stopping_) {
    supervisorCv_.wait_for(l, std::chrono::milliseconds(100));
    if (stopping_) break;
    const long limit = stallLimitMs_.load();
    const int64_t now = nowNs();
    unsigned held = 0;
    for (auto& w : workers_) {
      const Task* t = w.running.load(std::memory_order_acquire);
      const int64_t ms = (now - w.runningSinceNs.load(std::memory_order_relaxed)) / 1000000;
      if (t == nullptr || ms <= limit) {
        w.reported = false;
        continue;
      }
      ++held;
      if (!w.reported) {
        w.reported = true;
        log::warning("orvane", "module " + t->name() + " has held a worker thread for " + std::to_string(ms) +
                                   " ms without waiting; other modules run only on the remaining workers");
      }
    }
    // Every worker held and work waiting: one more worker, so that the others do not starve.
    if (held == workers_.size() && !ready_.empty() && spareWorkers_ < 4) {
      ++spareWorkers_;
      startWorkerLocked();
      log::warning("orvane", "every worker thread is held; started a spare one (" +
                                 std::to_string(workers_.size()) + " now)");
    }
  }
}

} // namespace orvane::detail

namespace orvane {

void interruptibleSleep(std::chrono::milliseconds duration) {
  if (detail::currentTask() == nullptr) {
    boost::this_thread::sleep_for(boost::chrono::milliseconds(duration.count()));
    return;
  }
  if (duration.count() <= 0) {
    interruptionPoint();
    return;
  }
  detail::Inbox sleeper;
  (void)sleeper.waitUntil([] { return false; }, detail::WaitClock::now() + duration);
}

void interruptionPoint() {
  if (auto* t = detail::currentTask()) {
    if (t->takeInterruption()) throw boost::thread_interrupted();
    return;
  }
  boost::this_thread::interruption_point();
}

} // namespace orvane
